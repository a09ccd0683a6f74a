// The keyed-file data layer: one table per file, records of fixed text and integer fields,
// single-field keys, reads in key order, record positions, change watch and one-table
// transactions.
//
// A table lives in one file in the current directory, named by its stored name plus ".TPS".
// The file is an SQLite database in rollback-journal mode, so that whenever no write is in
// progress the .TPS file alone is the whole table (it can be copied or packed as it is).
// Several `KeyedFile` objects, in this process or in others, may have the same file open:
// a rewrite of a record that someone else changed since it was read fails with
// kRecordChanged, and a transaction keeps other writers out until it ends.
//
// Keys compare text upper-cased by code page 1250 with trailing blanks ignored ("Č" equals
// "č"); a skip-blank key leaves out records whose field is blank or zero, so such records
// neither appear in that key's order nor clash in it.
//
// Every operation returns the program's error code (0 on success) and also keeps it, with
// its text, as the object's last error (and as the calling thread's last data-layer error),
// as the program has always asked for "the current error" after an operation.
//
// Thread-safety: an object may be used from several threads; each call is atomic (an
// internal lock). The current record and the read order are shared by all users of the
// object. Nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

namespace verdan::platform {

// Error codes the program acts on, with the texts of ErrorText().
enum KeyedFileError : int {
  kNoError = 0,
  kFileNotFound = 2,               // "File Not Found"
  kFileLocked = 32,                // "File Is Already Locked"
  kRecordNotAvailable = 33,        // "Record Not Available"
  kDuplicateKey = 40,              // "Creates Duplicate Key"
  kKeyFileMustBeRebuilt = 46,      // "Key File Must Be Rebuilt"
  kInvalidRecordDeclaration = 47,  // "Invalid Record Declaration"
  kFileNotOpen = 37,               // "File Not Open"
  kFileAlreadyOpen = 52,           // "File Already Open"
  kRecordChanged = 89,             // "Record Changed By Another Station"
  kFileSystemError = 90,           // "File System Error": see the driver code and text
};

// The text of an error code ("" for 0).
std::string ErrorText(int code);

// The open access mode every caller uses: read/write, deny none.
inline constexpr unsigned kAccessReadWriteShared = 0x42;

// What a failed (or the last) operation left behind. For kFileSystemError the driver code
// and text name the underlying failure.
struct KeyedFileStatus {
  int code = 0;
  std::string text;
  int driverCode = 0;
  std::string driverText;
};

// The calling thread's last data-layer status, whichever table it concerned.
KeyedFileStatus LastKeyedFileStatus();

enum class FieldType { kText, kInteger };

struct FieldDef {
  std::string name;
  FieldType type = FieldType::kText;
  std::size_t length = 0;  // characters, for text fields
};

enum class KeyUniqueness { kUnique, kDuplicates };
enum class BlankValues { kIncluded, kSkipped };

struct KeyDef {
  std::string name;       // "KEYNAZIV"
  std::size_t field = 0;  // index into TableLayout::fields
  KeyUniqueness uniqueness = KeyUniqueness::kDuplicates;
  BlankValues blanks = BlankValues::kIncluded;
};

struct TableLayout {
  std::string storedName;  // "ARHIVE": the file is storedName + ".TPS"
  std::vector<FieldDef> fields;
  std::vector<KeyDef> keys;
};

// A field value: text (UTF-8) or integer.
using Value = std::variant<std::int64_t, std::string>;
// A record: one value per field of the layout, in order. Text fields are stored without
// trailing blanks and cut to their length; reads return them without trailing blanks.
using Record = std::vector<Value>;

// The key number that stands for the order in which records were added.
inline constexpr int kRecordOrder = -1;

class KeyedFile {
 public:
  // `ownerPassword`, when not empty, is recorded in a file this object creates and must match
  // when the file is opened.
  explicit KeyedFile(TableLayout layout, std::string ownerPassword = {});
  ~KeyedFile();
  KeyedFile(const KeyedFile&) = delete;
  KeyedFile& operator=(const KeyedFile&) = delete;

  const TableLayout& Layout() const { return layout_; }
  // The stored name ("ARHIVE") and the file name in the current directory ("ARHIVE.TPS").
  const std::string& Name() const { return layout_.storedName; }
  std::string FileName() const;

  // Opens the file. Errors: kFileNotFound, kFileLocked (another process holds it in a way
  // that did not end within the lock wait), kInvalidRecordDeclaration (not a table of this
  // layout), kKeyFileMustBeRebuilt (damaged keys; BuildKeys repairs them), kFileAlreadyOpen
  // (this object has it open: it stays open), kFileSystemError. On failure it is closed.
  int Open(unsigned accessMode = kAccessReadWriteShared);
  // Creates an empty table file. An existing file is left as it is (success when it is a
  // table of this layout). The object stays closed.
  int Create();
  void Close();
  bool IsOpen() const;

  // Rebuilds every key from the records. Works whether or not the object has the file open.
  // Errors: kDuplicateKey when a unique key cannot be rebuilt, others as Open.
  int BuildKeys();

  // Rewrites the open file without free space, so that nothing deleted or overwritten
  // earlier is left in it. Not inside a transaction.
  int Compact();

  // Driver commands. "Recover=N": wait up to N seconds for another process's lock (at open
  // and for every operation) before giving up with kFileLocked.
  int SendCommand(const std::string& command);

  // Key-order reads. Set(key) starts at the first record (Next) or the last (Previous);
  // Set(key, start) at the first record whose key is >= start (Next) or the last whose key
  // is <= start (Previous); Reset(key, position) at the record of `position` itself. Then
  // Next/Previous return the records one by one and kRecordNotAvailable at the end. Every
  // record read becomes the current record.
  int Set(int key);
  int Set(int key, const Value& start);
  int Reset(int key, const std::string& position);
  int Next(Record& out);
  int Previous(Record& out);

  // Reads the first record (in the order of addition) whose `key` equals `value`.
  int Get(int key, const Value& value, Record& out);

  // The position of the current record: a short text (at most 512 bytes); "" when there is
  // none. Reget reads the record at a position again under change watch: it becomes the
  // current record with the values it has now.
  std::string Position() const;
  int Reget(const std::string& position, Record& out);

  // Adds a record; it becomes the current record. kDuplicateKey on a unique-key clash.
  int Add(const Record& record);
  // Rewrites the current record with `record`. kRecordChanged when it was changed by another
  // connection since it was read, kRecordNotAvailable when there is no current record (or it
  // was deleted meanwhile), kDuplicateKey on a unique-key clash.
  int Put(const Record& record);
  // Deletes the current record; kRecordNotAvailable when there is none.
  int Delete();

  // True when `record` would clash in a unique key with a record other than the current one.
  bool Duplicates(const Record& record);

  // A transaction on this table. Begin waits at most `waitSeconds` for another connection's
  // transaction to end, then fails with kFileLocked. Commit or Rollback ends it.
  int Begin(int waitSeconds);
  int Commit();
  int Rollback();
  bool InTransaction() const;

  KeyedFileStatus LastStatus() const;
  int LastError() const;

 private:
  struct Impl;
  TableLayout layout_;
  std::string ownerPassword_;
  mutable std::mutex mutex_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace verdan::platform
