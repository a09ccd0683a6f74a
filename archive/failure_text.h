// The error message of a failed archive run or restore: the number the program has always
// shown ("GREŠKA : -2"), and on the lines below it why, in words, with the file concerned and
// the system's own error text ("Disk je pun: /mnt/e/PETAK.zip (No space left on device)").
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <string>

#include "zip/zip_component.h"

namespace verdan::archive {

// What the run knows besides the failure: the external disk it wrote to, if any.
struct FailureContext {
  char diskLetter = 0;   // 0: not a run to the external disk
  std::string diskRoot;  // the directory the letter stands for
};

// The reason alone, "" when the number says enough (nothing to archive or to restore, which
// an earlier message has already reported).
std::string FailureReason(const ZipFailure& failure, const FailureContext& context = {});

// "GREŠKA : " + `result`, then "|" + the reason when there is one.
std::string ErrorMessage(std::int32_t result, const ZipFailure& failure,
                         const FailureContext& context = {});

// A byte count for a message: "512 KB", "12,3 MB", "4,0 GB".
std::string SizeText(std::uint64_t bytes);

}  // namespace verdan::archive
