// Profile files, drive-letter paths, the clock, the credentials file, process tags and modules.
#ifdef _WIN32
#include <windows.h>

#include <aclapi.h>
#include <process.h>
#else
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/clock.h"
#include "platform/credentials.h"
#include "platform/debug_output.h"
#include "platform/desktop.h"
#include "platform/module.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "support/temp_dir.h"

#ifdef _WIN32
#include "platform/wide.h"
#endif

namespace verdan::platform {
namespace {

using verdan::testing::ReadFile;
using verdan::testing::TempDir;
using verdan::testing::WriteFile;

TEST(Profile, MissingFileSectionOrKeyReadsAsDefault) {
  TempDir dir;
  std::string file = dir.File("verdan.env");
  EXPECT_EQ(GetProfileString("Email_Postavke", "CC", "", file), "");
  WriteFile(file, "[Other]\nCC=x\n");
  EXPECT_EQ(GetProfileString("Email_Postavke", "CC", "dflt", file), "dflt");
}

TEST(Profile, WritesKeepOtherSectionsAndReplaceOnlyTheirKey) {
  TempDir dir;
  std::string file = dir.File("verdan.env");
  WriteFile(
      file,
      "; settings\r\n[Diskovi]\r\nE=/media/usb\r\n\r\n[Email_Postavke]\r\nCC=a@example.com\r\n");
  ASSERT_TRUE(WriteProfileString("email_postavke", "BCC", "b@example.com", file));
  ASSERT_TRUE(WriteProfileString("Email_Postavke", "cc", "c@example.com", file));
  ASSERT_TRUE(WriteProfileString("Novi", "K", "v = w", file));
  EXPECT_EQ(GetProfileString("Email_Postavke", "CC", "", file), "c@example.com");
  EXPECT_EQ(GetProfileString("Email_Postavke", "BCC", "", file), "b@example.com");
  EXPECT_EQ(GetProfileString("Diskovi", "e", "", file), "/media/usb");
  EXPECT_EQ(GetProfileString("Novi", "K", "", file), "v = w");
  std::string text = ReadFile(file);
  EXPECT_NE(text.find("; settings"), std::string::npos);
  // The new key went into its own section, before the next section starts.
  EXPECT_LT(text.find("BCC="), text.find("[Novi]"));
}

TEST(Profile, ValueCannotBreakIntoAnotherLine) {
  TempDir dir;
  std::string file = dir.File("verdan.env");
  ASSERT_TRUE(WriteProfileString("S", "A", "x\r\n[T]\r\nB=y", file));
  EXPECT_EQ(GetProfileString("T", "B", "none", file), "none");
}

#ifdef _WIN32
TEST(Profile, ADeviceOrDirectoryReadsAsEmptyIsNeverReplacedAndIsToldOnce) {
  TempDir dir;
  std::vector<std::string> told;
  SetProfileNotice([&told](const std::string& file, const std::string&) { told.push_back(file); });
  ResetProfileNotices();
  std::string folder = dir.File("env.d");
  std::filesystem::create_directory(std::filesystem::path(folder));
  EXPECT_EQ(GetProfileString("S", "K", "d", folder), "d");
  EXPECT_FALSE(WriteProfileString("S", "K", "v", folder));
  EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::path(folder)));
  // The null device opens like a file but is none.
  EXPECT_EQ(GetProfileString("S", "K", "d", "NUL"), "d");
  EXPECT_EQ(GetProfileString("S", "K", "d", "NUL"), "d");
  EXPECT_EQ(told, (std::vector<std::string>{folder, "NUL"}));
  SetProfileNotice({});
}

// The system's setting itself (in the test's own Wine prefix or user profile), switched both
// ways and put back.
TEST(Desktop, DragSettingIsReadAndChangedOnTheSystem) {
  Desktop& desktop = SystemDesktop();
  const DragSetting before = desktop.DragFullWindows();
  ASSERT_TRUE(desktop.SetDragFullWindows(DragSetting::kOn));
  EXPECT_EQ(desktop.DragFullWindows(), DragSetting::kOn);
  ASSERT_TRUE(desktop.SetDragFullWindows(DragSetting::kOff));
  EXPECT_EQ(desktop.DragFullWindows(), DragSetting::kOff);
  EXPECT_TRUE(desktop.SetDragFullWindows(before));
}

TEST(Paths, DriveLettersAreTheSystemsOwn) {
  TempDir dir;
  // A [Diskovi] section left from another system changes nothing here.
  WriteFile(dir.File("verdan.env"), "[Diskovi]\nE=/media/usb/\n");
  EXPECT_EQ(DriveRoot('e', dir.path()), "E:");
  EXPECT_FALSE(DriveLetterMapped('E', dir.path()));
  EXPECT_EQ(NativePath("E:\\PETAK.zip", dir.path()), "E:\\PETAK.zip");
  EXPECT_EQ(NativePath("F:PETAK.zip", dir.path()), "F:\\PETAK.zip");
  EXPECT_EQ(NativePath("d:", dir.path()), "d:\\");
  EXPECT_EQ(NativePath("podaci/arh.zip", dir.path()), "podaci\\arh.zip");
  EXPECT_TRUE(EndsWithSeparator("E:\\"));
  EXPECT_FALSE(EndsWithSeparator("E:\\PETAK"));
}

#else
TEST(Profile, AFifoDeviceOrDirectoryReadsAsEmptyIsNeverReplacedAndIsToldOnce) {
  TempDir dir;
  std::string fifo = dir.File("verdan.env");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::vector<std::string> told;
  SetProfileNotice([&told](const std::string& file, const std::string& text) {
    told.push_back(file);
    EXPECT_EQ(text, ProfileNoticeText(file));
  });
  ResetProfileNotices();
  // Nobody writes to the FIFO: a blocking open would never return.
  EXPECT_EQ(GetProfileString("Email_Postavke", "CC", "", fifo), "");
  EXPECT_EQ(GetProfileString("Diskovi", "E", "x", fifo), "x");
  EXPECT_FALSE(WriteProfileString("Email_Postavke", "CC", "a@example.org", fifo));
  struct stat st {};
  ASSERT_EQ(::stat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  std::string folder = dir.File("env.d");
  ::mkdir(folder.c_str(), 0755);
  EXPECT_EQ(GetProfileString("S", "K", "d", folder), "d");
  EXPECT_EQ(GetProfileString("S", "K", "d", "/dev/zero"), "d");
  EXPECT_EQ(told, (std::vector<std::string>{fifo, folder, "/dev/zero"}));
  SetProfileNotice({});
  EXPECT_EQ(ProfileNoticeText("verdan.env"),
            "verdan.env nije obična datoteka: postavke se čitaju kao prazne i ne spremaju se.");
}

TEST(Profile, AnOverlongLineIsSkippedWithANoticeAndTheOtherLinesStillCount) {
  TempDir dir;
  std::string file = dir.File("verdan.env");
  const std::string huge(8u << 20, 'a');
  const std::string longest(kMaxProfileLineBytes - 4, 'x');  // "BCC=" and this: at the limit
  WriteFile(file, "[Email_Postavke]\r\nOrganization=Tvrtka d.o.o.\r\nCC=" + huge +
                      "\r\nBCC=" + longest + "\r\n[Diskovi]\r\nE=/media/usb\r\n");
  std::vector<std::pair<std::string, std::string> > told;
  SetProfileNotice(
      [&told](const std::string& f, const std::string& text) { told.emplace_back(f, text); });
  ResetProfileNotices();
  EXPECT_EQ(GetProfileString("Email_Postavke", "CC", "none", file), "none");
  EXPECT_EQ(GetProfileString("Email_Postavke", "Organization", "", file), "Tvrtka d.o.o.");
  EXPECT_EQ(GetProfileString("Email_Postavke", "BCC", "", file),
            std::string(kMaxProfileValueChars, 'x'));
  EXPECT_EQ(GetProfileString("Diskovi", "E", "", file), "/media/usb");
  // Told once, with the file and the line.
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0].first, file);
  EXPECT_EQ(told[0].second, file +
                                ", redak 3: redak je dulji od 8192 bajta (ni jedna postavka "
                                "nije tako duga) i ne čita se; ostale postavke vrijede.");
  // Writing the key replaces the overlong line; every other line stays.
  ASSERT_TRUE(WriteProfileString("Email_Postavke", "CC", "c@example.com", file));
  EXPECT_EQ(GetProfileString("Email_Postavke", "CC", "", file), "c@example.com");
  EXPECT_EQ(GetProfileString("Diskovi", "E", "", file), "/media/usb");
  EXPECT_LT(ReadFile(file).size(), 2 * kMaxProfileLineBytes);
  // A file far larger than any settings is read, but never rewritten.
  WriteFile(file, "[S]\nK=v\n" + std::string(kMaxProfileFileBytes, '\n') + "[T]\nL=w\n");
  EXPECT_EQ(GetProfileString("T", "L", "", file), "w");
  EXPECT_FALSE(WriteProfileString("S", "K", "u", file));
  EXPECT_EQ(GetProfileString("S", "K", "", file), "v");
  ASSERT_EQ(told.size(), 2u);
  EXPECT_EQ(told[1].second, ProfileTooBigText(file));
  SetProfileNotice({});
}

TEST(Paths, DriveLettersMapThroughTheProfileOrMnt) {
  TempDir dir;
  EXPECT_EQ(DriveRoot('E', dir.path()), "/mnt/e");
  WriteFile(dir.File("verdan.env"), "[Diskovi]\nE=/media/usb/\n");
  EXPECT_EQ(DriveRoot('e', dir.path()), "/media/usb");
  EXPECT_EQ(NativePath("E:\\PETAK.zip", dir.path()), "/media/usb/PETAK.zip");
  EXPECT_EQ(NativePath("F:PETAK.zip", dir.path()), "/mnt/f/PETAK.zip");
  EXPECT_EQ(NativePath("podaci\\arh.zip", dir.path()), "podaci/arh.zip");
  EXPECT_TRUE(EndsWithSeparator("/tmp/"));
  EXPECT_FALSE(EndsWithSeparator("/tmp"));
}
#endif

// Names outside ASCII go through the current directory and the profile unchanged (on
// Windows through the wide-character calls).
TEST(Paths, CurrentDirectoryAndProfileKeepCroatianNames) {
  TempDir dir;
  const std::string name = dir.path() + kSeparator + "Arhive čćžšđ ČĆŽŠĐ";
  ASSERT_TRUE(std::filesystem::create_directory(
      std::filesystem::path(std::u8string(name.begin(), name.end()))));
  const std::string before = CurrentDirectory();
  ASSERT_TRUE(ChangeDirectory(name));
  EXPECT_EQ(CurrentDirectory(), name);
  ASSERT_TRUE(WriteProfileString("Email_Postavke", "Naziv", "Žuta kuća", "verdan.env"));
  EXPECT_EQ(GetProfileString("email_postavke", "NAZIV", "", "verdan.env"), "Žuta kuća");
  ASSERT_TRUE(ChangeDirectory(before));
  EXPECT_EQ(GetProfileString("Email_Postavke", "Naziv", "", name + kSeparator + "verdan.env"),
            "Žuta kuća");
  EXPECT_FALSE(ChangeDirectory(name + kSeparator + "nema"));
  EXPECT_EQ(CurrentDirectory(), before);
}

// Sets (or, with an empty value, removes) a variable of this process's environment.
void SetEnvironment(const std::string& name, const std::string& value) {
#ifdef _WIN32
  ::_wputenv_s(WideFromUtf8(name).c_str(), WideFromUtf8(value).c_str());
#else
  if (value.empty())
    ::unsetenv(name.c_str());
  else
    ::setenv(name.c_str(), value.c_str(), 1);
#endif
}

TEST(DebugOutput, TraceFileNamedByTheEnvironmentGetsEveryWriteAppended) {
  TempDir dir;
  const std::string file = dir.File("trag čćž.log");
  WriteFile(file, "earlier\r\n");
  SetEnvironment("VERDAN_TRACE", file);
  DebugOutput("one\r\n");
  DebugOutput("two\r\n");
  {
    CapturingDebugOutput capture;  // a test's sink takes the place of the file
    DebugOutput("captured\r\n");
    EXPECT_EQ(capture.Text(), "captured\r\n");
  }
  SetEnvironment("VERDAN_TRACE", "");
  EXPECT_EQ(ReadFile(file), "earlier\r\none\r\ntwo\r\n");
}

TEST(Clock, DayCountsStartOnSunday28December1800) {
  EXPECT_EQ(DayCountFromDate({1800, 12, 28}), 0);
  EXPECT_EQ(DayCountFromDate({1801, 1, 1}), 4);
  CivilDate d = DateFromDayCount(DayCountFromDate({2026, 12, 8}));
  EXPECT_EQ(d.year, 2026);
  EXPECT_EQ(d.month, 12);
  EXPECT_EQ(d.day, 8);
  EXPECT_EQ(DayCountFromDate({2026, 12, 6}) % 7, 0);  // a Sunday
  EXPECT_EQ(DayCountFromDate({1800, 12, 27}), -1);
}

// The zone offset the system clock reports is the one the C library's local time shows (on
// Windows from the system's time-zone information, whose bias counts the other way).
TEST(Clock, SystemClockZoneOffsetIsTheLocalTimesDistanceFromUtc) {
#ifdef _WIN32
  // The C library here takes a TZ variable in its own form only (Wine passes a POSIX one on);
  // without one it asks the system, as the program's clock does.
  _putenv("TZ=");
  _tzset();
#endif
  const std::time_t now = std::time(nullptr);
  const std::tm local = *std::localtime(&now);
  const std::tm utc = *std::gmtime(&now);
  auto minutes = [](const std::tm& t) {
    return DayCountFromDate({t.tm_year + 1900, t.tm_mon + 1, t.tm_mday}) * 1440 + t.tm_hour * 60 +
           t.tm_min;
  };
  EXPECT_EQ(SystemClock().UtcOffsetMinutes(), minutes(local) - minutes(utc));
}

TEST(Clock, SettableClockRollsOverMidnightAndIsInstalledScoped) {
  SettableClock clock(100, kHundredthsPerDay - 50);
  {
    ScopedClock use(clock);
    clock.Advance(80);
    EXPECT_EQ(GetClock().Today(), 101);
    EXPECT_EQ(GetClock().TimeOfDay(), 30);
  }
  EXPECT_NE(&GetClock(), &clock);
  EXPECT_GE(SystemClock().TimeOfDay(), 0);
  EXPECT_LT(SystemClock().TimeOfDay(), kHundredthsPerDay);
}

// A path of the file system library for a UTF-8 name.
std::filesystem::path FsPath(const std::string& utf8) {
#ifdef _WIN32
  return std::filesystem::path(WideFromUtf8(utf8));
#else
  return std::filesystem::path(utf8);
#endif
}

#ifdef _WIN32
// Lets everyone read `file` besides what its access list already allows.
void LetEveryoneRead(const std::string& file) {
  const std::wstring name = WideFromUtf8(file);
  PACL old = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_EQ(::GetNamedSecurityInfoW(name.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, &old, nullptr, &sd),
            ERROR_SUCCESS);
  wchar_t everyone[] = L"EVERYONE";
  EXPLICIT_ACCESSW access{};
  access.grfAccessPermissions = GENERIC_READ;
  access.grfAccessMode = GRANT_ACCESS;
  access.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
  access.Trustee.ptstrName = everyone;
  PACL acl = nullptr;
  ASSERT_EQ(::SetEntriesInAclW(1, &access, old, &acl), ERROR_SUCCESS);
  ASSERT_EQ(::SetNamedSecurityInfoW(const_cast<wchar_t*>(name.c_str()), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION, nullptr, nullptr, acl, nullptr),
            ERROR_SUCCESS);
  ::LocalFree(acl);
  ::LocalFree(sd);
}

// A process that has started and ended: its number and creation time as a tag would hold
// them.
ProcessIdentity EndedProcess() {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  wchar_t command[] = L"cmd.exe /c exit 0";
  ProcessIdentity ended;
  if (!::CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &si, &pi))
    return ended;
  ended.pid = static_cast<pid_t>(pi.dwProcessId);
  ended.start = ProcessStartTime(ended.pid);
  ended.boot = BootTag();
  ::WaitForSingleObject(pi.hProcess, 60000);
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  return ended;
}
#else
void LetEveryoneRead(const std::string& file) { ASSERT_EQ(::chmod(file.c_str(), 0644), 0); }

ProcessIdentity EndedProcess() {
  int ready[2];
  ProcessIdentity ended;
  if (::pipe(ready) != 0) return ended;
  const pid_t child = ::fork();
  if (child == 0) {
    char c = 0;
    ssize_t n = ::read(ready[0], &c, 1);  // until the parent has read its start
    ::_exit(n == 1 ? 0 : 1);
  }
  ended.pid = child;
  ended.start = ProcessStartTime(child);
  ended.boot = BootTag();
  (void)!::write(ready[1], "x", 1);
  ::close(ready[0]);
  ::close(ready[1]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return ended;
}
#endif

// A secret with line ends and backslashes comes back as written beside the others; the file
// is the user's alone, so that widening its rights makes it refused, unread and unreplaced.
TEST(Credentials, SecretsKeepTheirBytesAndAFileOthersMayReadIsRefusedAndLeftAlone) {
  TempDir dir;
  const std::string file = dir.File(kCredentialsFile);
  std::string problem, value;
  bool found = true;
  ASSERT_TRUE(ReadSecret(file, "smtp.password", value, found, problem)) << problem;
  EXPECT_FALSE(found);
  ASSERT_TRUE(WriteSecret(file, "smtp.password", "a\\b\r\nc=d š", problem)) << problem;
  ASSERT_TRUE(WriteSecret(file, "oauth.refresh_token", "", problem)) << problem;
  ASSERT_TRUE(WriteSecret(file, "smtp.password", "x\\ny", problem)) << problem;
  ASSERT_TRUE(ReadSecret(file, "smtp.password", value, found, problem)) << problem;
  EXPECT_TRUE(found);
  EXPECT_EQ(value, "x\\ny");
  ASSERT_TRUE(ReadSecret(file, "oauth.refresh_token", value, found, problem)) << problem;
  EXPECT_TRUE(found);
  EXPECT_EQ(value, "");
  EXPECT_FALSE(WriteSecret(file, "bad key", "v", problem));
  EXPECT_EQ(ReadFile(file).find("bad"), std::string::npos);
  // Nothing of the temporary is left beside the file.
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(FsPath(dir.path())))
    names.push_back(entry.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{kCredentialsFile});

  const std::string before = ReadFile(file);
  LetEveryoneRead(file);
  EXPECT_FALSE(ReadSecret(file, "smtp.password", value, found, problem));
  EXPECT_EQ(value, "");
  EXPECT_NE(problem.find("drugi korisnici"), std::string::npos) << problem;
  problem.clear();
  EXPECT_FALSE(WriteSecret(file, "smtp.password", "new", problem));
  EXPECT_NE(problem.find("drugi korisnici"), std::string::npos) << problem;
  EXPECT_EQ(ReadFile(file), before);

  // A directory in the file's place is not a credentials file.
  const std::string folder = dir.File("folder.credentials");
  std::filesystem::create_directory(FsPath(folder));
  EXPECT_FALSE(ReadSecret(folder, "smtp.password", value, found, problem));
  EXPECT_NE(problem.find("nije obična datoteka"), std::string::npos) << problem;
}

// A tag names the running process as running, an ended process as ended even when its number
// runs again, and a tag of a boot far from this one as of another boot.
TEST(Process, TagsTellTheRunningTheEndedAndAnotherBoot) {
  ProcessIdentity me;
  ASSERT_TRUE(ParseProcessTag(ProcessTag(::getpid()), me));
  EXPECT_EQ(me.pid, ::getpid());
  EXPECT_NE(me.start, 0u) << "the system tells this process's start";
  EXPECT_EQ(me.boot, BootTag());
  EXPECT_EQ(StateOf(me), ProcessState::kRuns);

  const ProcessIdentity ended = EndedProcess();
  ASSERT_GT(ended.pid, 0);
  ASSERT_NE(ended.start, 0u);
  EXPECT_EQ(StateOf(ended), ProcessState::kEnded);

  // This process's number with another start: a number used again, not its owner.
  ProcessIdentity reused = me;
  reused.start = me.start - 1;
  EXPECT_EQ(StateOf(reused), ProcessState::kEnded);
  // A boot some days away.
  ProcessIdentity other = ended;
  other.boot = BootTag() == "00000000" ? "10000000" : "00000000";
  EXPECT_EQ(StateOf(other), ProcessState::kOtherBoot);
}

TEST(Module, AMissingModuleIsToldAndTheProgramsDirectoryIsKnown) {
  TempDir dir;
  std::string problem;
  EXPECT_EQ(LoadModule(dir.File("none.module"), problem), nullptr);
  EXPECT_NE(problem, "");
  EXPECT_EQ(ModuleEntry(nullptr, "entry"), nullptr);
  const std::string here = ProgramDirectory();
#ifdef _WIN32
  const char* self = "platform_ports_test.exe";
#else
  const char* self = "platform_ports_test";
#endif
  EXPECT_TRUE(std::filesystem::exists(FsPath(here) / self)) << here;
  // A file that is no module: the problem names it, and the system's text keeps no placeholder.
  const std::string notModule = dir.File("text.module");
  { std::ofstream(FsPath(notModule)) << "not a module\n"; }
  problem.clear();
  EXPECT_EQ(LoadModule(notModule, problem), nullptr);
  EXPECT_EQ(problem.rfind(notModule + ": ", 0), 0u) << problem;
  EXPECT_EQ(problem.find('%'), std::string::npos) << problem;
#ifdef _WIN32
  EXPECT_EQ(SystemErrorText(ERROR_BAD_EXE_FORMAT).find('%'), std::string::npos);
  EXPECT_NE(SystemErrorText(ERROR_BAD_EXE_FORMAT, "x.dll").find("x.dll"), std::string::npos);
#endif
}

}  // namespace
}  // namespace verdan::platform
