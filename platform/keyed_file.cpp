#include "platform/keyed_file.h"

#include <sqlite3.h>

#ifdef _WIN32
#include <windows.h>

#include "platform/wide.h"
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "platform/text.h"

namespace verdan::platform {
namespace {

// Lock wait used until a "Recover=N" command says otherwise: long enough to ride out another
// process's commit, short enough that a table held by a hung process is reported.
constexpr int kDefaultLockWaitMs = 3000;

constexpr const char* kRecords = "tps_records";
constexpr const char* kMeta = "tps_meta";

thread_local KeyedFileStatus tlsStatus;

// A prepared statement that is always finalised, so that no read lock outlives the call.
class Stmt {
 public:
  Stmt(sqlite3* db, const std::string& sql) {
    rc_ = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &s_, nullptr);
  }
  ~Stmt() { sqlite3_finalize(s_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  int prepareRc() const { return rc_; }
  sqlite3_stmt* get() const { return s_; }
  int Step() { return sqlite3_step(s_); }

 private:
  sqlite3_stmt* s_ = nullptr;
  int rc_ = SQLITE_OK;
};

// A key value as stored: NULL (left out of a skip-blank key), an integer, or the code page
// 1250 bytes of the upper-cased text without trailing blanks (compared byte by byte).
struct KeyValue {
  enum class Kind { kNull, kInteger, kBytes } kind = Kind::kNull;
  std::int64_t integer = 0;
  std::string bytes;
  bool operator==(const KeyValue&) const = default;
};

void Bind(sqlite3_stmt* s, int index, const KeyValue& v) {
  switch (v.kind) {
    case KeyValue::Kind::kNull:
      sqlite3_bind_null(s, index);
      break;
    case KeyValue::Kind::kInteger:
      sqlite3_bind_int64(s, index, v.integer);
      break;
    case KeyValue::Kind::kBytes:
      sqlite3_bind_blob(s, index, v.bytes.data(), static_cast<int>(v.bytes.size()),
                        SQLITE_TRANSIENT);
      break;
  }
}

KeyValue ColumnKey(sqlite3_stmt* s, int col) {
  KeyValue v;
  switch (sqlite3_column_type(s, col)) {
    case SQLITE_NULL:
      break;
    case SQLITE_INTEGER:
      v.kind = KeyValue::Kind::kInteger;
      v.integer = sqlite3_column_int64(s, col);
      break;
    default: {
      v.kind = KeyValue::Kind::kBytes;
      const void* p = sqlite3_column_blob(s, col);
      int n = sqlite3_column_bytes(s, col);
      if (p && n > 0) v.bytes.assign(static_cast<const char*>(p), static_cast<std::size_t>(n));
    }
  }
  return v;
}

std::int64_t AsInteger(const Value& v) {
  if (const auto* i = std::get_if<std::int64_t>(&v)) return *i;
  const std::string text(TrimRight(std::get<std::string>(v)));
  std::size_t start = text.find_first_not_of(' ');
  if (start == std::string::npos) return 0;
  std::int64_t out = 0;
  std::from_chars(text.data() + start, text.data() + text.size(), out);
  return out;
}

std::string AsText(const Value& v) {
  if (const auto* s = std::get_if<std::string>(&v)) return *s;
  return std::to_string(std::get<std::int64_t>(v));
}

// The value a field stores: text cut to the field's length, without trailing blanks.
Value Normalise(const FieldDef& f, const Value& v) {
  if (f.type == FieldType::kInteger) return AsInteger(v);
  return std::string(TrimRight(CutChars(AsText(v), f.length)));
}

KeyValue KeyOf(const FieldDef& f, const Value& v, BlankValues blanks) {
  KeyValue k;
  if (f.type == FieldType::kInteger) {
    std::int64_t i = AsInteger(v);
    if (i == 0 && blanks == BlankValues::kSkipped) return k;
    k.kind = KeyValue::Kind::kInteger;
    k.integer = i;
    return k;
  }
  std::string text = AsText(v);
  if (IsBlank(text) && blanks == BlankValues::kSkipped) return k;
  k.kind = KeyValue::Kind::kBytes;
  k.bytes = Utf8ToCp1250(TrimRight(UpperCp1250(CutChars(text, f.length))));
  return k;
}

std::string FieldColumn(std::size_t i) { return "f" + std::to_string(i); }
std::string KeyColumn(std::size_t i) { return "k" + std::to_string(i); }
std::string IndexName(std::size_t i) { return "tps_key" + std::to_string(i); }

// The layout as recorded in a file, so that a file of another layout is recognised.
std::string Signature(const TableLayout& layout) {
  std::string s = layout.storedName + ";";
  for (const auto& f : layout.fields)
    s += f.name + ":" + (f.type == FieldType::kText ? "S" + std::to_string(f.length) : "I") + ",";
  s += ";";
  for (const auto& k : layout.keys)
    s += k.name + ":" + std::to_string(k.field) +
         (k.uniqueness == KeyUniqueness::kUnique ? "U" : "D") +
         (k.blanks == BlankValues::kSkipped ? "S" : "") + ",";
  return s;
}

// The owner password is not kept in clear in the file (the file travels in archives).
std::string PasswordStamp(const std::string& password) {
  if (password.empty()) return "";
  std::uint64_t h = 1469598103934665603ULL;
  for (unsigned char c : "verdan-owner:" + password) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
  return buf;
}

std::string IndexSql(const TableLayout& layout, std::size_t i) {
  const KeyDef& k = layout.keys[i];
  return std::string("CREATE ") + (k.uniqueness == KeyUniqueness::kUnique ? "UNIQUE " : "") +
         "INDEX " + IndexName(i) + " ON " + kRecords + "(" + KeyColumn(i) + ")";
}

#ifdef _WIN32
bool FileExists(const std::string& path) {
  return ::GetFileAttributesW(WideFromUtf8(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void RemoveFile(const std::string& path) { ::DeleteFileW(WideFromUtf8(path).c_str()); }

unsigned long ProcessId() { return ::GetCurrentProcessId(); }
#else
bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

void RemoveFile(const std::string& path) { std::remove(path.c_str()); }

unsigned long ProcessId() { return static_cast<unsigned long>(::getpid()); }
#endif

}  // namespace

std::string ErrorText(int code) {
  switch (code) {
    case kNoError:
      return "";
    case kFileNotFound:
      return "File Not Found";
    case kFileLocked:
      return "File Is Already Locked";
    case kRecordNotAvailable:
      return "Record Not Available";
    case kFileNotOpen:
      return "File Not Open";
    case kDuplicateKey:
      return "Creates Duplicate Key";
    case kKeyFileMustBeRebuilt:
      return "Key File Must Be Rebuilt";
    case kInvalidRecordDeclaration:
      return "Invalid Record Declaration";
    case kFileAlreadyOpen:
      return "File Already Open";
    case kRecordChanged:
      return "Record Changed By Another Station";
    case kFileSystemError:
      return "File System Error";
    default:
      return "Unknown Error";
  }
}

KeyedFileStatus LastKeyedFileStatus() { return tlsStatus; }

struct KeyedFile::Impl {
  const TableLayout& layout;
  std::string ownerPassword;
  sqlite3* db = nullptr;
  int lockWaitMs = kDefaultLockWaitMs;
  bool inTransaction = false;
  KeyedFileStatus status;

  // The current record (the last one read or added).
  bool hasCurrent = false;
  std::int64_t currentId = 0;
  std::int64_t currentVersion = 0;

  // Where the next sequential read starts.
  enum class Mode { kEnds, kFrom, kAfter, kAt };
  int seqKey = kRecordOrder;
  Mode seqMode = Mode::kEnds;
  KeyValue seqValue;
  std::int64_t seqId = 0;

  Impl(const TableLayout& l, std::string pw) : layout(l), ownerPassword(std::move(pw)) {}

  // ---- status -----------------------------------------------------------------------------

  int Set(int code) {
    status = KeyedFileStatus{code, ErrorText(code), 0, ""};
    tlsStatus = status;
    return code;
  }

  // The one place that turns an SQLite result into the program's codes.
  int FromSqlite(int rc, sqlite3* conn) {
    int primary = rc & 0xff;
    switch (primary) {
      case SQLITE_OK:
      case SQLITE_ROW:
      case SQLITE_DONE:
        return Set(kNoError);
      case SQLITE_BUSY:
      case SQLITE_LOCKED:
        return Set(kFileLocked);
      case SQLITE_NOTADB:
        return Set(kInvalidRecordDeclaration);
      case SQLITE_CONSTRAINT:
        if (rc == SQLITE_CONSTRAINT_UNIQUE || rc == SQLITE_CONSTRAINT_PRIMARYKEY)
          return Set(kDuplicateKey);
        break;
      case SQLITE_CORRUPT:
        if (rc == SQLITE_CORRUPT_INDEX) return Set(kKeyFileMustBeRebuilt);
        break;
      default:
        break;
    }
    std::string text = sqlite3_errstr(rc);
    if (conn) {
      const char* msg = sqlite3_errmsg(conn);
      if (msg && text != msg) text += std::string(": ") + msg;
    }
    return Driver(rc, text);
  }

  int Driver(int driverCode, const std::string& driverText) {
    status = KeyedFileStatus{kFileSystemError, ErrorText(kFileSystemError), driverCode, driverText};
    tlsStatus = status;
    return kFileSystemError;
  }

  // ---- helpers ------------------------------------------------------------------------------

  std::string Path() const { return layout.storedName + ".TPS"; }

  std::string KeyColumnFor(int key) const {
    return key == kRecordOrder ? std::string("id") : KeyColumn(static_cast<std::size_t>(key));
  }

  bool ValidKey(int key) const {
    return key == kRecordOrder || (key >= 0 && static_cast<std::size_t>(key) < layout.keys.size());
  }

  KeyValue StartValue(int key, const Value& v) const {
    if (key == kRecordOrder) return KeyValue{KeyValue::Kind::kInteger, AsInteger(v), {}};
    const KeyDef& k = layout.keys[static_cast<std::size_t>(key)];
    return KeyOf(layout.fields[k.field], v, BlankValues::kIncluded);
  }

  std::string SelectList() const {
    std::string s = "id, ver";
    for (std::size_t i = 0; i < layout.fields.size(); ++i) s += ", " + FieldColumn(i);
    return s;
  }

  Record ReadRow(sqlite3_stmt* s, int firstCol) const {
    Record r;
    r.reserve(layout.fields.size());
    for (std::size_t i = 0; i < layout.fields.size(); ++i) {
      int col = firstCol + static_cast<int>(i);
      if (layout.fields[i].type == FieldType::kInteger) {
        r.emplace_back(static_cast<std::int64_t>(sqlite3_column_int64(s, col)));
      } else {
        const unsigned char* t = sqlite3_column_text(s, col);
        r.emplace_back(std::string(t ? reinterpret_cast<const char*>(t) : ""));
      }
    }
    return r;
  }

  std::vector<KeyValue> KeysOf(const Record& rec) const {
    std::vector<KeyValue> keys;
    for (const auto& k : layout.keys) {
      const Value& v = k.field < rec.size() ? rec[k.field] : Value{std::string()};
      keys.push_back(KeyOf(layout.fields[k.field], v, k.blanks));
    }
    return keys;
  }

  bool CompleteRecord(const Record& rec) const { return rec.size() == layout.fields.size(); }

  // Binds fields then keys from parameter `first` on; returns the next parameter number.
  int BindRecord(sqlite3_stmt* s, const Record& rec, int first) const {
    int p = first;
    for (std::size_t i = 0; i < layout.fields.size(); ++i) {
      Value v = Normalise(layout.fields[i], rec[i]);
      if (const auto* n = std::get_if<std::int64_t>(&v)) {
        sqlite3_bind_int64(s, p++, *n);
      } else {
        const std::string& t = std::get<std::string>(v);
        sqlite3_bind_text(s, p++, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
      }
    }
    for (const auto& k : KeysOf(rec)) Bind(s, p++, k);
    return p;
  }

  int Exec(sqlite3* conn, const std::string& sql) {
    int rc = sqlite3_exec(conn, sql.c_str(), nullptr, nullptr, nullptr);
    return rc == SQLITE_OK ? Set(kNoError) : FromSqlite(rc, conn);
  }

  // Checks that `conn` holds a table of this layout (and owner). 0 or an error code.
  int CheckLayout(sqlite3* conn) {
    Stmt s(conn, std::string("SELECT name, value FROM ") + kMeta);
    if (s.prepareRc() != SQLITE_OK) {
      int primary = s.prepareRc() & 0xff;
      if (primary == SQLITE_ERROR) return Set(kInvalidRecordDeclaration);  // no such table
      return FromSqlite(s.prepareRc(), conn);
    }
    std::string signature, owner;
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW) {
      std::string name = reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 0));
      const unsigned char* v = sqlite3_column_text(s.get(), 1);
      std::string value = v ? reinterpret_cast<const char*>(v) : "";
      if (name == "layout") signature = value;
      if (name == "owner") owner = value;
    }
    if (rc != SQLITE_DONE) return FromSqlite(rc, conn);
    if (signature != Signature(layout)) return Set(kInvalidRecordDeclaration);
    if (owner != PasswordStamp(ownerPassword)) return Set(kInvalidRecordDeclaration);
    return Set(kNoError);
  }

  // Checks the keys against the records: every key index present, every stored key value
  // the one its field gives, and the database structure sound. 0, 46, or another error.
  int CheckKeys(sqlite3* conn) {
    {
      Stmt s(conn, "SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = '" +
                       std::string(kRecords) + "'");
      if (s.prepareRc() != SQLITE_OK) return FromSqlite(s.prepareRc(), conn);
      std::vector<bool> present(layout.keys.size(), false);
      int rc;
      while ((rc = s.Step()) == SQLITE_ROW) {
        std::string name = reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 0));
        for (std::size_t i = 0; i < layout.keys.size(); ++i)
          if (name == IndexName(i)) present[i] = true;
      }
      if (rc != SQLITE_DONE) return FromSqlite(rc, conn);
      for (bool p : present)
        if (!p) return Set(kKeyFileMustBeRebuilt);
    }
    {
      std::string sql = "SELECT " + SelectList();
      for (std::size_t i = 0; i < layout.keys.size(); ++i) sql += ", " + KeyColumn(i);
      sql += std::string(" FROM ") + kRecords + " NOT INDEXED ORDER BY id";
      Stmt s(conn, sql);
      if (s.prepareRc() != SQLITE_OK) return FromSqlite(s.prepareRc(), conn);
      int firstKeyCol = 2 + static_cast<int>(layout.fields.size());
      int rc;
      while ((rc = s.Step()) == SQLITE_ROW) {
        std::vector<KeyValue> expected = KeysOf(ReadRow(s.get(), 2));
        for (std::size_t i = 0; i < expected.size(); ++i)
          if (!(ColumnKey(s.get(), firstKeyCol + static_cast<int>(i)) == expected[i]))
            return Set(kKeyFileMustBeRebuilt);
      }
      // The records themselves cannot be read: no key rebuild can help.
      if (rc != SQLITE_DONE)
        return FromSqlite(rc == SQLITE_CORRUPT_INDEX ? SQLITE_CORRUPT : rc, conn);
    }
    {
      Stmt s(conn, "PRAGMA integrity_check(1)");
      if (s.prepareRc() != SQLITE_OK) return FromSqlite(s.prepareRc(), conn);
      int rc = s.Step();
      if (rc == SQLITE_ROW) {
        const unsigned char* t = sqlite3_column_text(s.get(), 0);
        if (!t || std::strcmp(reinterpret_cast<const char*>(t), "ok") != 0)
          return Set(kKeyFileMustBeRebuilt);
      } else if ((rc & 0xff) == SQLITE_CORRUPT) {
        return Set(kKeyFileMustBeRebuilt);  // the records read cleanly above
      } else if (rc != SQLITE_DONE) {
        return FromSqlite(rc, conn);
      }
    }
    return Set(kNoError);
  }

  // Opens a connection to the existing file. On failure nothing stays open.
  int Connect(sqlite3** out) {
    *out = nullptr;
    const std::string path = Path();
    if (!FileExists(path)) return Set(kFileNotFound);
    sqlite3* conn = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &conn, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
      int code = FromSqlite(rc, conn);
      sqlite3_close_v2(conn);
      return code;
    }
    sqlite3_busy_timeout(conn, lockWaitMs);
    sqlite3_extended_result_codes(conn, 1);
    // The single file must be the whole table whenever no write is open.
    int code = Exec(conn, "PRAGMA journal_mode=DELETE");
    // What a rewrite or delete frees is overwritten, so that an old value does not stay in
    // the file (which travels in archives).
    if (code == kNoError) code = Exec(conn, "PRAGMA secure_delete=ON");
    if (code == kNoError) code = CheckLayout(conn);
    if (code != kNoError) {
      sqlite3_close_v2(conn);
      return code;
    }
    *out = conn;
    return Set(kNoError);
  }

  int Open() {
    if (db) return Set(kFileAlreadyOpen);
    sqlite3* conn = nullptr;
    int code = Connect(&conn);
    if (code != kNoError) return code;
    code = CheckKeys(conn);
    if (code != kNoError) {
      sqlite3_close_v2(conn);
      return code;
    }
    db = conn;
    hasCurrent = false;
    inTransaction = false;
    seqKey = kRecordOrder;
    seqMode = Mode::kEnds;
    return Set(kNoError);
  }

  void Close() {
    if (!db) return;
    if (inTransaction) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close_v2(db);
    db = nullptr;
    inTransaction = false;
    hasCurrent = false;
  }

  std::string SchemaSql() const {
    std::string sql = std::string("CREATE TABLE ") + kMeta +
                      "(name TEXT PRIMARY KEY, value TEXT NOT NULL);"
                      "CREATE TABLE " +
                      kRecords +
                      "(id INTEGER PRIMARY KEY AUTOINCREMENT, ver INTEGER NOT NULL DEFAULT 1";
    for (std::size_t i = 0; i < layout.fields.size(); ++i)
      sql += ", " + FieldColumn(i) +
             (layout.fields[i].type == FieldType::kText ? " TEXT NOT NULL DEFAULT ''"
                                                        : " INTEGER NOT NULL DEFAULT 0");
    // Key columns carry no type, so that the stored bytes compare as they are.
    for (std::size_t i = 0; i < layout.keys.size(); ++i) sql += ", " + KeyColumn(i);
    sql += ");";
    for (std::size_t i = 0; i < layout.keys.size(); ++i) sql += IndexSql(layout, i) + ";";
    return sql;
  }

  int Create() {
    const std::string path = Path();
    if (FileExists(path)) {
      sqlite3* conn = nullptr;
      int code = Connect(&conn);
      sqlite3_close_v2(conn);
      return code;
    }
    // Built under a temporary name and linked into place, so that a reader never sees a
    // half-made table and a table another process created meanwhile is never replaced.
    const std::string temp = path + ".new" + std::to_string(ProcessId());
    RemoveFile(temp);
    RemoveFile(temp + "-journal");
    sqlite3* conn = nullptr;
    int rc =
        sqlite3_open_v2(temp.c_str(), &conn,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    int code = rc == SQLITE_OK ? Set(kNoError) : FromSqlite(rc, conn);
    if (code == kNoError) {
      sqlite3_extended_result_codes(conn, 1);
      code = Exec(conn, "PRAGMA journal_mode=DELETE");
    }
    if (code == kNoError) {
      code = Exec(conn, "BEGIN;" + SchemaSql());
      if (code == kNoError) {
        Stmt s(conn, std::string("INSERT INTO ") + kMeta + " VALUES(?, ?)");
        for (const auto& [name, value] :
             {std::pair<std::string, std::string>{"layout", Signature(layout)},
              {"owner", PasswordStamp(ownerPassword)}}) {
          sqlite3_reset(s.get());
          sqlite3_bind_text(s.get(), 1, name.c_str(), -1, SQLITE_TRANSIENT);
          sqlite3_bind_text(s.get(), 2, value.c_str(), -1, SQLITE_TRANSIENT);
          rc = s.Step();
          if (rc != SQLITE_DONE) {
            code = FromSqlite(rc, conn);
            break;
          }
        }
      }
      if (code == kNoError) code = Exec(conn, "COMMIT");
    }
    sqlite3_close_v2(conn);
    if (code == kNoError) {
#ifdef _WIN32
      // A rename without replacing is the same no-clobber step here.
      if (!::MoveFileExW(WideFromUtf8(temp).c_str(), WideFromUtf8(path).c_str(),
                         MOVEFILE_WRITE_THROUGH)) {
        DWORD err = ::GetLastError();
        if (err != ERROR_ALREADY_EXISTS && err != ERROR_FILE_EXISTS)  // someone else's stands
          code = Driver(static_cast<int>(err), "MoveFileEx: " + std::to_string(err));
      }
#else
      if (::link(temp.c_str(), path.c_str()) != 0) {
        int err = errno;
        if (err == EEXIST) {
          // Someone else created it first: theirs stands.
        } else if ((err == EPERM || err == ENOTSUP || err == EOPNOTSUPP) && !FileExists(path)) {
          // File systems without hard links: a plain rename.
          if (std::rename(temp.c_str(), path.c_str()) != 0)
            code = Driver(errno, std::string("rename: ") + std::strerror(errno));
        } else {
          code = Driver(err, std::string("link: ") + std::strerror(err));
        }
      }
#endif
    }
    RemoveFile(temp);
    if (code != kNoError) return code;
    return Set(kNoError);
  }

  int BuildKeys() {
    sqlite3* conn = db;
    bool own = false;
    if (!conn) {
      int code = Connect(&conn);
      if (code != kNoError) return code;
      own = true;
    } else if (inTransaction) {
      return Driver(SQLITE_MISUSE, "keys cannot be rebuilt inside a transaction");
    }
    int code = Rebuild(conn);
    if (own) sqlite3_close_v2(conn);
    if (code == kNoError) Set(kNoError);
    return code;
  }

  int Rebuild(sqlite3* conn) {
    int code = Exec(conn, "BEGIN IMMEDIATE");
    if (code != kNoError) return code;
    auto fail = [&](int c) {
      KeyedFileStatus keep = status;
      sqlite3_exec(conn, "ROLLBACK", nullptr, nullptr, nullptr);
      status = keep;
      tlsStatus = keep;
      return c;
    };
    std::vector<std::string> indexes;
    {
      Stmt s(conn, "SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = '" +
                       std::string(kRecords) + "' AND sql IS NOT NULL");
      int rc;
      while ((rc = s.Step()) == SQLITE_ROW)
        indexes.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 0)));
      if (rc != SQLITE_DONE) return fail(FromSqlite(rc, conn));
    }
    for (const auto& name : indexes)
      if ((code = Exec(conn, "DROP INDEX \"" + name + "\"")) != kNoError) return fail(code);
    {
      std::vector<std::pair<std::int64_t, Record>> rows;
      {
        Stmt s(conn, "SELECT " + SelectList() + " FROM " + kRecords + " ORDER BY id");
        int rc;
        while ((rc = s.Step()) == SQLITE_ROW)
          rows.emplace_back(sqlite3_column_int64(s.get(), 0), ReadRow(s.get(), 2));
        if (rc != SQLITE_DONE) return fail(FromSqlite(rc, conn));
      }
      std::string sql = std::string("UPDATE ") + kRecords + " SET ";
      for (std::size_t i = 0; i < layout.keys.size(); ++i)
        sql += (i ? ", " : "") + KeyColumn(i) + " = ?";
      sql += " WHERE id = ?";
      if (!layout.keys.empty()) {
        Stmt u(conn, sql);
        for (const auto& [id, rec] : rows) {
          sqlite3_reset(u.get());
          int p = 1;
          for (const auto& k : KeysOf(rec)) Bind(u.get(), p++, k);
          sqlite3_bind_int64(u.get(), p, id);
          int rc = u.Step();
          if (rc != SQLITE_DONE) return fail(FromSqlite(rc, conn));
        }
      }
    }
    for (std::size_t i = 0; i < layout.keys.size(); ++i)
      if ((code = Exec(conn, IndexSql(layout, i))) != kNoError) return fail(code);
    if ((code = Exec(conn, "COMMIT")) != kNoError) return fail(code);
    // Rewrites the whole file from its records, which also drops damaged free pages.
    sqlite3_exec(conn, "VACUUM", nullptr, nullptr, nullptr);
    return CheckKeys(conn);
  }

  // ---- reads --------------------------------------------------------------------------------

  int Sequential(bool forward, Record& out) {
    if (!db) return Set(kFileNotOpen);
    const std::string col = KeyColumnFor(seqKey);
    std::string where = col + " IS NOT NULL";
    const char* cmpAfter = forward ? ">" : "<";
    const char* cmpAt = forward ? ">=" : "<=";
    switch (seqMode) {
      case Mode::kEnds:
        break;
      case Mode::kFrom:
        where += std::string(" AND ") + col + " " + cmpAt + " ?1";
        break;
      case Mode::kAfter:
        where += std::string(" AND (") + col + ", id) " + cmpAfter + " (?1, ?2)";
        break;
      case Mode::kAt:
        where += std::string(" AND (") + col + ", id) " + cmpAt + " (?1, ?2)";
        break;
    }
    const char* dir = forward ? "ASC" : "DESC";
    std::string sql = "SELECT " + SelectList() + ", " + col + " FROM " + kRecords + " WHERE " +
                      where + " ORDER BY " + col + " " + dir + ", id " + dir + " LIMIT 1";
    Stmt s(db, sql);
    if (s.prepareRc() != SQLITE_OK) return FromSqlite(s.prepareRc(), db);
    if (seqMode != Mode::kEnds) Bind(s.get(), 1, seqValue);
    if (seqMode == Mode::kAfter || seqMode == Mode::kAt) sqlite3_bind_int64(s.get(), 2, seqId);
    int rc = s.Step();
    if (rc == SQLITE_DONE) return Set(kRecordNotAvailable);
    if (rc != SQLITE_ROW) return FromSqlite(rc, db);
    TakeCurrent(s.get(), out);
    seqMode = Mode::kAfter;
    seqValue = ColumnKey(s.get(), 2 + static_cast<int>(layout.fields.size()));
    seqId = currentId;
    return Set(kNoError);
  }

  void TakeCurrent(sqlite3_stmt* s, Record& out) {
    hasCurrent = true;
    currentId = sqlite3_column_int64(s, 0);
    currentVersion = sqlite3_column_int64(s, 1);
    out = ReadRow(s, 2);
  }

  static bool ParsePosition(const std::string& position, std::int64_t& id) {
    if (position.empty() || position.size() > 20) return false;
    auto [p, ec] = std::from_chars(position.data(), position.data() + position.size(), id);
    return ec == std::errc() && p == position.data() + position.size() && id > 0;
  }

  int Reget(const std::string& position, Record& out) {
    if (!db) return Set(kFileNotOpen);
    std::int64_t id = 0;
    if (!ParsePosition(position, id)) return Set(kRecordNotAvailable);
    Stmt s(db, "SELECT " + SelectList() + " FROM " + kRecords + " WHERE id = ?");
    if (s.prepareRc() != SQLITE_OK) return FromSqlite(s.prepareRc(), db);
    sqlite3_bind_int64(s.get(), 1, id);
    int rc = s.Step();
    if (rc == SQLITE_DONE) return Set(kRecordNotAvailable);
    if (rc != SQLITE_ROW) return FromSqlite(rc, db);
    TakeCurrent(s.get(), out);
    return Set(kNoError);
  }

  int Reset(int key, const std::string& position) {
    if (!db) return Set(kFileNotOpen);
    std::int64_t id = 0;
    if (!ParsePosition(position, id)) return Set(kRecordNotAvailable);
    const std::string col = KeyColumnFor(key);
    Stmt s(db, "SELECT " + col + " FROM " + kRecords + " WHERE id = ?");
    if (s.prepareRc() != SQLITE_OK) return FromSqlite(s.prepareRc(), db);
    sqlite3_bind_int64(s.get(), 1, id);
    int rc = s.Step();
    if (rc == SQLITE_DONE) return Set(kRecordNotAvailable);
    if (rc != SQLITE_ROW) return FromSqlite(rc, db);
    seqKey = key;
    seqValue = ColumnKey(s.get(), 0);
    seqId = id;
    // A record left out of this key: start where its key would be, i.e. at the ends.
    seqMode = seqValue.kind == KeyValue::Kind::kNull ? Mode::kEnds : Mode::kAt;
    return Set(kNoError);
  }

  int Get(int key, const Value& value, Record& out) {
    if (!db) return Set(kFileNotOpen);
    const std::string col = KeyColumnFor(key);
    KeyValue k = StartValue(key, value);
    if (key != kRecordOrder) {
      const KeyDef& def = layout.keys[static_cast<std::size_t>(key)];
      k = KeyOf(layout.fields[def.field], value, def.blanks);
      if (k.kind == KeyValue::Kind::kNull) return Set(kRecordNotAvailable);
    }
    Stmt s(db, "SELECT " + SelectList() + " FROM " + kRecords + " WHERE " + col +
                   " = ? ORDER BY id LIMIT 1");
    if (s.prepareRc() != SQLITE_OK) return FromSqlite(s.prepareRc(), db);
    Bind(s.get(), 1, k);
    int rc = s.Step();
    if (rc == SQLITE_DONE) return Set(kRecordNotAvailable);
    if (rc != SQLITE_ROW) return FromSqlite(rc, db);
    TakeCurrent(s.get(), out);
    return Set(kNoError);
  }

  // ---- writes -------------------------------------------------------------------------------

  int Add(const Record& rec) {
    if (!db) return Set(kFileNotOpen);
    if (!CompleteRecord(rec)) return Set(kInvalidRecordDeclaration);
    std::string cols, params;
    for (std::size_t i = 0; i < layout.fields.size(); ++i) {
      cols += ", " + FieldColumn(i);
      params += ", ?";
    }
    for (std::size_t i = 0; i < layout.keys.size(); ++i) {
      cols += ", " + KeyColumn(i);
      params += ", ?";
    }
    Stmt s(db,
           std::string("INSERT INTO ") + kRecords + "(ver" + cols + ") VALUES(1" + params + ")");
    if (s.prepareRc() != SQLITE_OK) return FromSqlite(s.prepareRc(), db);
    BindRecord(s.get(), rec, 1);
    int rc = s.Step();
    if (rc != SQLITE_DONE) return FromSqlite(rc, db);
    hasCurrent = true;
    currentId = sqlite3_last_insert_rowid(db);
    currentVersion = 1;
    return Set(kNoError);
  }

  int Put(const Record& rec) {
    if (!db) return Set(kFileNotOpen);
    if (!hasCurrent) return Set(kRecordNotAvailable);
    if (!CompleteRecord(rec)) return Set(kInvalidRecordDeclaration);
    std::string sql = std::string("UPDATE ") + kRecords + " SET ver = ver + 1";
    for (std::size_t i = 0; i < layout.fields.size(); ++i) sql += ", " + FieldColumn(i) + " = ?";
    for (std::size_t i = 0; i < layout.keys.size(); ++i) sql += ", " + KeyColumn(i) + " = ?";
    sql += " WHERE id = ? AND ver = ?";
    Stmt s(db, sql);
    if (s.prepareRc() != SQLITE_OK) return FromSqlite(s.prepareRc(), db);
    int p = BindRecord(s.get(), rec, 1);
    sqlite3_bind_int64(s.get(), p++, currentId);
    sqlite3_bind_int64(s.get(), p, currentVersion);
    int rc = s.Step();
    if (rc != SQLITE_DONE) return FromSqlite(rc, db);
    if (sqlite3_changes(db) == 1) {
      ++currentVersion;
      return Set(kNoError);
    }
    Stmt check(db, std::string("SELECT 1 FROM ") + kRecords + " WHERE id = ?");
    sqlite3_bind_int64(check.get(), 1, currentId);
    rc = check.Step();
    if (rc == SQLITE_ROW) return Set(kRecordChanged);
    if (rc == SQLITE_DONE) return Set(kRecordNotAvailable);
    return FromSqlite(rc, db);
  }

  int Delete() {
    if (!db) return Set(kFileNotOpen);
    if (!hasCurrent) return Set(kRecordNotAvailable);
    Stmt s(db, std::string("DELETE FROM ") + kRecords + " WHERE id = ?");
    if (s.prepareRc() != SQLITE_OK) return FromSqlite(s.prepareRc(), db);
    sqlite3_bind_int64(s.get(), 1, currentId);
    int rc = s.Step();
    if (rc != SQLITE_DONE) return FromSqlite(rc, db);
    if (sqlite3_changes(db) != 1) return Set(kRecordNotAvailable);
    hasCurrent = false;
    return Set(kNoError);
  }

  bool Duplicates(const Record& rec) {
    if (!db || !CompleteRecord(rec)) return false;
    std::vector<KeyValue> keys = KeysOf(rec);
    for (std::size_t i = 0; i < layout.keys.size(); ++i) {
      if (layout.keys[i].uniqueness != KeyUniqueness::kUnique) continue;
      if (keys[i].kind == KeyValue::Kind::kNull) continue;
      Stmt s(db, std::string("SELECT 1 FROM ") + kRecords + " WHERE " + KeyColumn(i) +
                     " = ? AND id <> ? LIMIT 1");
      Bind(s.get(), 1, keys[i]);
      sqlite3_bind_int64(s.get(), 2, hasCurrent ? currentId : 0);
      if (s.Step() == SQLITE_ROW) return true;
    }
    return false;
  }

  // ---- transactions -------------------------------------------------------------------------

  int Begin(int waitSeconds) {
    if (!db) return Set(kFileNotOpen);
    if (inTransaction) return Driver(SQLITE_MISUSE, "a transaction is already in progress");
    sqlite3_busy_timeout(db, waitSeconds > 0 ? waitSeconds * 1000 : 0);
    int code = Exec(db, "BEGIN IMMEDIATE");
    sqlite3_busy_timeout(db, lockWaitMs);
    if (code == kNoError) inTransaction = true;
    return code;
  }

  int End(const char* sql) {
    if (!db) return Set(kFileNotOpen);
    if (!inTransaction) return Driver(SQLITE_MISUSE, "no transaction is in progress");
    int code = Exec(db, sql);
    if (code == kNoError || sqlite3_get_autocommit(db)) inTransaction = false;
    return code;
  }

  int Command(const std::string& command) {
    std::string upper = UpperCp1250(TrimRight(command));
    const std::string prefix = "RECOVER=";
    if (upper.rfind(prefix, 0) == 0) {
      int seconds = 0;
      const char* b = upper.data() + prefix.size();
      const char* e = upper.data() + upper.size();
      auto [p, ec] = std::from_chars(b, e, seconds);
      if (ec == std::errc() && p == e && seconds >= 0 && seconds <= 3600) {
        lockWaitMs = seconds * 1000;
        if (db) sqlite3_busy_timeout(db, lockWaitMs);
        return Set(kNoError);
      }
    }
    return Driver(SQLITE_ERROR, "unknown driver command: " + command);
  }
};

KeyedFile::KeyedFile(TableLayout layout, std::string ownerPassword)
    : layout_(std::move(layout)),
      ownerPassword_(std::move(ownerPassword)),
      impl_(std::make_unique<Impl>(layout_, ownerPassword_)) {}

KeyedFile::~KeyedFile() {
  std::lock_guard lock(mutex_);
  impl_->Close();
}

std::string KeyedFile::FileName() const { return layout_.storedName + ".TPS"; }

int KeyedFile::Open(unsigned /*accessMode: always shared read/write*/) {
  std::lock_guard lock(mutex_);
  return impl_->Open();
}

int KeyedFile::Create() {
  std::lock_guard lock(mutex_);
  return impl_->Create();
}

void KeyedFile::Close() {
  std::lock_guard lock(mutex_);
  impl_->Close();
}

bool KeyedFile::IsOpen() const {
  std::lock_guard lock(mutex_);
  return impl_->db != nullptr;
}

int KeyedFile::BuildKeys() {
  std::lock_guard lock(mutex_);
  return impl_->BuildKeys();
}

int KeyedFile::Compact() {
  std::lock_guard lock(mutex_);
  if (!impl_->db) return impl_->Set(kFileNotOpen);
  if (impl_->inTransaction)
    return impl_->Driver(SQLITE_MISUSE, "cannot compact inside a transaction");
  return impl_->Exec(impl_->db, "VACUUM");
}

int KeyedFile::SendCommand(const std::string& command) {
  std::lock_guard lock(mutex_);
  return impl_->Command(command);
}

int KeyedFile::Set(int key) {
  std::lock_guard lock(mutex_);
  if (!impl_->db) return impl_->Set(kFileNotOpen);
  if (!impl_->ValidKey(key)) return impl_->Set(kInvalidRecordDeclaration);
  impl_->seqKey = key;
  impl_->seqMode = Impl::Mode::kEnds;
  return impl_->Set(kNoError);
}

int KeyedFile::Set(int key, const Value& start) {
  std::lock_guard lock(mutex_);
  if (!impl_->db) return impl_->Set(kFileNotOpen);
  if (!impl_->ValidKey(key)) return impl_->Set(kInvalidRecordDeclaration);
  impl_->seqKey = key;
  impl_->seqMode = Impl::Mode::kFrom;
  impl_->seqValue = impl_->StartValue(key, start);
  return impl_->Set(kNoError);
}

int KeyedFile::Reset(int key, const std::string& position) {
  std::lock_guard lock(mutex_);
  if (!impl_->ValidKey(key)) return impl_->Set(kInvalidRecordDeclaration);
  return impl_->Reset(key, position);
}

int KeyedFile::Next(Record& out) {
  std::lock_guard lock(mutex_);
  return impl_->Sequential(true, out);
}

int KeyedFile::Previous(Record& out) {
  std::lock_guard lock(mutex_);
  return impl_->Sequential(false, out);
}

int KeyedFile::Get(int key, const Value& value, Record& out) {
  std::lock_guard lock(mutex_);
  if (!impl_->ValidKey(key)) return impl_->Set(kInvalidRecordDeclaration);
  return impl_->Get(key, value, out);
}

std::string KeyedFile::Position() const {
  std::lock_guard lock(mutex_);
  return impl_->hasCurrent ? std::to_string(impl_->currentId) : std::string();
}

int KeyedFile::Reget(const std::string& position, Record& out) {
  std::lock_guard lock(mutex_);
  return impl_->Reget(position, out);
}

int KeyedFile::Add(const Record& record) {
  std::lock_guard lock(mutex_);
  return impl_->Add(record);
}

int KeyedFile::Put(const Record& record) {
  std::lock_guard lock(mutex_);
  return impl_->Put(record);
}

int KeyedFile::Delete() {
  std::lock_guard lock(mutex_);
  return impl_->Delete();
}

bool KeyedFile::Duplicates(const Record& record) {
  std::lock_guard lock(mutex_);
  return impl_->Duplicates(record);
}

int KeyedFile::Begin(int waitSeconds) {
  std::lock_guard lock(mutex_);
  return impl_->Begin(waitSeconds);
}

int KeyedFile::Commit() {
  std::lock_guard lock(mutex_);
  return impl_->End("COMMIT");
}

int KeyedFile::Rollback() {
  std::lock_guard lock(mutex_);
  return impl_->End("ROLLBACK");
}

bool KeyedFile::InTransaction() const {
  std::lock_guard lock(mutex_);
  return impl_->inTransaction;
}

KeyedFileStatus KeyedFile::LastStatus() const {
  std::lock_guard lock(mutex_);
  return impl_->status;
}

int KeyedFile::LastError() const {
  std::lock_guard lock(mutex_);
  return impl_->status.code;
}

}  // namespace verdan::platform
