// The line a backup or restore leaves in the log of runs (app/run_log.h). A run makes one
// RunRecord on its thread, tells it the archive and the result, and the line is written
// when the record goes; a message the run shows meanwhile (through ShowRunMessage) is kept
// as the reason should the run fail.
//
// Thread-safety: a record belongs to the thread that made it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace verdan::archive {

class RunRecord {
 public:
  // `workDir` is where the log lives (the program's working directory).
  RunRecord(std::string command, std::string workDir);
  ~RunRecord();
  RunRecord(const RunRecord&) = delete;
  RunRecord& operator=(const RunRecord&) = delete;

  // The archive the run writes or reads; a relative path is taken against the current
  // directory now.
  void SetArchive(const std::string& path);
  // How the run ended and how many files it packed or restored; the run's time ends here
  // (a closing message waiting for the user does not count).
  void SetResult(bool ok, std::int64_t files);
  // No line for this run (the user declined it before anything was done).
  void Cancel() { cancelled_ = true; }
  const std::string& archive() const { return archive_; }

  // A message shown on this thread: the reason of the current record's failure.
  static void Note(const std::string& text);
  // Something the current record's run left undone although it succeeded; the log line
  // tells it after "OK".
  static void Warn(const std::string& text);

 private:
  std::string command_;
  std::string workDir_;
  std::string archive_;
  std::string reason_;
  std::string warning_;
  std::int64_t files_ = 0;
  bool ok_ = false;
  bool cancelled_ = false;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point finished_{};
  RunRecord* outer_ = nullptr;
};

}  // namespace verdan::archive
