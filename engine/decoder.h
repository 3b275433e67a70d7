// One audio file decoded to interleaved float frames at its own rate and channel count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/chapters.h"

namespace engine {

class Decoder {
public:
    // nullptr when the file cannot be decoded (missing, a folder, not audio, truncated beyond use).
    static std::unique_ptr<Decoder> open(const std::string& path);
    virtual ~Decoder() = default;

    virtual int sampleRate() const = 0;
    virtual int channels() const = 0;
    // Exact number of frames the file decodes to.
    virtual std::int64_t lengthFrames() const = 0;
    // The file's chapters, read with its header; empty for a file without (usable) chapters.
    virtual const std::vector<Chapter>& chapters() const = 0;
    // The file's size in bytes.
    virtual std::int64_t fileSize() const = 0;
    // Frame index that the next read() returns first.
    virtual std::int64_t position() const = 0;

    // Decodes up to maxFrames frames into out (interleaved, channels() floats per frame).
    // Returns the frames written; 0 only at the end of the file (or after an unrecoverable error).
    virtual std::size_t read(float* out, std::size_t maxFrames) = 0;
    // Sample-exact: the next read() starts at exactly this frame. False (and nothing changes)
    // for a frame below 0 or beyond lengthFrames().
    virtual bool seek(std::int64_t frame) = 0;
};

} // namespace engine
