// The two records the player keeps on disk, byte for byte as in memory.
#pragma once

#include <cstdint>

// One book: the file being played and the resume position, 272 bytes.
struct BookRecord {
    char path[260];          // file system bytes, NUL-terminated; empty = no book
    std::uint8_t reserved[4];
    std::int64_t position;   // little-endian; bytes of the decoded stream (seconds x rate x channels)
};
static_assert(sizeof(BookRecord) == 272);

// Nine little-endian 32-bit integers, 36 bytes.
struct SettingsRecord {
    std::int32_t currentBook;
    std::int32_t showRemaining;
    std::int32_t reserved1;
    std::int32_t reserved2;
    std::int32_t effectPos[4]; // sliders 50..53
    std::int32_t volumePos;    // slider 54
};
static_assert(sizeof(SettingsRecord) == 36);

constexpr int kBookCount = 5;
constexpr int kBookSlotSize = 272;
