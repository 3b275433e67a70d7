// A data file that exists but cannot be used is reported once and then left alone.
#pragma once

#include <string>

// Shows the warning for path with the reason of errno value `error`.
void WarnDataFileUnusable(const std::string& path, int error);
