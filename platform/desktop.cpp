#include "platform/desktop.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

namespace verdan::platform {
namespace {

// Connects to a local X server's socket (abstract name first, then the file).
bool LocalXServerAnswers(int number) {
  std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
  for (bool abstract : {true, false}) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::size_t offset = abstract ? 1 : 0;
    std::memcpy(addr.sun_path + offset, path.data(),
                std::min(path.size(), sizeof addr.sun_path - 1 - offset));
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
    ::close(fd);
    if (ok) return true;
  }
  return false;
}

bool X11DisplayAnswers(const std::string& display) {
  // ":N", ":N.S" and "unix:N" are local servers we can test without a library; a display on
  // another host is taken on trust.
  std::string host = display.substr(0, display.rfind(':'));
  if (display.find(':') == std::string::npos) return false;
  if (!host.empty() && host != "unix") return true;
  int number = std::atoi(display.c_str() + display.rfind(':') + 1);
  return LocalXServerAnswers(number);
}

// X11 and Wayland desktops keep this choice in the window manager, out of a program's
// reach: the setting reads as off and cannot be changed.
class LinuxDesktop : public Desktop {
 public:
  DragSetting DragFullWindows() const override { return DragSetting::kOff; }
  bool SetDragFullWindows(DragSetting) override { return false; }
};

}  // namespace

Desktop& SystemDesktop() {
  static LinuxDesktop desktop;
  return desktop;
}

bool DisplayAvailable() {
  const char* qpa = std::getenv("QT_QPA_PLATFORM");
  if (qpa && *qpa) return true;
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if (wayland && *wayland) return true;
  const char* display = std::getenv("DISPLAY");
  return display && *display && X11DisplayAnswers(display);
}

}  // namespace verdan::platform
