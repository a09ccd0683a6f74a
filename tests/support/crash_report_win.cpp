// Windows: a test program that crashes ends with a failure status and says where.
//
// Under the emulator a crash starts its debugger, which prints a report and then lets the
// program end, now and then with status 0, so that a crashed test could pass. Every test
// program therefore takes unhandled exceptions itself: it keeps what the tests printed so far,
// names the exception and the test that was running, and ends with status 3 at once.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>

namespace {

LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info) {
  std::fflush(stdout);
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  char line[512];
  const int n = std::snprintf(
      line, sizeof line, "\nthe test program crashed: exception 0x%08lx at %p%s%s%s%s\n",
      static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode),
      info->ExceptionRecord->ExceptionAddress, test ? ", in " : "",
      test ? test->test_suite_name() : "", test ? "." : "", test ? test->name() : "");
  DWORD written = 0;
  if (n > 0)
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), line,
                static_cast<DWORD>(n < static_cast<int>(sizeof line) ? n : sizeof line - 1),
                &written, nullptr);
  ::TerminateProcess(::GetCurrentProcess(), 3);
  return EXCEPTION_EXECUTE_HANDLER;
}

const bool installed = (::SetUnhandledExceptionFilter(ReportCrash), true);

}  // namespace
