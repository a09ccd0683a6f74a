#include "gui/gui.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QSessionManager>
#include <QTranslator>
#include <algorithm>
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
