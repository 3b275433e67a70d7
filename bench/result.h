// One figure of a benchmark, in the line scripts/bench.sh collects:
// RESULT<TAB>figure<TAB>value<TAB>unit<TAB>target (target like "<300", ">=1", or "-").
#pragma once

#include <cstdio>

inline void Result(const char* figure, double value, const char* unit, const char* target = "-") {
    std::printf("RESULT\t%s\t%.3f\t%s\t%s\n", figure, value, unit, target);
    std::fflush(stdout);
}
