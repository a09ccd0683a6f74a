// The log of runs: line format, rotation at the size limit, the last lines across the
// rotated file, and appends from several processes at once.
#include "app/run_log.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/clock.h"
#include "support/temp_dir.h"

namespace verdan::app {
namespace {

TEST(RunLog, LinesAreStampedRotatedAndReadBackInOrder) {
  verdan::testing::TempDir dir;
  platform::SettableClock clock(platform::DayCountFromDate({2026, 12, 8}),
                                (23 * 3600 + 50 * 60 + 12) * 100);
  platform::ScopedClock use(clock);
  const std::string file = dir.File("verdan.log");
  RunLogEntry ok{"backup", "/backup/UTORAK.zip", 5, 1234567, 3.256, true, "", ""};
  EXPECT_EQ(FormatRunLogLine(ok),
            "2026-12-08 23:50:12\tbackup\t/backup/UTORAK.zip\t5\t1234567\t3.26\tOK");
  RunLogEntry skipped{"backup", "/backup/UTORAK.zip",  5, 1234567, 3.256, true,
                      "",       "preskočeno: /p/a.tps"};
  EXPECT_EQ(FormatRunLogLine(skipped),
            "2026-12-08 23:50:12\tbackup\t/backup/UTORAK.zip\t5\t1234567\t3.26\tOK: preskočeno: "
            "/p/a.tps");
  RunLogEntry failed{"send", "", 0, 0, 0.5, false, "Could not connect\tto\nserver", ""};
  EXPECT_EQ(FormatRunLogLine(failed),
            "2026-12-08 23:50:12\tsend\t-\t0\t0\t0.50\tGREŠKA: Could not connect to server");

  // A limit of three lines' worth: the fourth append moves the first three aside.
  const std::uint64_t limit = 3 * (FormatRunLogLine(ok).size() + 1);
  for (int i = 0; i < 5; ++i) {
    ok.files = i;
    ASSERT_TRUE(AppendRunLog(ok, file, limit));
  }
  std::vector<std::string> last = LastRunLogLines(4, file);
  ASSERT_EQ(last.size(), 4u);
  for (int i = 0; i < 4; ++i)
    EXPECT_NE(last[i].find("\t" + std::to_string(i + 1) + "\t"), std::string::npos) << last[i];
  EXPECT_EQ(LastRunLogLines(10, file).size(), 5u);
  EXPECT_EQ(verdan::testing::ReadFile(file).size(), 2 * (FormatRunLogLine(ok).size() + 1));
}

TEST(RunLog, ProcessesAppendingAtOnceWriteOnlyWholeLines) {
  verdan::testing::TempDir dir;
  const std::string file = dir.File("verdan.log");
  std::vector<pid_t> children;
  for (int p = 0; p < 4; ++p) {
    pid_t pid = ::fork();
    if (pid == 0) {
      bool all = true;
      for (int i = 0; i < 200; ++i)
        all =
            AppendRunLog({"backup", "p" + std::to_string(p), i, 0, 0, true, "", ""}, file, 4096) &&
            all;
      ::_exit(all ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  // Every line is whole in one of the two files; the older generations were rotated away.
  for (const std::string& line : LastRunLogLines(1000, file)) {
    EXPECT_EQ(line.rfind("\tOK"), line.size() - 3) << line;
    EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 6) << line;
  }
}

}  // namespace
}  // namespace verdan::app
