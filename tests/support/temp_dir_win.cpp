// Windows: temporary directories and files through the wide-character calls, so that names
// outside ASCII survive; child processes through CreateProcessW.
//
// The tests run under the emulator on Linux, and their peers and checkers are that machine's
// own tools (Python, zip, unzip). The emulator starts a Linux program handed to CreateProcess,
// but detached: no process handle, no exit status, and its standard streams are not the pipes
// given. Such a program is therefore run through /bin/sh, which sends its output to files in a
// scratch directory, bounds it with timeout(1), and writes its exit status last; the test side
// waits (bounded) for that status file.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>

#include "platform/paths.h"
#include "platform/wide.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace verdan::testing {
namespace {

// The emulator's path conversions, looked up at run time: absent on a real Windows system.
using ToUnix = char*(CDECL*)(LPCWSTR);
using ToDos = WCHAR*(CDECL*)(LPCSTR);

void* Kernel32(const char* name) {
  return reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), name));
}

bool LooksLikeWindowsPath(const std::string& s) {
  return s.size() >= 3 && std::isalpha(static_cast<unsigned char>(s[0])) && s[1] == ':' &&
         (s[2] == '\\' || s[2] == '/');
}

// A Linux path ("/work/...") as the Windows path the emulator shows it as; else unchanged.
std::string WindowsPathOf(const std::string& path) {
  static const auto toDos = reinterpret_cast<ToDos>(Kernel32("wine_get_dos_file_name"));
  if (path.empty() || path[0] != '/' || toDos == nullptr) return path;
  WCHAR* dos = toDos(path.c_str());
  if (dos == nullptr) return path;
  std::string out = platform::Utf8FromWide(dos);
  ::HeapFree(::GetProcessHeap(), 0, dos);
  return out;
}

std::filesystem::path PathOf(const std::string& utf8) {
  return std::filesystem::path(platform::WideFromUtf8(WindowsPathOf(utf8)));
}

std::wstring CommandLine(const std::vector<std::string>& argv) {
  std::wstring command;
  for (const std::string& a : argv)
    command += (command.empty() ? L"" : L" ") + platform::QuotedArgument(platform::WideFromUtf8(a));
  return command;
}

// The Linux side's programs are named by absolute Linux paths; an .exe is one of ours.
bool IsHostProgram(const std::string& program) {
  if (program.empty() || program[0] != '/') return false;
  std::string tail = program.substr(program.size() >= 4 ? program.size() - 4 : 0);
  std::transform(tail.begin(), tail.end(), tail.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return tail != ".exe";
}

// Starts a Linux program detached (see above); false when the emulator would not.
bool StartHost(const std::vector<std::string>& argv) {
  const std::string program = WindowsPathOf(argv[0]);
  std::wstring command = CommandLine(argv);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessW(platform::WideFromUtf8(program).c_str(), command.data(), nullptr, nullptr,
                        FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi))
    return false;
  if (pi.hThread) ::CloseHandle(pi.hThread);
  if (pi.hProcess) ::CloseHandle(pi.hProcess);
  return true;
}

ProcessResult RunHost(const std::vector<std::string>& argv, const std::string& cwd,
                      const std::vector<std::string>& env, int timeoutSeconds,
                      const std::string& input) {
  ProcessResult result;
  TempDir scratch;
  const std::string o = HostPath(scratch.path());
  WriteFile(scratch.File("in"), input);
  std::vector<std::string> sh{
      "/bin/sh",
      "-c",
      "o=$1 c=$2 t=$3; shift 3\n"
      "(cd \"$c\" || exit 126; exec /usr/bin/timeout -s KILL \"$t\" /usr/bin/env \"$@\") "
      "<\"$o/in\" >\"$o/out\" 2>\"$o/err\"\n"
      "echo $? >\"$o/st\" && mv \"$o/st\" \"$o/status\"\n",
      "sh",
      o,
      cwd.empty() ? o : HostPath(cwd),
      std::to_string(timeoutSeconds)};
  for (const auto& e : env) {
    const auto eq = e.find('=');
    sh.push_back(eq == std::string::npos ? e : e.substr(0, eq + 1) + HostPath(e.substr(eq + 1)));
  }
  for (const auto& a : argv) sh.push_back(HostPath(a));
  if (!StartHost(sh)) return result;
  const std::string status = scratch.File("status");
  if (!WaitFor([&] { return std::filesystem::exists(PathOf(status)); },
               std::chrono::seconds(timeoutSeconds + 30)))
    return result;
  result.status = std::atoi(ReadFile(status).c_str());
  result.out = ReadFile(scratch.File("out"));
  result.err = ReadFile(scratch.File("err"));
  return result;
}

// The environment block of this process with `extra` ("NAME=value") added or replacing.
std::wstring EnvironmentWith(const std::vector<std::string>& extra) {
  struct NoCase {
    bool operator()(const std::wstring& a, const std::wstring& b) const {
      return ::_wcsicmp(a.c_str(), b.c_str()) < 0;
    }
  };
  std::map<std::wstring, std::wstring, NoCase> vars;
  wchar_t* block = ::GetEnvironmentStringsW();
  for (const wchar_t* p = block; p && *p; p += std::wcslen(p) + 1) {
    std::wstring entry = p;
    const auto eq = entry.find(L'=', 1);  // "=C:=C:\..." entries begin with "="
    if (eq != std::wstring::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  if (block) ::FreeEnvironmentStringsW(block);
  for (const auto& e : extra) {
    std::wstring entry = platform::WideFromUtf8(e);
    const auto eq = entry.find(L'=');
    if (eq != std::wstring::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  std::wstring out;
  for (const auto& [name, value] : vars) out += name + L"=" + value + L'\0';
  return out + L'\0';
}

struct Started {
  HANDLE process = nullptr;
  HANDLE out = nullptr;  // read ends, when asked for
  HANDLE err = nullptr;
};

// Starts a Windows program with standard input from NUL (or `input`, a few lines that fit the
// pipe's buffer), and its output and errors to pipes (`pipes`) or to NUL.
Started StartWindows(const std::vector<std::string>& argv, const std::string& cwd,
                     const std::vector<std::string>& env, bool pipes,
                     const std::string& input = {}) {
  Started s;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE nul =
      ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inherit, OPEN_EXISTING, 0, nullptr);
  HANDLE outWrite = nul, errWrite = nul, inRead = nul, inWrite = nullptr;
  if (!input.empty()) {
    if (!::CreatePipe(&inRead, &inWrite, &inherit, 0)) return s;
    ::SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    DWORD written = 0;
    ::WriteFile(inWrite, input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
    ::CloseHandle(inWrite);
  }
  if (pipes) {
    if (!::CreatePipe(&s.out, &outWrite, &inherit, 0)) return s;
    if (!::CreatePipe(&s.err, &errWrite, &inherit, 0)) return s;
    ::SetHandleInformation(s.out, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(s.err, HANDLE_FLAG_INHERIT, 0);
  }
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = inRead;
  si.hStdOutput = outWrite;
  si.hStdError = errWrite;
  PROCESS_INFORMATION pi{};
  std::wstring command = CommandLine(argv);
  std::wstring environment = EnvironmentWith(env);
  const std::wstring program = platform::WideFromUtf8(WindowsPathOf(argv[0]));
  const std::wstring dir = platform::WideFromUtf8(WindowsPathOf(cwd));
  // Without a console of its own: under the emulator a console program given none gets a
  // console host process, which may outlive a program killed from outside and keep the test's
  // own output open.
  if (::CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE,
                       DETACHED_PROCESS | CREATE_UNICODE_ENVIRONMENT, environment.data(),
                       cwd.empty() ? nullptr : dir.c_str(), &si, &pi)) {
    ::CloseHandle(pi.hThread);
    s.process = pi.hProcess;
  }
  if (pipes) {
    ::CloseHandle(outWrite);
    ::CloseHandle(errWrite);
  }
  if (inRead != nul) ::CloseHandle(inRead);
  if (nul != INVALID_HANDLE_VALUE) ::CloseHandle(nul);
  return s;
}

// Whatever `pipe` holds now, appended to `to`; false once its writers are gone.
bool Drain(HANDLE pipe, std::string& to) {
  for (;;) {
    DWORD available = 0;
    if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available == 0) return true;
    char buf[65536];
    DWORD n = 0;
    if (!::ReadFile(pipe, buf, std::min<DWORD>(available, sizeof buf), &n, nullptr) || n == 0)
      return false;
    to.append(buf, n);
  }
}

}  // namespace

TempDir::TempDir() {
  wchar_t base[MAX_PATH + 1] = {};
  DWORD n = ::GetTempPathW(MAX_PATH + 1, base);
  if (n == 0 || n > MAX_PATH) throw std::runtime_error("GetTempPath failed");
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::wstring dir = std::wstring(base) + L"verdan-test-" + std::to_wstring(random());
    if (::CreateDirectoryW(dir.c_str(), nullptr)) {
      path_ = platform::Utf8FromWide(dir);
      return;
    }
    if (::GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  throw std::runtime_error("CreateDirectory failed");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(PathOf(path_), ec);
}

ScopedCwd::ScopedCwd(const std::string& dir) : previous_(platform::CurrentDirectory()) {
  platform::ChangeDirectory(dir);
}
ScopedCwd::~ScopedCwd() { platform::ChangeDirectory(previous_); }

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& cwd,
                         const std::vector<std::string>& env, int timeoutSeconds,
                         const std::string& input) {
  if (argv.empty()) return {};
  if (IsHostProgram(argv[0])) return RunHost(argv, cwd, env, timeoutSeconds, input);
  ProcessResult result;
  // Under a loaded Wine server a start now and then fails at once; it is tried again, twice,
  // before the run counts as failed (status -1, with the system's reason in `err`).
  Started s;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (attempt > 0) ::Sleep(200);
    s = StartWindows(argv, cwd, env, true, input);
    if (s.process != nullptr) break;
    const DWORD why = ::GetLastError();
    if (s.out) ::CloseHandle(s.out);
    if (s.err) ::CloseHandle(s.err);
    s = {};
    result.err = "cannot start " + argv[0] + ": " + platform::SystemErrorText(why);
  }
  if (s.process == nullptr) return result;
  result.err.clear();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  bool killed = false;
  // The pipes are polled rather than read to their end: a process the child left running
  // would keep them open.
  for (;;) {
    Drain(s.out, result.out);
    Drain(s.err, result.err);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::TerminateProcess(s.process, kKilledStatus);
      killed = true;
    }
    if (::WaitForSingleObject(s.process, killed ? INFINITE : 5) == WAIT_OBJECT_0) break;
  }
  Drain(s.out, result.out);
  Drain(s.err, result.err);
  DWORD code = 0;
  ::GetExitCodeProcess(s.process, &code);
  result.status = killed ? kKilledStatus : static_cast<int>(code);
  // A Windows program ends its text lines with CR LF; the tests read them as lines.
  for (std::string* text : {&result.out, &result.err})
    for (std::size_t at = 0; (at = text->find("\r\n", at)) != std::string::npos;)
      text->erase(at, 1);
  ::CloseHandle(s.process);
  ::CloseHandle(s.out);
  ::CloseHandle(s.err);
  return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, const std::string& cwd,
                                     const std::vector<std::string>& env) {
  if (argv.empty() || IsHostProgram(argv[0])) return;  // Windows programs only
  Started s = StartWindows(argv, cwd, env, false);
  started_ = s.process != nullptr;
  id_ = reinterpret_cast<long long>(s.process);
}

BackgroundProcess::~BackgroundProcess() {
  if (!started_) return;
  if (!waited_) {
    Kill();
    Wait();
  }
  ::CloseHandle(reinterpret_cast<HANDLE>(id_));
}

void BackgroundProcess::Kill() {
  if (started_ && !waited_) ::TerminateProcess(reinterpret_cast<HANDLE>(id_), kKilledStatus);
}

int BackgroundProcess::Wait() {
  if (!started_ || waited_) return status_;
  HANDLE h = reinterpret_cast<HANDLE>(id_);
  ::WaitForSingleObject(h, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(h, &code);
  waited_ = true;
  status_ = static_cast<int>(code);
  return status_;
}

std::string HostPath(const std::string& path) {
  static const auto toUnix = reinterpret_cast<ToUnix>(Kernel32("wine_get_unix_file_name"));
  if (!LooksLikeWindowsPath(path) || toUnix == nullptr) return path;
  char* unix = toUnix(platform::WideFromUtf8(path).c_str());
  if (unix == nullptr) return path;
  std::string out = unix;
  ::HeapFree(::GetProcessHeap(), 0, unix);
  return out;
}

ProcessResult Verdan(const std::string& cwd, const std::vector<std::string>& args,
                     int timeoutSeconds) {
  std::vector<std::string> argv{VERDAN_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProcess(argv, cwd, {}, timeoutSeconds);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(PathOf(path), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(PathOf(path), std::ios::binary | std::ios::trunc);
  out << bytes;
}

}  // namespace verdan::testing
