#include "archive/run_record.h"

#include "app/run_log.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace verdan::archive {
namespace {

thread_local RunRecord* t_current = nullptr;
thread_local std::string* t_reason = nullptr;
thread_local std::string* t_warning = nullptr;

}  // namespace

RunRecord::RunRecord(std::string command, std::string workDir)
    : command_(std::move(command)), workDir_(std::move(workDir)), outer_(t_current) {
  t_current = this;
  t_reason = &reason_;
  t_warning = &warning_;
}

RunRecord::~RunRecord() {
  t_current = outer_;
  t_reason = nullptr;
  t_warning = nullptr;
  if (cancelled_) return;
  app::RunLogEntry entry;
  entry.command = command_;
  entry.archive = archive_;
  entry.files = ok_ ? files_ : 0;
  platform::FileInfo info;
  if (ok_ && !archive_.empty() && platform::InfoAt(archive_, info))
    entry.bytes = static_cast<std::int64_t>(info.size);
  const auto end = finished_ == std::chrono::steady_clock::time_point{}
                       ? std::chrono::steady_clock::now()
                       : finished_;
  entry.seconds = std::chrono::duration<double>(end - started_).count();
  entry.ok = ok_;
  entry.reason = reason_;
  entry.warning = warning_;
  for (std::string* text : {&entry.reason, &entry.warning})
    for (char& c : *text)
      if (c == '|') c = ' ';
  app::AppendRunLog(entry, workDir_.empty() ? std::string(app::kRunLogFile)
                                            : workDir_ + platform::kSeparator + app::kRunLogFile);
}

void RunRecord::SetArchive(const std::string& path) {
  archive_ = path;
  if (!archive_.empty() && !platform::IsAbsolutePath(archive_))
    archive_ = platform::CurrentDirectory() + platform::kSeparator + archive_;
}

void RunRecord::SetResult(bool ok, std::int64_t files) {
  ok_ = ok;
  files_ = files;
  finished_ = std::chrono::steady_clock::now();
}

void RunRecord::Note(const std::string& text) {
  if (t_reason && !text.empty()) *t_reason = text;
}

}  // namespace verdan::archive

namespace verdan::archive {

void RunRecord::Warn(const std::string& text) {
  if (t_warning == nullptr || text.empty()) return;
  if (!t_warning->empty()) *t_warning += "; ";
  *t_warning += text;
}

}  // namespace verdan::archive
