#include "platform/credentials_format.h"

#include <mutex>

#include "platform/credentials.h"

namespace verdan::platform::credentials {
namespace {

std::string Escape(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else
      out += c;
  }
  return out;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    out += c == 'n' ? '\n' : c == 'r' ? '\r' : c;
  }
  return out;
}

}  // namespace

bool ValidKey(const std::string& key) {
  if (key.empty()) return false;
  for (char c : key) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

Secrets Parse(const std::string& text) {
  Secrets secrets;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    std::string line =
        text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? text.size() : end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    secrets[line.substr(0, eq)] = Unescape(line.substr(eq + 1));
  }
  return secrets;
}

std::string Compose(const Secrets& secrets, const std::string& rights) {
  std::string text =
      "# VERDAN: tajni podaci (zaporke). Datoteka smije biti čitljiva samo vlasniku (" + rights +
      ");\n# ne stavlja se u arhive.\n";
  for (const auto& [key, value] : secrets) text += key + "=" + Escape(value) + "\n";
  return text;
}

std::string NotTrusted(const std::string& file, const std::string& why) {
  return "Datoteka s tajnim podacima " + file + " " + why +
         "; iz nje se ništa ne čita niti se u nju piše.";
}

}  // namespace verdan::platform::credentials

namespace verdan::platform {
namespace {

std::mutex g_mutex;  // one reader or writer of a credentials file at a time in this process

}  // namespace

bool ReadSecret(const std::string& file, const std::string& key, std::string& value, bool& found,
                std::string& problem) {
  std::lock_guard lock(g_mutex);
  value.clear();
  found = false;
  problem.clear();
  credentials::Secrets secrets;
  bool exists = false;
  if (!credentials::Load(file, secrets, exists, problem)) return false;
  auto it = secrets.find(key);
  if (it != secrets.end()) {
    found = true;
    value = it->second;
  }
  return true;
}

bool WriteSecret(const std::string& file, const std::string& key, const std::string& value,
                 std::string& problem) {
  std::lock_guard lock(g_mutex);
  problem.clear();
  if (!credentials::ValidKey(key)) {
    problem = "Neispravno ime tajnog podatka: " + key;
    return false;
  }
  credentials::Secrets secrets;
  bool exists = false;
  if (!credentials::Load(file, secrets, exists, problem)) return false;
  secrets[key] = value;
  return credentials::Store(file, secrets, problem);
}

}  // namespace verdan::platform
