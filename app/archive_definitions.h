// Archive definitions: the list "POPIS ARHIVA" over table `arhive` (ordered by path) and the
// form that inserts, changes and deletes one definition. An insert numbers the record at once
// (highest ARH:ID + 1) and adds it, so that the number is taken; leaving the insert any way
// but completed deletes that record again. Until then the stored record carries the tag of
// the process whose form holds it in ARH:STATUS ("~" + process tag), so that a record left by
// a process that was killed meanwhile is known at the next start
// (`RemoveAbandonedInserts`).
//
// Thread-safety: the form runs on its list's thread (see app/form_window.h); the definition
// is plain data.
#pragma once

#include <memory>
#include <string>

#include "app/browse.h"
#include "app/form_window.h"

namespace verdan::app {

inline constexpr const char* kDefinitionsTitle = "POPIS ARHIVA";
inline constexpr const char* kDefinitionFormCaption = "Datoteka za ARHIV/DEARHIV.";
inline constexpr const char* kDefinitionInsertCaption = "Adding a datoteke Record";
inline constexpr const char* kDefinitionChangeCaption = "Changing a datoteke Record";
inline constexpr const char* kChooseAnyFileTitle = "Odaberi bilo koju datoteku u direktoriju !";
inline constexpr const char* kChooseAnyFileFilter = "Odaberi datoteku u željenom direktoriju!|*.*";
inline constexpr const char* kFindFileTip = "Potrazi zeljenu datoteku !";

// Shown when a definition is saved without a path (and without a name to make one of).
inline constexpr const char* kNoDefinitionPathText = "Upišite naziv ili stazu arhiva !";
// The text shown when a definition's path `path` would put the archive straight into the
// root directory of the file system (a blank disk makes "\Tjedni.zip" of the name Tjedni).
std::string RootPathText(const std::string& path);
// True when the native path `native` names a file directly in the root directory (or the
// root itself), where an archive is never written.
bool LandsAtRoot(const std::string& native);

// Removes from `arhive` (the file in the current directory, through a connection of its
// own; the program's record buffer is not touched) the records that an insert added and
// whose process has ended in this boot without completing or cancelling it: blank but for
// number and date, with the mark above. Records of processes still running, or of another
// boot (another station may share the table), stay. Returns how many were removed; a
// missing table is left missing.
int RemoveAbandonedInserts(const Program& program);

// The definition form's controls, in window order.
enum DefinitionFormControl : int {
  kDfInputGroup = 1,
  kDfId,
  kDfDisk,
  kDfDiskHint,
  kDfName,
  kDfPathGroup,
  kDfPath,
  kDfChoose,
  kDfCreate,
  kDfDate,
  kDfStatus,
  kDfOk,
  kDfCancel,
};

class DefinitionForm : public FormWindow {
 public:
  explicit DefinitionForm(Program& program);

 protected:
  Opening Open() override;
  bool Accept(int control, const std::string& text) override;
  void Pressed(int control) override;
  void Show() override;
  void Leave() override;

 private:
  bool Number();
  void Delete();
  bool PathAcceptable();
  void Complete();
  void Choose();
  void Create();

  std::string remembered_;  // the directory current when the form opened
  ArhRecord copy_;
  std::vector<TableSlot*> held_;
  std::string added_;  // position of the record an insert added
};

// The list "POPIS ARHIVA" with its columns, buttons and run controls; `runner` does
// "&ARHIVIRAJ !".
BrowseDefinition DefinitionBrowse();

}  // namespace verdan::app
