// The program's windows on a screen. `Run` is what `verdan` does when it is given no
// command: it opens the main frame in the current directory and returns the exit status
// when the frame has closed (0; 3 when a table error ended the program). The caller has made
// sure that there is a display (platform::DisplayAvailable). With "--definitions" among
// `rest` it also opens the archive-definition list. Call on the main thread, once; the Qt GUI
// thread is the calling thread.
#pragma once

#include <string>
#include <vector>

class QCoreApplication;

namespace verdan::gui {

int Run(int argc, char** argv, const std::vector<std::string>& rest);

// Installs Qt's own Croatian translation (file dialogs, standard buttons) when it is
// installed; false when it is not.
bool InstallQtTranslation(QCoreApplication& application);

}  // namespace verdan::gui
