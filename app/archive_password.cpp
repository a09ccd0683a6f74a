#include "app/archive_password.h"

#include "app/tables.h"
#include "platform/credentials.h"

namespace verdan::app {

bool LoadArchivePassword(std::string& password, std::string& problem) {
  problem.clear();
  bool found = false;
  if (platform::ReadSecret(platform::kCredentialsFile, kArchivePasswordSecret, password, found,
                           problem))
    return true;
  password.clear();
  return false;
}

bool StoreArchivePassword(const std::string& password, std::string& problem) {
  problem.clear();
  return platform::WriteSecret(platform::kCredentialsFile, kArchivePasswordSecret, password,
                               problem);
}

}  // namespace verdan::app
