#pragma once
// One arena of bytes per catalogue: every text of every entry is copied in
// once and stays put, so rows can point at their texts and a million entries
// cost a few hundred allocations, not millions. There is no freeing but all
// at once.
//
// Not synchronised: filled by one builder, then only read.

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace veldra {

class TextArena {
public:
    // Room for `size` bytes that stays valid as long as the arena.
    char* allocate(std::size_t size) {
        if (size > left_) {
            // A text too large for a shared chunk gets one of its own; the
            // current chunk keeps serving the small ones.
            if (size > kChunk / 4) return add_chunk(size);
            cursor_ = add_chunk(kChunk);
            left_ = kChunk;
        }
        char* at = cursor_;
        cursor_ += size;
        left_ -= size;
        return at;
    }

    // A copy of `text` in the arena.
    std::string_view keep(std::string_view text) {
        if (text.empty()) return {};
        char* at = allocate(text.size());
        std::memcpy(at, text.data(), text.size());
        return {at, text.size()};
    }

    std::size_t bytes() const noexcept { return held_; }

private:
    static constexpr std::size_t kChunk = std::size_t{1} << 20;

    char* add_chunk(std::size_t size) {
        chunks_.push_back(std::make_unique_for_overwrite<char[]>(size));
        held_ += size;
        return chunks_.back().get();
    }

    std::vector<std::unique_ptr<char[]>> chunks_;
    char* cursor_ = nullptr;
    std::size_t left_ = 0;
    std::size_t held_ = 0;
};

}  // namespace veldra
