#include "gui/gui.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QSessionManager>
#include <QTranslator>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/program.h"
#include "app/startup.h"
#include "gui/artwork.h"
#include "gui/qt_ui.h"
#include "gui/session.h"
#include "net/socket_layer.h"
#include "platform/desktop.h"
#include "platform/profile.h"

namespace verdan::gui {
namespace {

bool X11DisplayAnswers(const std::string& display) {
  // ":N", ":N.S" and "unix:N" are local servers we can test without a library; a display on
  // another host is taken on trust.
  std::string host = display.substr(0, display.rfind(':'));
  if (display.find(':') == std::string::npos) return false;
  if (!host.empty() && host != "unix") return true;
  int number = std::atoi(display.c_str() + display.rfind(':') + 1);
  return platform::LocalDisplayServerAnswers(number);
}

}  // namespace

bool DisplayAvailable() {
  const char* qpa = std::getenv("QT_QPA_PLATFORM");
  if (qpa && *qpa) return true;
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if (wayland && *wayland) return true;
  const char* display = std::getenv("DISPLAY");
  return display && *display && X11DisplayAnswers(display);
}

bool InstallQtTranslation(QCoreApplication& application) {
  // The program speaks Croatian whatever the desktop's language: Qt's own dialogs too.
  auto* translator = new QTranslator(&application);
  if (!translator->load(QLocale(QLocale::Croatian, QLocale::Croatia), "qtbase", "_",
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete translator;
    return false;
  }
  return QCoreApplication::installTranslator(translator);
}

int Run(int argc, char** argv, const std::vector<std::string>& rest) {
  bool definitions = std::find(rest.begin(), rest.end(), "--definitions") != rest.end();
  if (!DisplayAvailable()) {
    std::fprintf(stderr,
                 "verdan: nema zaslona za prozore (DISPLAY nije postavljen ili se X poslužitelj "
                 "ne javlja).\n"
                 "verdan: bez zaslona rade naredbe, npr. 'verdan backup dest' (verdan --help).\n");
    return 2;
  }
  QApplication application(argc, argv);
  QApplication::setApplicationName("VERDAN_pro");
  QApplication::setApplicationVersion("3.8.4");
  QApplication::setWindowIcon(ProgramIcon());  // the default icon of every window
  // When the desktop session ends, the socket layer closes its connections down at once.
  QObject::connect(&application, &QGuiApplication::commitDataRequest, [](QSessionManager&) {
    net::DefaultNetDLL().PostToCallBackWindow(platform::Event{net::kWmEndSession});
  });
  InstallQtTranslation(application);
  QtUi ui;
  // A settings file that cannot be used is told once, in a box of the window that met it.
  platform::SetProfileNotice([&ui](const std::string&, const std::string& text) {
    platform::MessageSpec box;
    box.text = text;
    box.icon = platform::Icon::kExclamation;
    ui.Message(box);
  });
  app::Program program(ui);
  int status = 0;
  if (!definitions) {
    status = RunSession(program, ui, platform::SystemDesktop());
  } else {
    // The archive-definition list, which no window on screen offers, opened with the frame.
    Session session(program, ui);
    status = app::RunProgram(program, platform::SystemDesktop(), [&] {
      session.RunFrame([&](FrameView&) { program.windows.Start(session.DefinitionsProcedure()); });
    });
  }
  platform::SetProfileNotice({});
  return status;
}

}  // namespace verdan::gui
