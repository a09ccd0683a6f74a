// The program's windows on a screen. `Run` is what `verdan` does when it is given no
// command: it opens the main frame in the current directory and returns the exit status
// when the frame has closed (0; 3 when a table error ended the program; 2 when there is no
// display to open windows on, which it says on standard error). With "--definitions" among
// `rest` it also opens the archive-definition list. Call on the main thread, once; the Qt GUI
// thread is the calling thread.
#pragma once

#include <string>
#include <vector>

class QCoreApplication;

namespace verdan::gui {

int Run(int argc, char** argv, const std::vector<std::string>& rest);

// True when a display is there to open windows on: an X server that accepts a connection,
// a Wayland socket, or a Qt platform chosen explicitly (QT_QPA_PLATFORM).
bool DisplayAvailable();

// Installs Qt's own Croatian translation (file dialogs, standard buttons) when it is
// installed; false when it is not.
bool InstallQtTranslation(QCoreApplication& application);

}  // namespace verdan::gui
