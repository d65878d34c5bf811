#pragma once
// The statistical filter's [BAYES] settings as the tools read them from morvane.ini, so that
// a tool's filter judges as the kernel's does.
#include <string>

#include "checks/BayesFilter.h"
#include "store/FileINI.h"

namespace tools {

// Overrides what `settings` holds by the keys set in `ini` (empty when morvane.ini is missing).
void LoadBayesSettings(const store::CFileINI& ini, checks::BayesFilterSettings& settings);

}  // namespace tools
