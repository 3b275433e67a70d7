// Interleaved samples in a ring: appended at the back, dropped from either end. Nothing moves
// when the front goes, and the storage, once grown to the most ever kept, is reused in place:
// memory that stays warm costs far less than copies through fresh memory.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace engine {

class SampleRing {
public:
    std::size_t size() const { return size_; }
    float& operator[](std::size_t i) { return storage_[(front_ + i) & mask_]; }

    void append(const float* samples, std::size_t count) {
        reserve(size_ + count);
        write(size_, samples, count);
        size_ += count;
    }
    void dropFront(std::size_t count) {
        count = std::min(count, size_);
        front_ = (front_ + count) & mask_;
        size_ -= count;
    }
    // Keeps the first count samples.
    void truncate(std::size_t count) { size_ = std::min(count, size_); }
    void clear() { front_ = size_ = 0; }
    // count samples from index `from` on into out.
    void copyOut(std::size_t from, std::size_t count, float* out) const {
        const std::size_t at = (front_ + from) & mask_;
        const std::size_t first = std::min(count, storage_.size() - at);
        std::copy_n(storage_.begin() + static_cast<std::ptrdiff_t>(at), first, out);
        std::copy_n(storage_.begin(), count - first, out + first);
    }
    // Overwrites the samples from index `from` on (all within size()) with count from in.
    void overwrite(std::size_t from, const float* in, std::size_t count) { write(from, in, count); }

private:
    void write(std::size_t from, const float* in, std::size_t count) {
        if (count == 0)
            return;
        const std::size_t at = (front_ + from) & mask_;
        const std::size_t first = std::min(count, storage_.size() - at);
        std::copy_n(in, first, storage_.begin() + static_cast<std::ptrdiff_t>(at));
        std::copy_n(in + first, count - first, storage_.begin());
    }
    // Room for `count` samples: the storage doubles (a power of two, for the mask), unwrapped.
    void reserve(std::size_t count) {
        if (count <= storage_.size())
            return;
        std::size_t capacity = std::max<std::size_t>(storage_.size(), 4096);
        while (capacity < count)
            capacity *= 2;
        std::vector<float> grown(capacity);
        copyOut(0, size_, grown.data());
        storage_.swap(grown);
        mask_ = capacity - 1;
        front_ = 0;
    }

    std::vector<float> storage_;
    std::size_t mask_ = 0;
    std::size_t front_ = 0;
    std::size_t size_ = 0;
};

} // namespace engine
