// Usage: encryption_bench [MEGABYTES [ROUNDS [FILES]]] (160 MB, 3 rounds, 16 files).
//
// What a password costs a backup: the archive writer (compression, encryption, the read-back
// check) on the same record-like data with and without a password, and the restore of each
// archive. Prints the median times of the rounds, their ratios and the load average (the
// machine may be shared).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "zip/zip_component.h"
#include "zip/zip_writer.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// Fixed-length customer records, as the data files hold.
std::string Records(std::size_t bytes, unsigned seed) {
  std::mt19937 rng(seed);
  static const char* towns[] = {"Zagreb", "Split", "Rijeka", "Osijek", "Zadar", "Pula"};
  std::vector<std::string> pool;
  for (int i = 0; i < 20000; ++i) {
    char rec[160];
    std::snprintf(rec, sizeof rec, "%08d|KUPAC d.o.o. %-17u|%-12s|Ilica %3u|%10.2f|%08u|HR|", i,
                  static_cast<unsigned>(rng() % 3000), towns[rng() % 6],
                  static_cast<unsigned>(rng() % 200), (rng() % 10000000) / 100.0,
                  static_cast<unsigned>(20060101 + rng() % 1200));
    std::string r(rec);
    r.resize(127, ' ');
    pool.push_back(r + "\n");
  }
  std::string s;
  s.reserve(bytes + 128);
  while (s.size() < bytes) s += pool[rng() % pool.size()];
  s.resize(bytes);
  return s;
}

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// Processor seconds used by every thread of the process so far: steadier than the wall clock
// on a shared machine.
double CpuSeconds() {
  struct rusage u {};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::vector<double> gCpu[2];  // backup processor seconds without and with a password

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double Backup(const std::vector<verdan::archive::PackFile>& files, const std::string& archive,
              const std::string& password) {
  verdan::archive::PackOptions options;
  options.password = password;
  int fd = ::open(archive.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const double cpu = CpuSeconds();
  auto start = Clock::now();
  auto r = verdan::archive::WriteArchive(fd, archive, files, options, nullptr, nullptr);
  ::fsync(fd);
  auto end = Clock::now();
  gCpu[password.empty() ? 0 : 1].push_back(CpuSeconds() - cpu);
  ::close(fd);
  if (r != verdan::archive::PackResult::kOk) {
    std::fprintf(stderr, "write failed (%d)\n", static_cast<int>(r));
    std::exit(1);
  }
  return Seconds(start, end);
}

// Restores into an empty directory, so that every file is written.
double Restore(const std::string& archive, const std::string& target, const std::string& password) {
  fs::remove_all(target);
  fs::create_directory(target);
  verdan::archive::ZipComponent zip;
  zip.LSUZ_ZIPNAME(archive);
  zip.LSUZ_INCLUDE("*.tps");
  zip.LSUZ_EXTRACTTO(target);
  zip.LSUZ_PASSWORD(password);
  auto start = Clock::now();
  std::int32_t n = zip.LSUZ_EXECUTE(3, 2);
  auto end = Clock::now();
  zip.LSUZ_RESET();
  if (n <= 0) {
    std::fprintf(stderr, "restore failed (%d)\n", n);
    std::exit(1);
  }
  return Seconds(start, end);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 160;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const int kFiles = argc > 3 ? std::atoi(argv[3]) : 16;
  const std::string password = "Zaporka-381";
  char pattern[] = "/tmp/verdan-encryption-XXXXXX";
  const std::string dir = ::mkdtemp(pattern);
  fs::create_directory(dir + "/data");
  std::vector<verdan::archive::PackFile> files;
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = "DATOTEKA" + std::to_string(i) + ".TPS";
    const std::string path = dir + "/data/" + name;
    const std::string bytes = Records((megabytes << 20) / kFiles, static_cast<unsigned>(i + 1));
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    files.push_back({path, name, bytes.size(), 0});
  }
  std::vector<double> plain, locked, plainRestore, lockedRestore;
  for (int r = 0; r < rounds; ++r) {
    // Alternating, so that neither always finds the files cached first.
    if (r % 2 == 0) {
      plain.push_back(Backup(files, dir + "/plain.zip", ""));
      locked.push_back(Backup(files, dir + "/locked.zip", password));
    } else {
      locked.push_back(Backup(files, dir + "/locked.zip", password));
      plain.push_back(Backup(files, dir + "/plain.zip", ""));
    }
    plainRestore.push_back(Restore(dir + "/plain.zip", dir + "/work", ""));
    lockedRestore.push_back(Restore(dir + "/locked.zip", dir + "/work", password));
  }
  double load[3] = {0, 0, 0};
  std::ifstream("/proc/loadavg") >> load[0] >> load[1] >> load[2];
  std::printf("data: %zu MB of records in %d files, %d rounds, load average %.2f\n", megabytes,
              kFiles, rounds, load[0]);
  std::printf("backup:  without password %.3f s, with password %.3f s, ratio %.3f\n", Median(plain),
              Median(locked), Median(locked) / Median(plain));
  std::printf("backup processor time: without %.3f s, with %.3f s, ratio %.3f\n", Median(gCpu[0]),
              Median(gCpu[1]), Median(gCpu[1]) / Median(gCpu[0]));
  std::printf("restore: without password %.3f s, with password %.3f s, ratio %.3f\n",
              Median(plainRestore), Median(lockedRestore),
              Median(lockedRestore) / Median(plainRestore));
  std::printf("archive: %llu bytes without, %llu bytes with password\n",
              static_cast<unsigned long long>(fs::file_size(dir + "/plain.zip")),
              static_cast<unsigned long long>(fs::file_size(dir + "/locked.zip")));
  // Kept for a look at the archives (or a restore through the program) when asked.
  if (std::getenv("ENCRYPTION_BENCH_KEEP") != nullptr)
    std::printf("kept: %s\n", dir.c_str());
  else
    fs::remove_all(dir);
  return 0;
}
