// The file port through its own calls, on every system the program is built for: what the
// archive and restore code relies on (exclusive creation, positioned and sequential reads and
// writes, replacing a file another handle holds open, links, listings, advisory locks, the
// user's own private files) behaves the same on each.
#include "platform/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace verdan::platform {
namespace {

using verdan::testing::ReadFile;
using verdan::testing::TempDir;
using verdan::testing::WriteFile;

std::string ReadAll(FileHandle file) {
  std::string out;
  char buf[7];  // small, so that the reads go on from where they stopped
  for (std::int64_t n; (n = ReadNext(file, buf, sizeof buf)) > 0;)
    out.append(buf, static_cast<std::size_t>(n));
  return out;
}

TEST(Files, WrittenBytesReadBackAndAFileIsReplacedWhileAnotherHandleHoldsIt) {
  TempDir dir;
  const std::string name = dir.File("ARHIVA.zip");
  const std::string temp = dir.File("ARHIVA.zip.tmp");
  WriteFile(name, "old contents");

  FileHandle held = OpenFile(name, Access::kRead);
  ASSERT_NE(held, kNoFile);
  FileHandle out = CreateFile(temp, Creation::kExclusive, 0644);
  ASSERT_NE(out, kNoFile) << errno;
  EXPECT_EQ(CreateFile(temp, Creation::kExclusive, 0644), kNoFile);
  EXPECT_EQ(errno, EEXIST);
  ASSERT_TRUE(WriteAll(out, "hello, ", 7));
  ASSERT_TRUE(WriteAll(out, "world", 5));
  ASSERT_TRUE(WriteAllAt(out, "H", 1, 0));
  ASSERT_TRUE(SyncFile(out, temp));
  FileInfo info;
  ASSERT_TRUE(InfoOf(out, info));
  EXPECT_EQ(info.kind, FileKind::kRegular);
  EXPECT_EQ(info.size, 12u);
  EXPECT_TRUE(info.ours);
  ASSERT_TRUE(CloseFile(out));

  // The new file takes the name while the old one is open, and the open handle still reads
  // the old contents. Windows before 10 (and Wine) cannot replace a file another handle holds:
  // there the rename is refused and both files stay as they were, until the holder lets go.
  if (RenameFile(temp, name)) {
    EXPECT_FALSE(Exists(temp));
  } else {
#ifndef _WIN32
    FAIL() << "a file held open could not be replaced: " << errno;
#endif
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(ReadFile(temp), "Hello, world");
    EXPECT_EQ(ReadFile(name), "old contents");
  }
  EXPECT_EQ(ReadAll(held), "old contents");
  char c = 0;
  EXPECT_EQ(ReadAt(held, &c, 1, 100), 0);
  CloseQuietly(held);
  if (Exists(temp)) {
    ASSERT_TRUE(RenameFile(temp, name)) << errno;
  }
  EXPECT_FALSE(Exists(temp));
  EXPECT_EQ(ReadFile(name), "Hello, world");
  // The directory that holds it syncs both open (as a restore syncs the folders it wrote in)
  // and by name.
  FileHandle folder = OpenDirectory(dir.path());
  ASSERT_NE(folder, kNoFile);
  EXPECT_TRUE(SyncFile(folder, dir.path())) << errno;
  CloseQuietly(folder);
  EXPECT_TRUE(SyncDirectory(dir.path())) << errno;

  FileHandle in = OpenFile(name, Access::kRead);
  ASSERT_NE(in, kNoFile);
  char buf[5] = {};
  EXPECT_EQ(ReadAt(in, buf, 5, 7), 5);
  EXPECT_EQ(std::string(buf, 5), "world");
  ASSERT_TRUE(SetPosition(in, 7));
  EXPECT_EQ(ReadAll(in), "world");
  CloseQuietly(in);

  // Written over in place and cut, with the time given.
  FileHandle over = OpenFile(name, Access::kReadWrite);
  ASSERT_NE(over, kNoFile);
  const FileTime when{1700000000, 0};
  ASSERT_TRUE(OverwriteOpenFile(over, name, "short", 5, &when));
  ASSERT_TRUE(InfoOf(over, info));
  EXPECT_EQ(info.size, 5u);
  EXPECT_EQ(info.modified, when);
  CloseQuietly(over);
  EXPECT_EQ(ReadFile(name), "short");
}

TEST(Files, NamesLinksListingsAndDirectories) {
  TempDir dir;
  ASSERT_TRUE(MakeDirectory(dir.File("Podaci")));
  EXPECT_FALSE(MakeDirectory(dir.File("Podaci")));
  EXPECT_EQ(errno, EEXIST);
  const std::string data = dir.File("Podaci") + "/KUPCI.TPS";
  WriteFile(data, "0123456789");
  FileHandle sub = OpenDirectory(dir.File("Podaci"));
  ASSERT_NE(sub, kNoFile);
  EXPECT_EQ(OpenFile(dir.File("Podaci"), Access::kWrite), kNoFile);  // a directory is no file
  EXPECT_EQ(errno, EISDIR);

  FileInfo info;
  ASSERT_TRUE(InfoBeneath(sub, "KUPCI.TPS", info));
  EXPECT_EQ(info.kind, FileKind::kRegular);
  EXPECT_EQ(info.size, 10u);
  ASSERT_TRUE(LinkFile(data, dir.File("Podaci") + "/KUPCI.lnk")) << errno;
  FileInfo linked;
  ASSERT_TRUE(InfoAt(dir.File("Podaci") + "/KUPCI.lnk", linked));
  EXPECT_TRUE(linked.SameFile(info));
  EXPECT_EQ(linked.links, 2u);

  FileHandle made = CreateFileBeneath(sub, "čćžšđ.TPS", Creation::kTruncate, 0644);
  ASSERT_NE(made, kNoFile) << errno;
  ASSERT_TRUE(WriteAll(made, "x", 1));
  CloseQuietly(made);
  ASSERT_TRUE(RenameBeneath(sub, "čćžšđ.TPS", sub, "ŽUTA.TPS"));
  std::vector<std::string> names;
  ASSERT_TRUE(ListOpenDirectory(sub, names));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"KUPCI.TPS", "KUPCI.lnk", "ŽUTA.TPS"}));
  EXPECT_FALSE(RemoveDirectory(dir.File("Podaci")));  // not empty
  ASSERT_TRUE(RemoveBeneath(sub, "ŽUTA.TPS"));
  ASSERT_TRUE(RemoveFile(dir.File("Podaci") + "/KUPCI.lnk"));
  ASSERT_TRUE(RemoveFile(dir.File("Podaci") + "/KUPCI.lnk"));  // gone already counts as done
  ASSERT_TRUE(RemoveFile(data));
  CloseQuietly(sub);
  EXPECT_TRUE(RemoveDirectory(dir.File("Podaci")));
  EXPECT_FALSE(InfoAt(dir.File("Podaci"), info));
  EXPECT_EQ(errno, ENOENT);

  std::string pattern = dir.File("tmpXXXXXX");
  FileHandle unique = CreateUniqueFile(pattern);
  ASSERT_NE(unique, kNoFile);
  EXPECT_EQ(pattern.find("XXXXXX"), std::string::npos);
  EXPECT_TRUE(Exists(pattern));
  CloseQuietly(unique);

  std::uint64_t bytes = 0, block = 0;
  ASSERT_TRUE(FreeSpace(dir.path(), bytes, block));
  EXPECT_GT(bytes, 0u);
  EXPECT_GT(block, 0u);
  EXPECT_TRUE(MayWriteIn(dir.path()));
}

// A lock stops a second locker, never a reader; appends from two handles both land.
TEST(Files, LocksStopOtherLockersOnlyAndAppendsLandAtTheEnd) {
  TempDir dir;
  const std::string log = dir.File("verdan.log");
  FileHandle a = OpenForAppending(log, 0644);
  FileHandle b = OpenForAppending(log, 0644);
  ASSERT_NE(a, kNoFile);
  ASSERT_NE(b, kNoFile);
  ASSERT_TRUE(LockFile(a, LockWait::kTry));
  EXPECT_FALSE(LockFile(b, LockWait::kTry));
  EXPECT_EQ(errno, EWOULDBLOCK);
  ASSERT_TRUE(WriteAll(a, "first\n", 6));
  ASSERT_TRUE(WriteAll(b, "second\n", 7));
  ASSERT_TRUE(WriteAll(a, "third\n", 6));
  EXPECT_EQ(ReadFile(log), "first\nsecond\nthird\n");
  ASSERT_TRUE(UnlockFile(a));
  EXPECT_TRUE(LockFile(b, LockWait::kTry));
  CloseQuietly(a);
  CloseQuietly(b);
}

// A file made for the user alone is the user's and no one else may change it.
TEST(Files, APrivateFileIsOursAndOthersMayNotWriteIt) {
  TempDir dir;
  FileHandle file = CreateFile(dir.File("journal"), Creation::kExclusive, 0600);
  ASSERT_NE(file, kNoFile);
  FileInfo info;
  ASSERT_TRUE(InfoOf(file, info));
  EXPECT_TRUE(info.ours);
  EXPECT_FALSE(info.othersMayWrite);
  CloseQuietly(file);
}

// A failure injected through the double fails the step with its number and does nothing.
TEST(Files, AnInjectedFailureFailsTheStepAndLeavesTheFiles) {
  TempDir dir;
  WriteFile(dir.File("a"), "A");
  WriteFile(dir.File("b"), "B");
  FaultyFileSteps faulty(
      [](FileStep step, const std::string&) { return step == FileStep::kRename ? ENOSPC : 0; });
  ScopedFileSteps scoped(faulty);
  EXPECT_FALSE(RenameFile(dir.File("a"), dir.File("b")));
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(ReadFile(dir.File("b")), "B");
  EXPECT_TRUE(RemoveFile(dir.File("a")));
}

// One sync of a file system stands for the syncs of its files only where that is known to
// hold: never for a file system that is not on a disk, nor for a path that is not there.
TEST(Files, AFileSystemSyncStandsForFileSyncsOnlyOnLocalDisks) {
  TempDir dir;
  EXPECT_FALSE(SyncFileSystemCoversFiles(dir.File("missing/dir")));
  EXPECT_FALSE(SyncFileSystemCoversFiles("/proc/self"));
  FileHandle handle = OpenDirectory(dir.path());
  ASSERT_NE(handle, kNoFile);
  EXPECT_TRUE(SyncFileSystem(handle, dir.path()));
  CloseFile(handle);
}

}  // namespace
}  // namespace verdan::platform
