// Chained Ogg: files joined end to end, each link with its own headers and a timeline that
// starts again at zero. The links found by walking the page headers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace engine {

struct OggLink {
    std::int64_t pos;    // byte where the link's first page starts
    std::int64_t offset; // added to the link's timestamps (granule units) to continue the one before
};

// One entry per link, the first at byte 0 and offset 0.
std::vector<OggLink> scanOggLinks(const std::string& path);

} // namespace engine
