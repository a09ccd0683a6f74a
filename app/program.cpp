#include "app/program.h"

#include "platform/keyed_file.h"

namespace verdan::app {

TableSlot::TableSlot(std::string stored, std::string lbl)
    : storedName(std::move(stored)), label(std::move(lbl)) {}
TableSlot::~TableSlot() = default;

Program::Program(platform::Ui& u) : ui(u) {}
Program::~Program() = default;

void Program::End(const std::string& text) {
  {
    std::lock_guard lock(endMutex_);
    if (ended_.load()) return;
    endText_ = text;
    ended_ = true;
  }
  platform::ShowText(ui, text);
}

std::string Program::EndText() const {
  std::lock_guard lock(endMutex_);
  return endText_;
}

}  // namespace verdan::app
