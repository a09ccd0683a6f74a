// The chunked archive writer on its own: what it writes does not depend on how many threads
// wrote it, the ZIP64 layout reads back in zip tools, an archive written under a password
// opens in other tools with that password only, only data that does not shrink is stored, a file
// that changes while it is read is read again (and one that keeps changing fails the write), and a
// file that cannot be opened as a regular file fails it without hanging the threads.
#include "zip/zip_writer.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif
#include <zip.h>

#include <cerrno>
#include <random>
#include <string>

#include "platform/files.h"
#include "support/temp_dir.h"

namespace verdan::archive {
namespace {

using testing::ReadFile;
using testing::RunProcess;
using testing::TempDir;
using testing::WriteFile;
using testing::ZipEntryBytes;
using testing::ZipEntryNames;

constexpr std::size_t kChunk = 64 << 10;

std::string Records(std::size_t bytes, unsigned seed) {
  std::string s;
  std::mt19937 rng(seed);
  while (s.size() < bytes)
    s += "RACUN" + std::to_string(rng() % 9000) + ";Split;Vukovarska " +
         std::to_string(rng() % 80) + ";" + std::to_string(rng() % 100000) + "\n";
  s.resize(bytes);
  return s;
}

std::string Noise(std::size_t bytes, unsigned seed) {
  std::string s(bytes, '\0');
  std::mt19937 rng(seed);
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

class ZipWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Add("VELIKA.TPS", Records(7 * kChunk + 999, 1));
    Add("SUM.TPS", Noise(3 * kChunk + 5, 2));
    Add("mala.tps", Records(4000, 3));
    Add("prazna.tps", "");
  }
  void Add(const std::string& name, const std::string& bytes) {
    WriteFile(dir.File(name), bytes);
    const platform::FileTime time{1262304000, 0};  // 1 Jan 2010
    platform::SetTimesAt(dir.File(name), time, time, platform::Links::kFollow);
    files.push_back(PackFile{dir.File(name), name, bytes.size(), 0});
  }
  PackResult Write(const std::string& archive, PackOptions options,
                   std::vector<PackedEntry>* entries = nullptr) {
    platform::FileHandle fd = Create(archive);
    PackResult r = WriteArchive(fd, dir.File(archive), files, options, nullptr, entries, &why);
    platform::CloseFile(fd);
    return r;
  }
  platform::FileHandle Create(const std::string& archive) {
    platform::FileHandle fd =
        platform::CreateFile(dir.File(archive), platform::Creation::kTruncate, 0644);
    EXPECT_NE(fd, platform::kNoFile);
    return fd;
  }

  TempDir dir;
  std::vector<PackFile> files;
  PackFailure why;
};

TEST_F(ZipWriterTest, TheArchiveIsTheSameWhateverTheNumberOfThreads) {
  PackOptions options;
  options.chunkSize = kChunk;
  options.threads = 1;
  std::vector<PackedEntry> entries;
  ASSERT_EQ(Write("1.zip", options, &entries), PackResult::kOk);
  for (unsigned threads : {2u, 3u, 8u}) {
    options.threads = threads;
    ASSERT_EQ(Write("n.zip", options), PackResult::kOk);
    EXPECT_EQ(ReadFile(dir.File("n.zip")), ReadFile(dir.File("1.zip"))) << threads << " threads";
  }
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].name, "VELIKA.TPS");
  EXPECT_FALSE(entries[0].stored);
  EXPECT_LT(entries[0].compressedSize, entries[0].size / 2);
  EXPECT_TRUE(entries[1].stored);
  EXPECT_EQ(entries[1].compressedSize, entries[1].size);
  EXPECT_FALSE(entries[2].stored);
  EXPECT_TRUE(entries[3].stored);
}

#ifndef _WIN32  // unzip and Python read the archive as child processes
TEST_F(ZipWriterTest, Zip64FieldsReadBackInZipTools) {
  PackOptions options;
  options.chunkSize = kChunk;
  options.forceZip64 = true;
  std::vector<PackedEntry> entries;
  ASSERT_EQ(Write("z64.zip", options, &entries), PackResult::kOk);
  auto t = RunProcess({"/usr/bin/unzip", "-t", "z64.zip"}, dir.path());
  EXPECT_EQ(t.status, 0) << t.out << t.err;
  auto py = RunProcess(
      {"/usr/bin/python3", "-c",
       "import zipfile,zlib,struct\n"
       "z=zipfile.ZipFile('z64.zip')\n"
       "for i in z.infolist():\n"
       "  d=z.read(i)\n"
       "  assert d==open(i.filename,'rb').read(), i.filename\n"
       "  tag,size=struct.unpack('<HH',i.extra[:4])\n"
       "  print(i.filename,i.compress_type,tag,size,'%08x'%zlib.crc32(d),i.date_time[0])\n"},
      dir.path());
  ASSERT_EQ(py.status, 0) << py.err;
  char crcs[4][9];
  for (int i = 0; i < 4; ++i) std::snprintf(crcs[i], sizeof crcs[i], "%08x", entries[i].crc);
  EXPECT_EQ(py.out, std::string("VELIKA.TPS 8 1 16 ") + crcs[0] + " 2010\nSUM.TPS 0 1 16 " +
                        crcs[1] + " 2010\nmala.tps 8 1 16 " + crcs[2] +
                        " 2010\nprazna.tps 0 1 16 " + crcs[3] + " 2010\n");
}
#endif

#ifndef _WIN32  // 7-Zip tests the archive as a child process
// Every entry of an archive written under a password is encrypted (AES-256): other tools open
// it with that password and refuse any other, whatever the threads, chunks and ZIP64 fields
// it was written with; the password itself is nowhere in the file.
TEST_F(ZipWriterTest, AnArchiveWithAPasswordOpensInOtherToolsWithThatPasswordOnly) {
  const std::string password = "Tajna-381";
  PackOptions options;
  options.chunkSize = kChunk;
  options.password = password;
  int n = 0;
  for (unsigned threads : {1u, 4u}) {
    for (bool zip64 : {false, true}) {
      options.threads = threads;
      options.forceZip64 = zip64;
      const std::string name = "tajno" + std::to_string(n++) + ".zip";
      std::vector<PackedEntry> entries;
      ASSERT_EQ(Write(name, options, &entries), PackResult::kOk) << name;
      ASSERT_EQ(entries.size(), 4u);
      EXPECT_FALSE(entries[0].stored);
      EXPECT_TRUE(entries[1].stored);
      EXPECT_EQ(entries[1].compressedSize, entries[1].size + 28);  // salt, verifier, code

      auto t = RunProcess({"/usr/bin/7z", "t", "-p" + password, name}, dir.path());
      EXPECT_EQ(t.status, 0) << name << t.out << t.err;
      EXPECT_NE(t.out.find("Everything is Ok"), std::string::npos) << t.out;
      EXPECT_NE(RunProcess({"/usr/bin/7z", "t", "-pTajna-382", name}, dir.path()).status, 0);
      EXPECT_EQ(ReadFile(dir.File(name)).find(password), std::string::npos);

      int err = 0;
      zip_t* za = zip_open(dir.File(name).c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &err);
      ASSERT_NE(za, nullptr);
      for (zip_uint64_t i = 0; i < 4; ++i) {
        zip_stat_t st;
        ASSERT_EQ(zip_stat_index(za, i, 0, &st), 0);
        EXPECT_EQ(st.encryption_method, ZIP_EM_AES_256) << st.name;
        EXPECT_EQ(zip_fopen_index(za, i, 0), nullptr) << "opened without the password";
        zip_error_clear(za);
        zip_file_t* zf = zip_fopen_index_encrypted(za, i, 0, password.c_str());
        ASSERT_NE(zf, nullptr) << st.name << " " << zip_strerror(za);
        // Read to the entry's size and no further: this library checks the CRC field at the
        // end even where the format leaves it 0 for the authentication code to stand for.
        std::string data(st.size, '\0');
        zip_uint64_t got = 0;
        zip_int64_t r = 1;
        while (got < st.size && (r = zip_fread(zf, data.data() + got, st.size - got)) > 0) got += r;
        EXPECT_EQ(got, st.size) << st.name << " " << zip_file_strerror(zf);
        EXPECT_EQ(data, ReadFile(files[i].path)) << st.name;
        zip_fclose(zf);
      }
      zip_discard(za);
    }
  }
}
#endif

TEST_F(ZipWriterTest, AFileIsStoredOnlyWhenItsFirstChunkDoesNotShrink) {
  files.clear();
  Add("ZAGLAVLJE.TPS", Noise(80 << 10, 4) + Records(1 << 20, 5));  // a header of another kind
  Add("SLIKA.TPS", Noise(1 << 20, 6));
  std::vector<PackedEntry> entries;
  ASSERT_EQ(Write("p.zip", PackOptions{}, &entries), PackResult::kOk);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_FALSE(entries[0].stored);
  EXPECT_LT(entries[0].compressedSize, entries[0].size / 2);
  EXPECT_TRUE(entries[1].stored);
  EXPECT_EQ(entries[1].compressedSize, entries[1].size);
  EXPECT_EQ(ZipEntryNames(dir.File("p.zip")), "SLIKA.TPS ZAGLAVLJE.TPS\n");
}

// Changes the file of the entry being packed when the writer has taken a given piece of it:
// in place with other bytes of the same size, or by a new file renamed over it.
class Changer final : public PackProgress {
 public:
  enum class How { kInPlace, kRename };
  Changer(std::string path, std::string entry, How how, int times)
      : path_(std::move(path)), entry_(std::move(entry)), how_(how), times_(times) {}
  void FileStarted(const std::string& entryName) override {
    current_ = entryName;
    pieces_ = 0;
    if (current_ == entry_) ++starts;
  }
  void BytesPacked(std::uint64_t n) override {
    told_ += n;
    if (current_ != entry_ || ++pieces_ != 2 || changes >= times_) return;
    const std::string bytes(ReadFile(path_).size(), changes % 2 == 0 ? 'B' : 'A');
    ++changes;
    if (how_ == How::kInPlace) {
      platform::FileHandle fd = platform::OpenFile(path_, platform::Access::kWrite);
      ASSERT_TRUE(platform::WriteAllAt(fd, bytes.data(), bytes.size(), 0));
      platform::CloseFile(fd);
    } else {
      WriteFile(path_ + ".novo", bytes);
      ASSERT_TRUE(platform::RenameName(path_ + ".novo", path_));
    }
  }
  void FileFinished() override {}
  void FileAgain(std::uint64_t n) override { told_ -= n; }

  int starts = 0, changes = 0;
  std::uint64_t told() const { return told_; }

 private:
  std::string path_, entry_, current_;
  How how_;
  int times_;
  int pieces_ = 0;
  std::uint64_t told_ = 0;
};

// A file written while it is packed (in place, as a program keeps its tables, or replaced
// under its name, as programs save) is read again: its entry holds one state of it, never
// the head of one and the tail of another. One that changes at every reading fails the
// write, naming it.
TEST_F(ZipWriterTest, AFileChangedWhileItIsReadIsReadAgainAndOneThatKeepsChangingFails) {
  files.clear();
  Add("RACUNI.TPS", std::string(24 * kChunk, 'A'));
  Add("mala.tps", Records(4000, 3));
  PackOptions options;
  options.chunkSize = kChunk;
  options.pause = std::chrono::milliseconds(1);
#ifdef _WIN32
  // Under the emulator a file held open cannot be renamed over (no POSIX-semantics rename).
  for (Changer::How how : {Changer::How::kInPlace}) {
#else
  for (Changer::How how : {Changer::How::kInPlace, Changer::How::kRename}) {
#endif
    for (unsigned threads : {1u, 4u}) {
      options.threads = threads;
      WriteFile(dir.File("RACUNI.TPS"), std::string(24 * kChunk, 'A'));
      Changer once(dir.File("RACUNI.TPS"), "RACUNI.TPS", how, 1);
      std::vector<PackedEntry> entries;
      platform::FileHandle fd = Create("a.zip");
      ASSERT_EQ(WriteArchive(fd, dir.File("a.zip"), files, options, &once, &entries, &why),
                PackResult::kOk);
      platform::CloseFile(fd);
      EXPECT_EQ(once.changes, 1);
      EXPECT_EQ(once.starts, 2);
      EXPECT_EQ(once.told(), 24 * kChunk + 4000);  // the first reading's bytes taken back
      EXPECT_EQ(ZipEntryNames(dir.File("a.zip")), "RACUNI.TPS mala.tps\n") << threads;
      EXPECT_TRUE(ZipEntryBytes(dir.File("a.zip"), "RACUNI.TPS") == std::string(24 * kChunk, 'B'))
          << threads << " threads";
    }
  }

  // Changed at every reading: three readings, then the write fails naming the file.
  options.threads = 4;
  Changer always(dir.File("RACUNI.TPS"), "RACUNI.TPS", Changer::How::kInPlace, 100);
  platform::FileHandle fd = Create("b.zip");
  EXPECT_EQ(WriteArchive(fd, dir.File("b.zip"), files, options, &always, nullptr, &why),
            PackResult::kChanged);
  platform::CloseFile(fd);
  EXPECT_EQ(why.path, dir.File("RACUNI.TPS"));
  EXPECT_EQ(always.changes, 3);
}

// A file that cannot be opened fails the write without hanging the threads: one that is gone;
// and a name the format cannot hold. The size found before packing does not decide what is
// read: the file as it is when opened does.
TEST_F(ZipWriterTest, AFileThatIsGoneOrANameTooLongFailsTheWriteWithoutHanging) {
  PackOptions options;
  options.chunkSize = kChunk;
  files[0].size += 20 * kChunk;
  ASSERT_EQ(Write("a.zip", options), PackResult::kOk);
  EXPECT_EQ(why.path, "");

  files.push_back(PackFile{dir.File("nema.tps"), "nema.tps", 10, 0});
  EXPECT_EQ(Write("b.zip", options), PackResult::kCannotRead);
  EXPECT_EQ(why.path, dir.File("nema.tps"));
  EXPECT_EQ(why.systemError, ENOENT);
  files.back() = PackFile{dir.File("mala.tps"), std::string(70000, 'x'), 4000, 0};
  EXPECT_EQ(Write("b.zip", options), PackResult::kCannotWrite);
}

#ifndef _WIN32  // symbolic links and FIFOs are made with POSIX calls
// Nor does a file that cannot be opened as a regular file: a symbolic link (never followed),
// a pipe (never waited for).
TEST_F(ZipWriterTest, ALinkOrAPipeFailsTheWriteWithoutHanging) {
  PackOptions options;
  options.chunkSize = kChunk;
  files.push_back(PackFile{});
  ASSERT_EQ(::symlink(dir.File("mala.tps").c_str(), dir.File("veza.tps").c_str()), 0);
  files.back() = PackFile{dir.File("veza.tps"), "veza.tps", 4000, 0};
  EXPECT_EQ(Write("b.zip", options), PackResult::kCannotRead);
  EXPECT_EQ(why.systemError, ELOOP);
  ASSERT_EQ(::mkfifo(dir.File("cijev.tps").c_str(), 0600), 0);
  files.back() = PackFile{dir.File("cijev.tps"), "cijev.tps", 0, 0};
  EXPECT_EQ(Write("b.zip", options), PackResult::kCannotRead);
  EXPECT_EQ(why.path, dir.File("cijev.tps"));
}
#endif

}  // namespace
}  // namespace verdan::archive
