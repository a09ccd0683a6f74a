#include "platform/ui.h"

namespace verdan::platform {

unsigned ShowText(Ui& ui, const std::string& text) {
  MessageSpec spec;
  spec.text = text;
  return ui.Message(spec);
}

}  // namespace verdan::platform
