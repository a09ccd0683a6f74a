// Restoring the data files from an archive: choosing the archive (the archiving window's
// icon button) and extracting its ".tps" entries into the source directory after a warning
// that names the files to be replaced. The working files are replaced all or none; a restore
// that a killed process left half done is undone at the start of the next run, restore, or
// archiving window.
//
// Thread-safety: both take `ArchiveShared::runLock` for their whole length, like the archive
// runs, because the choice changes the current directory and the restore uses the Zip
// component's unzip settings and closes the `datoteke` table.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/program.h"
#include "archive/archive_runs.h"
#include "zip/restore_commit.h"

namespace verdan::archive {

inline constexpr const char* kChooseArchiveTitle = "Odaberi arhiv datoteku";
inline constexpr const char* kChooseArchiveFilter = "ZIP arhive|*.zip";
// The longest archive path the run buffer holds (see kPathLength).
inline constexpr std::size_t kChooseArchiveNameLength = 126;
// Followed by the chosen path that does not fit.
inline constexpr const char* kArchiveNameTooLongText =
    "Ime datoteke je predugo (najviše 126 znakova):|";

inline constexpr const char* kRestoreWarningText =
    "Pazite da ne prebrišete trenutne radne podatke!! |Koristiti uz konzultaciju sa osobljem za "
    "podršku!";
inline constexpr const char* kRestoreWarningCaption = "PAŽNJA!";
inline constexpr const char* kRestoreWarningButtons = "&Raspakiraj|&Odustani";
inline constexpr const char* kNoSuchArchiveText = "Ne postoji ARHIV sa tim imenom !";
inline constexpr const char* kNothingToRestoreText =
    "Nema ništa za dearhiviranje u odabranoj arhivi !";
inline constexpr const char* kBadRestoreTargetText = "Pogrešan direktorij za dearhiviranje !";
inline constexpr const char* kRestoreSuccessText = " Dearhiviranje uspješno završilo !";
// Lines the warning adds below its own two, followed by the file names.
inline constexpr const char* kWarningReplacesText = "Zamijenit će se radne datoteke u ";
inline constexpr const char* kWarningAddsText = "Dodat će se:";
inline constexpr const char* kWarningTablesText = "Među njima su tablice programa: ";
inline constexpr const char* kWarningSettingsText =
    "PEMAIL.TPS vraća i ranije postavke arhiviranja i e-mail prijavu.";
// Shown when an interrupted restore of the source directory was found, followed by it.
inline constexpr const char* kRestoreUndoneText =
    "Prethodno dearhiviranje bilo je prekinuto; radne datoteke vraćene su kakve su bile prije "
    "njega:|";
inline constexpr const char* kRestoreNotUndoneText =
    "Prethodno prekinuto dearhiviranje ne može se poništiti; ne mijenjajte radne datoteke i "
    "pozovite osoblje za podršku:|";

// An encrypted archive that opens neither with the stored archive password nor with the
// built-in one: the user is asked for its password (a few times at most).
inline constexpr const char* kArchivePasswordTitle = "Zaporka arhive";
inline constexpr const char* kAskArchivePasswordText =
    "Arhiva je šifrirana i ne otvara se spremljenom zaporkom.|Upišite zaporku arhive:";
inline constexpr const char* kAskArchivePasswordAgainText =
    "Zaporka nije ispravna.|Upišite zaporku arhive:";
inline constexpr int kArchivePasswordAttempts = 3;
// The end of a restore no password opened; followed by the archive.
inline constexpr const char* kWrongArchivePasswordText =
    "Arhiva je šifrirana, a zaporka nije ispravna ili nije upisana. Ništa nije raspakirano, "
    "radne datoteke su kakve su bile:|";
// The stored password could not be read; a restore goes on without it (and asks), followed
// by the reason.
inline constexpr const char* kStoredPasswordUnreadableText =
    "Spremljena zaporka arhive ne može se pročitati:|";

// The passwords to open an archive with, in order: the stored archive password (what this
// office's archives are encrypted under), then the built-in one (archives made without it).
// A credentials file that cannot be trusted is skipped, with the reason in `problem`.
std::vector<std::string> KnownArchivePasswords(const app::Program& program, std::string& problem);

// Runs `attempt` with each known password and then, while it reports a wrong password
// (kZipBadPassword), with what the user types in the password dialog, at most
// kArchivePasswordAttempts times; a cancelled or empty answer ends the asking. A stored
// password that could not be read is said only when the archive needs a password. Returns
// the last attempt's result.
std::int32_t WithArchivePassword(app::Program& program,
                                 const std::function<std::int32_t(const std::string&)>& attempt);

// Shows the file-open dialog in the destination directory and makes the chosen file the
// archive to restore (`ZIPARCHIVE`) and the active archive; a cancelled dialog blanks both.
// The current directory is the start directory again afterwards.
void ChooseArchive(app::Program& program, ArchiveShared& shared);

// Files an undone restore put back, and those it left because they changed since; each list
// follows its line.
inline constexpr const char* kRestorePutBackText = "Vraćene datoteke: ";
inline constexpr const char* kRestoreLeftAloneText =
    "Promijenjene nakon prekida, ostavljene kakve jesu: ";

// Undoes a restore into the source directory that a killed process left half done, and
// says so (in a message and in the log of runs), naming the files it put back and those it
// left because they changed since. The caller holds `runLock`; `held`, when given, is this
// process's lock on the source directory.
void RepairInterruptedRestore(app::Program& program, const DirectoryLock* held = nullptr);

// Takes `lock` on the source directory for a run or restore, waiting a bounded time for
// another one there; says so and returns false when it stays busy.
bool LockSourceDirectory(app::Program& program, DirectoryLock& lock);

// The restore warning for `archive` restored into `target`: the two lines of the warning,
// then the files the archive will replace and add, naming the program's own tables.
std::string RestoreWarningText(const std::string& archive, const std::string& target);

// Asks for confirmation, then extracts the ".tps" entries of `ZIPARCHIVE` into `POCDIR`,
// replacing the working files (all or nothing). Returns true when the success message
// " Dearhiviranje uspješno završilo !" was shown; false when the user declined (nothing
// changed) or an error message was shown.
bool RestoreArchive(app::Program& program, ArchiveShared& shared);

}  // namespace verdan::archive
