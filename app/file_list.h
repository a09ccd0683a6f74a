// The file list: the list " ARHIVIRANJE ODABRANIH DATOTEKA" over table `datoteke` (ordered by
// path) and the form that inserts, changes and deletes one entry. An entry names a data file
// by its path without the ".tps" extension, as the runs that archive the listed files read it.
// Unlike a definition, an entry is added only when its form is completed.
//
// Thread-safety: the form runs on its list's thread (see app/form_window.h); the definition
// is plain data; AddFileListEntry works on the program-wide `datoteke` buffer.
#pragma once

#include <memory>
#include <string>

#include "app/browse.h"
#include "app/form_window.h"

namespace verdan::app {

inline constexpr const char* kFileListTitle = " ARHIVIRANJE ODABRANIH DATOTEKA";
inline constexpr const char* kFileFormCaption = "  ODABIR  datoteka za ARHIV/DEARHIV.";
inline constexpr const char* kFindDataFileTitle = "Odaberi datoteku !";
inline constexpr const char* kDataFileFilter = "Podatkovne datoteke|*.tps";

enum FileFormControl : int {
  kFfName = 1,
  kFfFind,
  kFfStatus,
  kFfDate,
  kFfFlag,
  kFfAccept,
  kFfCancel,
};

// The entry for a chosen data file: its path without the ".tps" extension (any letter case).
std::string FileListEntryOf(const std::string& path);

// Adds the `datoteke` buffer as a new entry. A path already listed (in any letter case) is
// refused with message 24 naming DAT:KeyIme, any other failure with message 14. Returns the
// data layer's code (0 added).
int AddFileListEntry(Program& program);

class FileListForm : public FormWindow {
 public:
  explicit FileListForm(Program& program);

 protected:
  Opening Open() override;
  bool Accept(int control, const std::string& text) override;
  void Pressed(int control) override;
  void Show() override;
  void Leave() override;

 private:
  void Delete();
  void Complete();
  void Find();

  DatRecord copy_;
  bool holds_ = false;
};

BrowseDefinition FileListBrowse();

}  // namespace verdan::app
