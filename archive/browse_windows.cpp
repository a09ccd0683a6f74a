#include "archive/browse_windows.h"

#include "app/archive_definitions.h"
#include "app/file_list.h"

namespace verdan::archive {

std::shared_ptr<app::BrowseWindow> MakeDefinitionBrowse(app::Program& program,
                                                        ArchiveShared& shared) {
  auto run = [&program, &shared](const app::BrowseRunRequest& r) {
    BrowseHooks hooks;
    hooks.redraw = r.redraw;
    DefinitionRun(program, shared, r.option, r.selectedPath, hooks);
  };
  return std::make_shared<app::BrowseWindow>(program, app::DefinitionBrowse(), run);
}

std::shared_ptr<app::BrowseWindow> MakeFileListBrowse(app::Program& program,
                                                      ArchiveShared& shared) {
  auto run = [&program, &shared](const app::BrowseRunRequest& r) {
    BrowseHooks hooks;
    hooks.redraw = r.redraw;
    if (r.button == app::BrowseButton::kListRun)
      ListRun(program, shared, hooks);
    else
      WeekdayRun(program, shared, r.option, hooks);
  };
  return std::make_shared<app::BrowseWindow>(program, app::FileListBrowse(), run);
}

}  // namespace verdan::archive
