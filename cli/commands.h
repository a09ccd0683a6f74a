// The program's commands without a screen. Each takes the arguments after its name and
// returns the process exit status: 0 success, 1 an error message was shown (or the command's
// success message was not), 2 a usage error, 3 the program ended through a table error.
#pragma once

#include <string>
#include <vector>

namespace verdan::cli {

using Args = std::vector<std::string>;

constexpr int kExitOk = 0;
constexpr int kExitMessage = 1;
constexpr int kExitUsage = 2;
constexpr int kExitEnded = 3;

int SettingsCommand(const Args& args);
int SendCommand(const Args& args);
int BackupCommand(const Args& args);
int RestoreCommand(const Args& args);
int VerifyCommand(const Args& args);
int LogCommand(const Args& args);
int ListCommand(const Args& args);
int ArchiveCommand(const Args& args);
int FilesCommand(const Args& args);

}  // namespace verdan::cli
