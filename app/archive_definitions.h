// Archive definitions: the list "POPIS ARHIVA" over table `arhive` (ordered by path) and the
// form that inserts, changes and deletes one definition. An insert numbers the record at once
// (highest ARH:ID + 1) and adds it, so that the number is taken; leaving the insert any way
// but completed deletes that record again.
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
