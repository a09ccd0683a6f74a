#include "platform/ui.h"

namespace verdan::platform {

unsigned ShowText(Ui& ui, const std::string& text) {
  MessageSpec boxSpec;
  boxSpec.text = text;
  return ui.Message(boxSpec);
}

}  // namespace verdan::platform
