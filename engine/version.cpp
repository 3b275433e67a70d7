#include "engine/version.h"

#include <cstdint>

extern "C" {
#include <libavutil/avutil.h>
}

const char* TELLWICK_FFmpegVersion() { return av_version_info(); }
