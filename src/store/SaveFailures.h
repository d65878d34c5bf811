#pragma once
// Saves that failed anywhere in the process. Every table and INI save reports its failure here
// with the file and the reason, whoever called it (the core's periodic save, a script, an
// admin command), and the kernel's main loop drains the reports into its log and statistics:
// a full disk or a lost permission is seen even where the caller has no log of its own.
// Any thread may report; the kept reports are bounded, the count is not.
#include <cstdint>
#include <string>
#include <vector>

namespace store {

// Reports kept until taken; further ones are only counted.
inline constexpr size_t kMaxSaveReports = 64;

// `err` is the errno of the failure (0 when there is none to tell).
void ReportSaveFailure(const std::string& path, int err);
// "PATH: reason" for each report since the last call, oldest first; `dropped` (when given) gets
// how many were counted but not kept.
std::vector<std::string> TakeSaveFailures(uint64_t* dropped = nullptr);
// Every failure reported since the process started.
uint64_t SaveFailureCount();

}  // namespace store
