// Placeholder until the data layer lands.
#pragma once
namespace verdan::platform {
class KeyedFile {
 public:
  virtual ~KeyedFile() = default;
};
}  // namespace verdan::platform
