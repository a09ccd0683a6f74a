// The installed program: `cmake --install` into a scratch prefix puts the program, the
// windows' module, the manual page, the desktop entry with its icon, the unit files and the
// cron example in place; the program needs no desktop library (the module alone does, and
// the program finds it in the library directory); the unit files pass `systemd-analyze verify`
// (with the manual page found) and run the backup as an unprivileged user in a sandbox, the cron
// line runs as written, and the desktop entry is valid.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/temp_dir.h"

namespace verdan {
namespace {

namespace fs = std::filesystem;
using testing::ProcessResult;
using testing::ReadFile;
using testing::RunProcess;
using testing::TempDir;

bool Have(const char* tool) { return ::access(tool, X_OK) == 0; }

// The libraries of a desktop, which a server without a screen does not have.
bool IsDesktopLibrary(const std::string& name) {
  for (const char* prefix :
       {"libQt", "libX", "libxcb", "libGL", "libEGL", "libOpenGL", "libicu", "libdbus",
        "libxkbcommon", "libfontconfig", "libfreetype", "libgtk", "libwayland"})
    if (name.rfind(prefix, 0) == 0) return true;
  return false;
}

// The desktop libraries among the shared objects `file` names itself (readelf -d, NEEDED) and
// among all those it loads (ldd); "" when there are none.
std::string DesktopLibrariesOf(const std::string& file) {
  std::string found;
  ProcessResult needed = RunProcess({"/usr/bin/readelf", "-d", file}, "/");
  EXPECT_EQ(needed.status, 0) << needed.err;
  EXPECT_NE(needed.out.find("(NEEDED)"), std::string::npos) << needed.out;
  for (std::size_t at = 0; (at = needed.out.find("Shared library: [", at)) != std::string::npos;) {
    at += 17;
    const std::string name = needed.out.substr(at, needed.out.find(']', at) - at);
    if (IsDesktopLibrary(name)) found += "NEEDED " + name + "\n";
  }
  ProcessResult loaded = RunProcess({"/usr/bin/ldd", file}, "/");
  EXPECT_EQ(loaded.status, 0) << loaded.err;
  std::istringstream lines(loaded.out);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t start = line.find_first_not_of(" \t");
    if (start != std::string::npos && IsDesktopLibrary(line.substr(start)))
      found += "ldd " + line + "\n";
  }
  return found;
}

TEST(Install, PutsTheProgramItsManualItsDesktopEntryAndTheUnattendedRunsInPlace) {
  TempDir dir;
  const std::string prefix = dir.File("usr");
  ProcessResult install = RunProcess(
      {"/usr/bin/cmake", "--install", VERDAN_BUILD_DIR, "--prefix", prefix}, "/", {}, 120);
  ASSERT_EQ(install.status, 0) << install.out << install.err;
  const std::string bin = prefix + "/bin/verdan";
  ProcessResult version = RunProcess({bin, "--version"}, dir.path());
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "VERDAN_pro 3.8.4 (190506#3.8.4.)\n");

  // The program runs where no desktop library is installed; its windows' module needs them
  // and is found by the installed program in its library directory.
  EXPECT_EQ(DesktopLibrariesOf(bin), "");
  std::string module;
  std::string https;
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(prefix)) {
    if (e.path().filename() == "verdan-gui.so") module = e.path().string();
    if (e.path().filename() == "verdan-https.so") https = e.path().string();
  }
  // Nor does a start load libcurl: the sign-in's HTTPS client is a module beside the windows'.
  auto needed = [](const std::string& file) {
    return RunProcess({"/usr/bin/readelf", "-d", file}, "/").out;
  };
  EXPECT_EQ(needed(bin).find("libcurl"), std::string::npos) << needed(bin);
  ASSERT_NE(https, "");
  EXPECT_EQ(fs::path(https).parent_path().filename(), "verdan");
  EXPECT_NE(needed(https).find("Shared library: [libcurl"), std::string::npos) << needed(https);
  if (VERDAN_WITH_GUI) {
    ASSERT_NE(module, "");
    EXPECT_EQ(fs::path(module).parent_path().filename(), "verdan");
    EXPECT_NE(DesktopLibrariesOf(module).find("NEEDED libQt6Widgets"), std::string::npos);
    // An unknown window-system platform is refused by the window system itself: the module
    // was loaded.
    ProcessResult windows = RunProcess({bin}, dir.path(), {"QT_QPA_PLATFORM=nema-takve"}, 60);
    EXPECT_NE(windows.status, 0);
    EXPECT_EQ(windows.err.find("prozori"), std::string::npos) << windows.err;
    EXPECT_NE(windows.err.find("\"nema-takve\""), std::string::npos) << windows.err;
  } else {
    EXPECT_EQ(module, "");
  }
  for (const char* file :
       {"/share/man/man1/verdan.1", "/lib/systemd/system/verdan-backup@.service",
        "/lib/systemd/system/verdan-backup@.timer", "/share/doc/verdan/examples/mail.conf",
        "/share/doc/verdan/examples/verdan.cron"})
    EXPECT_TRUE(fs::is_regular_file(prefix + file)) << file;
  const std::string unit = ReadFile(prefix + "/lib/systemd/system/verdan-backup@.service");
  EXPECT_NE(unit.find("ExecStart=" + bin + " --quiet backup dest\n"), std::string::npos) << unit;
  // The run is made by an unprivileged user of its own, never by root.
  EXPECT_NE(unit.find("\nUser=verdan\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nNoNewPrivileges=yes\n"), std::string::npos) << unit;
  EXPECT_EQ(unit.find("User=root"), std::string::npos) << unit;
  EXPECT_EQ(unit.find("DynamicUser="), std::string::npos)
      << unit;  // it must write the data directory

  // The manual page formats without warnings.
  if (Have("/usr/bin/man")) {
    ProcessResult man =
        RunProcess({"/usr/bin/man", "--warnings", "-l", prefix + "/share/man/man1/verdan.1"}, "/",
                   {"MANWIDTH=80", "LANG=C.UTF-8"});
    EXPECT_EQ(man.status, 0) << man.err;
    EXPECT_EQ(man.err, "");
    EXPECT_NE(man.out.find("IZLAZNI STATUS"), std::string::npos);
  }

  // The units, the timer and the mail drop-in, as systemd would load them.
  if (Have("/usr/bin/systemd-analyze")) {
    const std::string units = dir.File("units");
    fs::create_directories(units + "/verdan-backup@.service.d");
    fs::copy_file(prefix + "/lib/systemd/system/verdan-backup@.service",
                  units + "/verdan-backup@.service");
    fs::copy_file(prefix + "/lib/systemd/system/verdan-backup@.timer",
                  units + "/verdan-backup@.timer");
    fs::copy_file(prefix + "/share/doc/verdan/examples/mail.conf",
                  units + "/verdan-backup@.service.d/mail.conf");
    ProcessResult verify =
        RunProcess({"/usr/bin/systemd-analyze", "verify", units + "/verdan-backup@.service",
                    units + "/verdan-backup@.timer"},
                   units, {"MANPATH=" + prefix + "/share/man:"}, 120);
    EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
    EXPECT_EQ(verify.err.find("verdan"), std::string::npos) << verify.err;
    // As systemd judges the instance's sandbox: a static non-root user, no new privileges,
    // and an exposure no worse than "OK".
    ProcessResult security = RunProcess({"/usr/bin/systemd-analyze", "security", "--offline=yes",
                                         units + "/verdan-backup@srv-podaci.service"},
                                        units, {"LANG=C.UTF-8"}, 120);
    if (security.out.find("Overall exposure level") != std::string::npos) {
      EXPECT_NE(security.out.find("Service runs under a static non-root user identity"),
                std::string::npos)
          << security.out;
      EXPECT_NE(security.out.find("Service processes cannot acquire new privileges"),
                std::string::npos)
          << security.out;
      EXPECT_TRUE(security.out.find(" OK ") != std::string::npos ||
                  security.out.find(" SAFE ") != std::string::npos)
          << security.out;
    }
  }

  // The cron line, run as cron would run it, for a directory of ours.
  const std::string work = dir.File("podaci");
  fs::create_directories(work + "/backup");
  verdan::testing::WriteFile(work + "/KUPCI.TPS", std::string(1000, 'k'));
  ASSERT_EQ(RunProcess({bin, "settings", "--dest", work + "/backup/"}, work).status,
            1);  // first start
  std::istringstream cron(ReadFile(prefix + "/share/doc/verdan/examples/verdan.cron"));
  std::string line, command;
  while (std::getline(cron, line)) {
    if (line.empty() || line[0] == '#' || line.find('=') < line.find(' ')) continue;
    std::istringstream fields(line);
    std::string f[6];
    for (std::string& field : f) fields >> field;  // five time fields and the user
    std::getline(fields, command);
  }
  ASSERT_FALSE(command.empty());
  command.replace(command.find("/srv/podaci"), 11, work);
  ProcessResult run = RunProcess({"/bin/sh", "-c", command}, "/");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out + run.err, "");  // quiet: cron mails nothing when the run succeeded
  EXPECT_FALSE(fs::is_empty(work + "/backup"));

  // The desktop entry and its icon come with the windows (a build without them has neither).
  if (VERDAN_WITH_GUI && Have("/usr/bin/desktop-file-validate")) {
    ProcessResult desktop = RunProcess(
        {"/usr/bin/desktop-file-validate", prefix + "/share/applications/verdan.desktop"}, "/");
    EXPECT_EQ(desktop.status, 0) << desktop.out << desktop.err;
    EXPECT_TRUE(fs::is_regular_file(prefix + "/share/icons/hicolor/scalable/apps/verdan.svg"));
  }
}

}  // namespace
}  // namespace verdan
