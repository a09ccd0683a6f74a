#include "platform/keyed_file.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"
#include "support/wait.h"

namespace verdan::platform {
namespace {

using testing::ScopedCwd;
using testing::TempDir;

// A small table: NAME unique skipping blanks, GROUP dup, NUM dup skipping zero.
constexpr int kByName = 0, kByGroup = 1, kByNum = 2;

TableLayout Layout(const std::string& stored = "PROBA") {
  return {stored,
          {{"NAME", FieldType::kText, 10},
           {"GROUP", FieldType::kText, 5},
           {"NUM", FieldType::kInteger, 0}},
          {{"KEYNAME", 0, KeyUniqueness::kUnique, BlankValues::kSkipped},
           {"KEYGROUP", 1, KeyUniqueness::kDuplicates, BlankValues::kIncluded},
           {"KEYNUM", 2, KeyUniqueness::kDuplicates, BlankValues::kSkipped}}};
}

// While it lives, the default file layer of the table library counts the pauses a
// connection makes while it waits for another process's lock.
class SleepCountingVfs {
 public:
  SleepCountingVfs() {
    base_ = sqlite3_vfs_find(nullptr);
    count_ = 0;
    vfs_ = *base_;
    vfs_.zName = "verdan-sleep-counting";
    vfs_.xSleep = [](sqlite3_vfs*, int micro) {
      ++count_;
      return base_->xSleep(base_, micro);
    };
    sqlite3_vfs_register(&vfs_, 1);
  }
  ~SleepCountingVfs() {
    sqlite3_vfs_unregister(&vfs_);
    sqlite3_vfs_register(base_, 1);
  }
  int sleeps() const { return count_; }

 private:
  static inline sqlite3_vfs* base_ = nullptr;
  static inline std::atomic<int> count_{0};
  sqlite3_vfs vfs_{};
};

Record Rec(const std::string& name, const std::string& group = "", std::int64_t num = 0) {
  return {name, group, num};
}

std::string NameOf(const Record& r) { return std::get<std::string>(r[0]); }

// All names read forward (or backward) in the order of `key` from the current Set.
std::vector<std::string> ReadAll(KeyedFile& f, bool forward = true) {
  std::vector<std::string> out;
  Record r;
  for (int i = 0; i < 1000; ++i) {
    int code = forward ? f.Next(r) : f.Previous(r);
    if (code != kNoError) {
      EXPECT_EQ(code, kRecordNotAvailable);
      break;
    }
    out.push_back(NameOf(r));
  }
  return out;
}

// The tests with a second process fork it; the Windows build has no such tests yet.
#ifndef _WIN32
// Runs `body` in a forked child process and returns its exit status.
int InChild(const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}
#endif  // _WIN32

void ExecSql(const std::string& file, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  char* err = nullptr;
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
  std::string msg = err ? err : "";
  sqlite3_free(err);
  sqlite3_close(db);
  ASSERT_EQ(rc, SQLITE_OK) << msg;
}

class KeyedFileTest : public ::testing::Test {
 protected:
  TempDir dir;
  ScopedCwd cwd{dir.path()};

  void MakeTable(const std::vector<Record>& records) {
    KeyedFile f(Layout());
    ASSERT_EQ(f.Create(), kNoError);
    ASSERT_EQ(f.Open(), kNoError);
    for (const auto& r : records) ASSERT_EQ(f.Add(r), kNoError) << NameOf(r);
  }
};

TEST_F(KeyedFileTest, MissingFileCreateAndOpen) {
  KeyedFile f(Layout());
  EXPECT_EQ(f.Open(), kFileNotFound);
  EXPECT_EQ(f.LastStatus().text, "File Not Found");
  EXPECT_EQ(f.Create(), kNoError);
  EXPECT_TRUE(testing::ReadFile(dir.File("PROBA.TPS")).size() > 0);
  EXPECT_EQ(f.Open(), kNoError);
  EXPECT_EQ(f.Open(), kFileAlreadyOpen);
  EXPECT_TRUE(f.IsOpen());
  // A second Create leaves the existing table alone.
  ASSERT_EQ(f.Add(Rec("A")), kNoError);
  KeyedFile g(Layout());
  EXPECT_EQ(g.Create(), kNoError);
  ASSERT_EQ(g.Open(), kNoError);
  Record r;
  EXPECT_EQ(g.Get(kByName, std::string("a"), r), kNoError);
  // No journal or temporary file is left beside the table.
  f.Close();
  g.Close();
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    files.push_back(e.path().filename().string());
  EXPECT_EQ(files, std::vector<std::string>{"PROBA.TPS"});
}

TEST_F(KeyedFileTest, KeyOrderIsCaseInsensitiveByCodePage1250) {
  MakeTable({Rec("žaba", "b"), Rec("Čep", "a"), Rec("cep", "a"), Rec("Zec", "b"), Rec("ABC", "a")});
  KeyedFile f(Layout());
  ASSERT_EQ(f.Open(), kNoError);
  // Unique key: Č and č are the same letter, and so are Š and š.
  EXPECT_EQ(f.Add(Rec("čEP")), kDuplicateKey);
  EXPECT_EQ(f.LastStatus().text, "Creates Duplicate Key");
  EXPECT_EQ(f.Add(Rec("Šuma")), kNoError);
  EXPECT_EQ(f.Add(Rec("šUMA ")), kDuplicateKey);
  // Code page 1250 order of the upper case: Z < Š (0x8A) < Ž (0x8E) < Č (0xC8).
  ASSERT_EQ(f.Set(kByName), kNoError);
  EXPECT_EQ(ReadAll(f), (std::vector<std::string>{"ABC", "cep", "Zec", "Šuma", "žaba", "Čep"}));
  ASSERT_EQ(f.Set(kByName), kNoError);
  EXPECT_EQ(ReadAll(f, false),
            (std::vector<std::string>{"Čep", "žaba", "Šuma", "Zec", "cep", "ABC"}));
  // From a start value, in either direction.
  ASSERT_EQ(f.Set(kByName, std::string("d")), kNoError);
  EXPECT_EQ(ReadAll(f), (std::vector<std::string>{"Zec", "Šuma", "žaba", "Čep"}));
  ASSERT_EQ(f.Set(kByName, std::string("ZEC")), kNoError);
  EXPECT_EQ(ReadAll(f, false), (std::vector<std::string>{"Zec", "cep", "ABC"}));
  // Duplicates of a dup key come in the order they were added; direction can turn.
  ASSERT_EQ(f.Set(kByGroup, std::string("A")), kNoError);
  Record r;
  ASSERT_EQ(f.Next(r), kNoError);
  EXPECT_EQ(NameOf(r), "Čep");
  ASSERT_EQ(f.Next(r), kNoError);
  EXPECT_EQ(NameOf(r), "cep");
  ASSERT_EQ(f.Previous(r), kNoError);
  EXPECT_EQ(NameOf(r), "Čep");
  // Exact read, whatever the case and trailing blanks.
  ASSERT_EQ(f.Get(kByName, std::string("ŽABA   "), r), kNoError);
  EXPECT_EQ(NameOf(r), "žaba");
  EXPECT_EQ(f.Get(kByName, std::string("žab"), r), kRecordNotAvailable);
  EXPECT_EQ(f.LastStatus().text, "Record Not Available");
}

TEST_F(KeyedFileTest, SkipBlankKeysLeaveOutBlankAndZero) {
  MakeTable({Rec("", "x", 0), Rec("  ", "y", 5), Rec("B", "z", 0), Rec("A", "w", 3)});
  KeyedFile f(Layout());
  ASSERT_EQ(f.Open(), kNoError);
  ASSERT_EQ(f.Set(kByName), kNoError);
  EXPECT_EQ(ReadAll(f), (std::vector<std::string>{"A", "B"}));
  ASSERT_EQ(f.Set(kByNum), kNoError);
  EXPECT_EQ(ReadAll(f), (std::vector<std::string>{"A", ""}));  // 3, then 5
  // A key that keeps blanks lists every record.
  ASSERT_EQ(f.Set(kByGroup), kNoError);
  EXPECT_EQ(ReadAll(f).size(), 4u);
  Record r;
  EXPECT_EQ(f.Get(kByName, std::string(""), r), kRecordNotAvailable);
  // Text is cut to the field's length and kept without trailing blanks.
  ASSERT_EQ(f.Add(Rec("abcdefghijklmn  ", "g", 0)), kNoError);
  ASSERT_EQ(f.Get(kByName, std::string("ABCDEFGHIJ"), r), kNoError);
  EXPECT_EQ(NameOf(r), "abcdefghij");
}

TEST_F(KeyedFileTest, PositionsRegetResetPutAndDelete) {
  MakeTable({Rec("A", "g", 1), Rec("B", "g", 2), Rec("C", "g", 3)});
  KeyedFile f(Layout());
  ASSERT_EQ(f.Open(), kNoError);
  EXPECT_EQ(f.Position(), "");
  EXPECT_EQ(f.Put(Rec("X")), kRecordNotAvailable);
  EXPECT_EQ(f.Delete(), kRecordNotAvailable);
  Record r;
  ASSERT_EQ(f.Get(kByName, std::string("B"), r), kNoError);
  const std::string posB = f.Position();
  ASSERT_FALSE(posB.empty());
  EXPECT_LE(posB.size(), 512u);
  ASSERT_EQ(f.Get(kByName, std::string("A"), r), kNoError);
  ASSERT_EQ(f.Reget(posB, r), kNoError);
  EXPECT_EQ(NameOf(r), "B");
  // Rewrite the current record: its key moves.
  ASSERT_EQ(f.Put(Rec("E", "g", 2)), kNoError);
  EXPECT_EQ(f.Get(kByName, std::string("B"), r), kRecordNotAvailable);
  // Reset continues a key-order read at the record of a position.
  ASSERT_EQ(f.Reset(kByName, posB), kNoError);
  EXPECT_EQ(ReadAll(f), (std::vector<std::string>{"E"}));
  ASSERT_EQ(f.Reset(kByNum, posB), kNoError);
  EXPECT_EQ(ReadAll(f), (std::vector<std::string>{"E", "C"}));
  // A rewrite that clashes leaves the record as it was.
  ASSERT_EQ(f.Reget(posB, r), kNoError);
  EXPECT_EQ(f.Put(Rec("a", "g", 2)), kDuplicateKey);
  ASSERT_EQ(f.Reget(posB, r), kNoError);
  EXPECT_EQ(NameOf(r), "E");
  // Duplicate check of a buffer against the other records.
  EXPECT_FALSE(f.Duplicates(Rec("e")));  // the current record itself
  EXPECT_TRUE(f.Duplicates(Rec("c")));
  EXPECT_FALSE(f.Duplicates(Rec("")));  // blank names never clash
  ASSERT_EQ(f.Delete(), kNoError);
  EXPECT_EQ(f.Reget(posB, r), kRecordNotAvailable);
  EXPECT_EQ(f.Reget("junk", r), kRecordNotAvailable);
  ASSERT_EQ(f.Set(kRecordOrder), kNoError);
  EXPECT_EQ(ReadAll(f), (std::vector<std::string>{"A", "C"}));
  // A deleted record's position is never reused by a new record.
  ASSERT_EQ(f.Add(Rec("F")), kNoError);
  EXPECT_NE(f.Position(), posB);
}

#ifndef _WIN32
TEST_F(KeyedFileTest, RewriteAfterAnotherProcessChangedTheRecordGives89) {
  MakeTable({Rec("A", "old", 1)});
  KeyedFile f(Layout());
  ASSERT_EQ(f.Open(), kNoError);
  Record r;
  ASSERT_EQ(f.Get(kByName, std::string("A"), r), kNoError);
  const std::string pos = f.Position();
  int child = InChild([] {
    KeyedFile other(Layout());
    Record o;
    if (other.Open() != kNoError || other.Get(kByName, std::string("A"), o) != kNoError) return 1;
    return other.Put(Rec("A", "other", 7)) == kNoError ? 0 : 2;
  });
  ASSERT_EQ(child, 0);
  EXPECT_EQ(f.Put(Rec("A", "mine", 1)), kRecordChanged);
  EXPECT_EQ(f.LastStatus().text, "Record Changed By Another Station");
  ASSERT_EQ(f.Reget(pos, r), kNoError);
  EXPECT_EQ(std::get<std::string>(r[1]), "other");
  EXPECT_EQ(std::get<std::int64_t>(r[2]), 7);
  // After the re-read the rewrite goes through, and is watched again.
  EXPECT_EQ(f.Put(Rec("A", "mine", 1)), kNoError);
  KeyedFile g(Layout());
  ASSERT_EQ(g.Open(), kNoError);
  ASSERT_EQ(g.Get(kByName, std::string("a"), r), kNoError);
  EXPECT_EQ(std::get<std::string>(r[1]), "mine");
  ASSERT_EQ(g.Put(Rec("A", "g", 1)), kNoError);
  EXPECT_EQ(f.Put(Rec("A", "again", 1)), kRecordChanged);
}
#endif  // _WIN32

#ifndef _WIN32
TEST_F(KeyedFileTest, TransactionOfAnotherProcessIsWaitedForAtMostTheLimit) {
  MakeTable({Rec("A")});
  int toChild[2], fromChild[2];
  ASSERT_EQ(::pipe(toChild), 0);
  ASSERT_EQ(::pipe(fromChild), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    // A read end sees end-of-file when the parent stops early, so the child never hangs.
    ::close(toChild[1]);
    ::close(fromChild[0]);
    KeyedFile other(Layout());
    char c = 'x';
    if (other.Open() != kNoError || other.Begin(1) != kNoError) ::_exit(1);
    if (other.Add(Rec("FROM CHILD")) != kNoError) ::_exit(2);
    c = 'b';
    if (::write(fromChild[1], &c, 1) != 1) ::_exit(3);
    // Holds the transaction until the parent has tried (bounded by a read time-out).
    if (::read(toChild[0], &c, 1) != 1) ::_exit(4);
    ::_exit(other.Commit() == kNoError ? 0 : 5);
  }
  ::close(toChild[0]);
  ::close(fromChild[1]);
  char c = 0;
  ASSERT_EQ(::read(fromChild[0], &c, 1), 1);
  ASSERT_EQ(c, 'b');
  KeyedFile f(Layout());
  ASSERT_EQ(f.Open(), kNoError);
  EXPECT_EQ(f.Begin(1), kFileLocked);
  EXPECT_FALSE(f.InTransaction());
  EXPECT_EQ(f.LastStatus().text, "File Is Already Locked");
  // Reads still see the table as it was before the other transaction.
  Record r;
  EXPECT_EQ(f.Get(kByName, std::string("FROM CHILD"), r), kRecordNotAvailable);
  c = 'g';
  ASSERT_EQ(::write(toChild[1], &c, 1), 1);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  ASSERT_EQ(f.Begin(5), kNoError);
  EXPECT_EQ(f.Get(kByName, std::string("from child"), r), kNoError);
  ASSERT_EQ(f.Add(Rec("B")), kNoError);
  ASSERT_EQ(f.Rollback(), kNoError);
  EXPECT_EQ(f.Get(kByName, std::string("B"), r), kRecordNotAvailable);
  ASSERT_EQ(f.Begin(2), kNoError);
  EXPECT_EQ(f.Begin(2), kFileSystemError);  // no nesting
  ASSERT_EQ(f.Add(Rec("B")), kNoError);
  ASSERT_EQ(f.Commit(), kNoError);
  EXPECT_EQ(f.Get(kByName, std::string("B"), r), kNoError);
  ::close(toChild[1]);
  ::close(fromChild[0]);
}
#endif  // _WIN32

TEST_F(KeyedFileTest, FileThatIsNotATableGives47) {
  testing::WriteFile(dir.File("PROBA.TPS"), std::string(4096, 'x'));
  KeyedFile f(Layout());
  EXPECT_EQ(f.Open(), kInvalidRecordDeclaration);
  EXPECT_EQ(f.LastStatus().text, "Invalid Record Declaration");
  EXPECT_FALSE(f.IsOpen());
  EXPECT_EQ(f.Create(), kInvalidRecordDeclaration);  // never overwritten
  EXPECT_EQ(testing::ReadFile(dir.File("PROBA.TPS")), std::string(4096, 'x'));

  // A table of another layout, or with another owner password.
  KeyedFile other({"OTHER", {{"X", FieldType::kInteger, 0}}, {}});
  ASSERT_EQ(other.Create(), kNoError);
  std::error_code renamed;  // replacing, as std::rename does not on Windows
  std::filesystem::rename("OTHER.TPS", "PROBA.TPS", renamed);
  ASSERT_FALSE(renamed) << renamed.message();
  EXPECT_EQ(f.Open(), kInvalidRecordDeclaration);
  KeyedFile owned(Layout("TAJNO"), "123456");
  ASSERT_EQ(owned.Create(), kNoError);
  EXPECT_EQ(owned.Open(), kNoError);
  KeyedFile wrongOwner(Layout("TAJNO"), "654321");
  EXPECT_EQ(wrongOwner.Open(), kInvalidRecordDeclaration);
  // Any other SQLite database.
  ExecSql(dir.File("STRANA.TPS"), "CREATE TABLE t(a)");
  KeyedFile foreign(Layout("STRANA"));
  EXPECT_EQ(foreign.Open(), kInvalidRecordDeclaration);
}

TEST_F(KeyedFileTest, DamagedKeysGive46AndTheRebuildRepairsThem) {
  MakeTable({Rec("B", "g", 2), Rec("A", "g", 1), Rec("C", "h", 3)});
  // A key value that no longer matches its record.
  ExecSql(dir.File("PROBA.TPS"), "UPDATE tps_records SET k0 = X'5A' WHERE f0 = 'A'");
  KeyedFile f(Layout());
  EXPECT_EQ(f.Open(), kKeyFileMustBeRebuilt);
  EXPECT_EQ(f.LastStatus().text, "Key File Must Be Rebuilt");
  EXPECT_FALSE(f.IsOpen());
  ASSERT_EQ(f.BuildKeys(), kNoError);
  ASSERT_EQ(f.Open(), kNoError);
  ASSERT_EQ(f.Set(kByName), kNoError);
  EXPECT_EQ(ReadAll(f), (std::vector<std::string>{"A", "B", "C"}));
  f.Close();

  // A missing key.
  ExecSql(dir.File("PROBA.TPS"), "DROP INDEX tps_key0");
  EXPECT_EQ(f.Open(), kKeyFileMustBeRebuilt);
  ASSERT_EQ(f.BuildKeys(), kNoError);
  ASSERT_EQ(f.Open(), kNoError);
  Record r;
  EXPECT_EQ(f.Add(Rec("a")), kDuplicateKey);
  f.Close();

  // A rebuild that would break a unique key fails and leaves the file as it was.
  ExecSql(dir.File("PROBA.TPS"),
          "DROP INDEX tps_key0; UPDATE tps_records SET f0 = 'B' WHERE f0 = 'A'");
  EXPECT_EQ(f.Open(), kKeyFileMustBeRebuilt);
  EXPECT_EQ(f.BuildKeys(), kDuplicateKey);
  EXPECT_EQ(f.Open(), kKeyFileMustBeRebuilt);
}

TEST_F(KeyedFileTest, DamagedKeyPagesAreFoundAndRebuilt) {
  std::vector<Record> many;
  for (int i = 0; i < 300; ++i) many.push_back(Rec("N" + std::to_string(1000 + i), "g", i + 1));
  MakeTable(many);
  // Overwrite the root page of one key's b-tree with garbage; the records stay readable.
  int root = 0;
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dir.File("PROBA.TPS").c_str(), &db), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "SELECT rootpage FROM sqlite_master WHERE name = 'tps_key2'", -1, &s,
                       nullptr);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    root = sqlite3_column_int(s, 0);
    sqlite3_finalize(s);
    sqlite3_close(db);
  }
  ASSERT_GT(root, 1);
  std::string bytes = testing::ReadFile(dir.File("PROBA.TPS"));
  // The page size is the big-endian 16-bit value at offset 16 of the file header.
  const std::size_t page =
      (static_cast<unsigned char>(bytes[16]) << 8) | static_cast<unsigned char>(bytes[17]);
  ASSERT_GE(page, 512u);
  ASSERT_GE(bytes.size(), page * static_cast<std::size_t>(root));
  for (std::size_t i = 0; i < 64; ++i) bytes[page * (root - 1) + 8 + i] = static_cast<char>(0xA5);
  testing::WriteFile(dir.File("PROBA.TPS"), bytes);

  KeyedFile f(Layout());
  EXPECT_EQ(f.Open(), kKeyFileMustBeRebuilt);
  ASSERT_EQ(f.BuildKeys(), kNoError);
  ASSERT_EQ(f.Open(), kNoError);
  ASSERT_EQ(f.Set(kByNum, std::int64_t{299}), kNoError);
  EXPECT_EQ(ReadAll(f), (std::vector<std::string>{"N1298", "N1299"}));
}

#ifndef _WIN32
TEST_F(KeyedFileTest, OpenWhileAnotherProcessLocksTheFileWaitsAsRecoverSays) {
  MakeTable({Rec("A")});
  int toChild[2], fromChild[2];
  ASSERT_EQ(::pipe(toChild), 0);
  ASSERT_EQ(::pipe(fromChild), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(toChild[1]);
    ::close(fromChild[0]);
    sqlite3* db = nullptr;
    char c = 'b';
    if (sqlite3_open("PROBA.TPS", &db) != SQLITE_OK) ::_exit(1);
    if (sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK) ::_exit(2);
    if (::write(fromChild[1], &c, 1) != 1) ::_exit(3);
    if (::read(toChild[0], &c, 1) != 1) ::_exit(4);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    ::_exit(0);
  }
  ::close(toChild[0]);
  ::close(fromChild[1]);
  char c = 0;
  ASSERT_EQ(::read(fromChild[0], &c, 1), 1);
  KeyedFile f(Layout());
  ASSERT_EQ(f.SendCommand("Recover=0"), kNoError);
  EXPECT_EQ(f.Open(), kFileLocked);
  EXPECT_FALSE(f.IsOpen());
  ASSERT_EQ(f.SendCommand("RECOVER=10"), kNoError);
  // The lock is let go only once the open has found it taken and is waiting for it.
  SleepCountingVfs waits;
  std::atomic<int> opened{-1};
  std::thread opener([&] { opened = f.Open(); });
  EXPECT_TRUE(testing::WaitFor([&] { return waits.sleeps() > 0; }));
  EXPECT_EQ(opened, -1);
  c = 'g';
  EXPECT_EQ(::write(toChild[1], &c, 1), 1);
  opener.join();
  EXPECT_EQ(opened, kNoError);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ::close(toChild[1]);
  ::close(fromChild[0]);
}
#endif  // _WIN32

TEST_F(KeyedFileTest, WindowThreadsShareOneObjectAndOtherConnections) {
  MakeTable({});
  KeyedFile shared(Layout());
  ASSERT_EQ(shared.Open(), kNoError);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      KeyedFile own(Layout());
      if (own.Open() != kNoError) ++failures;
      for (int i = 0; i < 20; ++i) {
        const std::string name = "T" + std::to_string(t) + "-" + std::to_string(i);
        KeyedFile& f = i % 2 ? own : shared;
        int code = f.Add(Rec(name, "g", i + 1));
        for (int retry = 0; code == kFileLocked && retry < 20; ++retry)
          code = f.Add(Rec(name, "g", i + 1));
        if (code != kNoError) ++failures;
        Record r;
        if (own.Get(kByName, name, r) != kNoError) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  ASSERT_EQ(shared.Set(kByName), kNoError);
  EXPECT_EQ(ReadAll(shared).size(), 60u);
}

TEST_F(KeyedFileTest, RecoverCommandAndErrorsOfAClosedFile) {
  KeyedFile f(Layout());
  Record r;
  EXPECT_EQ(f.Next(r), kFileNotOpen);
  EXPECT_EQ(LastKeyedFileStatus().code, kFileNotOpen);
  EXPECT_EQ(f.Add(Rec("A")), kFileNotOpen);
  EXPECT_EQ(f.SendCommand("Recover=10"), kNoError);
  EXPECT_EQ(f.SendCommand("Bogus"), kFileSystemError);
  EXPECT_FALSE(f.LastStatus().driverText.empty());
  EXPECT_EQ(f.LastStatus().text, "File System Error");
}

}  // namespace
}  // namespace verdan::platform
