#pragma once
// The statistical filter's [BAYES] settings as the tools read them from morvane.ini, so that
// a tool's filter judges as the kernel's does.
#include <string>

#include "checks/BayesFilter.h"

namespace tools {

// Overrides what `settings` holds by the keys set in the file at `path`; a missing file leaves
// it be.
void LoadBayesSettings(const std::string& path, checks::BayesFilterSettings& settings);

}  // namespace tools
