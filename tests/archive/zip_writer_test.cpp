// The chunked archive writer on its own: what it writes does not depend on how many threads
// wrote it, the ZIP64 layout reads back in zip tools, only data that does not shrink is
// stored, and a file that cannot be read in full fails the write without hanging the threads.
#include "archive/zip_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <string>

#include "support/temp_dir.h"

namespace verdan::archive {
namespace {

using testing::ReadFile;
using testing::RunProcess;
using testing::TempDir;
using testing::WriteFile;

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
    files.push_back(PackFile{dir.File(name), name, bytes.size(), 1262304000});  // 1 Jan 2010
  }
  PackResult Write(const std::string& archive, PackOptions options,
                   std::vector<PackedEntry>* entries = nullptr) {
    int fd = ::open(dir.File(archive).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    EXPECT_GE(fd, 0);
    PackResult r = WriteArchive(fd, dir.File(archive), files, options, nullptr, entries, &why);
    ::close(fd);
    return r;
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
  EXPECT_EQ(RunProcess({"/usr/bin/unzip", "-tq", "p.zip"}, dir.path()).status, 0);
}

TEST_F(ZipWriterTest, AFileShorterThanItsSizeFailsTheWriteWithoutHanging) {
  PackOptions options;
  options.chunkSize = kChunk;
  // A file that shrank after it was sized: the failure comes in a later chunk while the
  // chunks after it wait for their turn.
  files[0].size += 20 * kChunk;
  EXPECT_EQ(Write("a.zip", options), PackResult::kCannotRead);
  EXPECT_EQ(why.path, dir.File("VELIKA.TPS"));
  EXPECT_EQ(why.systemError, 0);
  files[0].size -= 20 * kChunk;
  ASSERT_EQ(Write("a.zip", options), PackResult::kOk);
  EXPECT_EQ(why.path, "");

  // One that is gone; and a name the format cannot hold.
  files.push_back(PackFile{dir.File("nema.tps"), "nema.tps", 10, 0});
  EXPECT_EQ(Write("b.zip", options), PackResult::kCannotRead);
  EXPECT_EQ(why.path, dir.File("nema.tps"));
  EXPECT_EQ(why.systemError, ENOENT);
  files.back() = PackFile{dir.File("mala.tps"), std::string(70000, 'x'), 4000, 0};
  EXPECT_EQ(Write("b.zip", options), PackResult::kCannotWrite);
}

}  // namespace
}  // namespace verdan::archive
