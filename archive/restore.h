// Restoring the data files from an archive: choosing the archive (the archiving window's
// icon button) and extracting its ".tps" entries into the source directory after a warning.
//
// Thread-safety: both take `ArchiveShared::runLock` for their whole length, like the archive
// runs, because the choice changes the current directory and the restore uses the Zip
// component's unzip settings and closes the `datoteke` table.
#pragma once

#include "app/program.h"
#include "archive/archive_runs.h"

namespace verdan::archive {

inline constexpr const char* kChooseArchiveTitle = "Odaberi arhiv datoteku";
inline constexpr const char* kChooseArchiveFilter = "ZIP arhive|*.zip";
inline constexpr std::size_t kChooseArchiveNameLength = 79;

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

// Shows the file-open dialog in the destination directory and makes the chosen file the
// archive to restore (`ZIPARCHIVE`) and the active archive; a cancelled dialog blanks both.
// The current directory is the start directory again afterwards.
void ChooseArchive(app::Program& program, ArchiveShared& shared);

// Asks for confirmation, then extracts the ".tps" entries of `ZIPARCHIVE` into `POCDIR`,
// replacing the working files (all or nothing). Returns true when the success message
// " Dearhiviranje uspješno završilo !" was shown; false when the user declined (nothing
// changed) or an error message was shown.
bool RestoreArchive(app::Program& program, ArchiveShared& shared);

}  // namespace verdan::archive
