// printf-style formatting into a QString: the status and title texts use C's exact rules
// ("%0.2d" zero-fills to two digits).
#pragma once

#include <QString>

QString FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
