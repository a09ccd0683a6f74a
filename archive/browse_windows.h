// The two list windows with their archive runs: the archive-definition list, whose
// "&ARHIVIRAJ !" archives into the highlighted definition's path, and the file list, whose
// "Arhiviraj !" archives into the weekday archive of the current directory (and whose hidden
// "ARHIVIRAJ" would archive the listed files into "OdPodaci.zip").
//
// Thread-safety: the windows are made on any thread and run on their own (app/browse.h); the
// runs take the runs' lock of `shared`, which must outlive the windows.
#pragma once

#include <memory>

#include "app/browse.h"
#include "app/program.h"
#include "archive/archive_runs.h"

namespace verdan::archive {

std::shared_ptr<app::BrowseWindow> MakeDefinitionBrowse(app::Program& program,
                                                        ArchiveShared& shared);
std::shared_ptr<app::BrowseWindow> MakeFileListBrowse(app::Program& program, ArchiveShared& shared);

}  // namespace verdan::archive
