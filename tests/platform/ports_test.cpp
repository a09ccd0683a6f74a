// Profile files, drive-letter paths and the clock port.
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <vector>

#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/desktop.h"
#include "platform/paths.h"
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
  SetProfileNotice([&told](const std::string& file) { told.push_back(file); });
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

}  // namespace
}  // namespace verdan::platform
