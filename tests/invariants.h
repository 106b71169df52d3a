// The promise the tool keeps on any input, as checks shared by the fuzzers
// and the end-to-end tests: the only bytes that change are grey colour words
// (0x95, 0x95, 0x95, 0xFF) that become white (0xFF, 0xFF, 0xFF, 0xFF), and
// a walk through windows of a model does exactly what the whole walk does.
#ifndef IMG_WHITEN_TESTS_INVARIANTS_H
#define IMG_WHITEN_TESTS_INVARIANTS_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "material_walk.h"

namespace img_whiten::invariants {

inline bool is_grey_at(const unsigned char* bytes) {
    return bytes[0] == 0x95 && bytes[1] == 0x95 && bytes[2] == 0x95 && bytes[3] == 0xFF;
}

inline bool is_white_at(const unsigned char* bytes) {
    return bytes[0] == 0xFF && bytes[1] == 0xFF && bytes[2] == 0xFF && bytes[3] == 0xFF;
}

// True when every byte that differs between `before` and `after` (both
// `length` long) lies in a word that was grey and is now white. Counts in
// `*whitened` the words that went from grey to white.
inline bool changed_only_grey_words(const unsigned char* before, const unsigned char* after,
                                    std::size_t length, std::size_t* whitened) {
    *whitened = 0;
    for (std::size_t i = 0; i + 4 <= length; ++i) {
        if (is_grey_at(before + i) && is_white_at(after + i)) {
            ++*whitened;
        }
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (before[i] == after[i]) {
            continue;
        }
        bool explained = false;
        for (std::size_t start = i >= 3 ? i - 3 : 0; start <= i && start + 4 <= length; ++start) {
            if (is_grey_at(before + start) && is_white_at(after + start)) {
                explained = true;
                break;
            }
        }
        if (!explained) {
            return false;
        }
    }
    return true;
}

// Where a window ended, seen from the cursor the walk stopped at.
constexpr unsigned past_a_skipped_body = 1;  // inside the body the last step skipped
constexpr unsigned at_a_header = 2;          // right after a skipped body or a header stepped into
constexpr unsigned in_a_header = 4;
constexpr unsigned in_a_colour_word = 8;

struct window_walk {
    std::int64_t count = 0;
    bool stalled = false;     // a window the walk could not progress in
    unsigned boundaries = 0;  // the places where windows ended, ORed
};

// Walks `model` as the program does: each window starts at the 2048-byte
// sector holding the cursor (or at the cursor), is read into a buffer of its
// own of min(window_size, rest of the model) bytes, walked and written back,
// and its marks are moved onto `bits`, the model's map at `shift`.
inline window_walk walk_in_windows(std::vector<unsigned char>& model, std::size_t window_size,
                                   bool at_sector, unsigned shift,
                                   std::vector<std::uint64_t>& bits) {
    window_walk out;
    walk_cursor cursor;
    while (!cursor.ended && cursor.position < model.size()) {
        const std::uint64_t start = at_sector ? cursor.position / 2048 * 2048 : cursor.position;
        const auto length =
            static_cast<std::size_t>(std::min<std::uint64_t>(window_size, model.size() - start));
        const auto first = model.begin() + static_cast<std::ptrdiff_t>(start);
        std::vector<unsigned char> window(first, first + static_cast<std::ptrdiff_t>(length));
        std::vector<std::uint64_t> marks(change_map_words(length, shift), 0);
        change_map changes{marks.data(), shift};
        const std::uint64_t before = cursor.position;
        out.count += whiten_grey_materials_in_window(window.data(), start, length, model.size(),
                                                     &cursor, &changes);
        std::copy(window.begin(), window.end(), first);
        for (std::uint64_t block = 0; block < marks.size() * 64; ++block) {
            if ((marks[block / 64] >> (block % 64) & 1) != 0) {
                const std::uint64_t to = (start >> shift) + block;
                bits.at(to / 64) |= std::uint64_t{1} << (to % 64);
            }
        }
        if (cursor.ended) {
            break;
        }
        if (cursor.position == before) {
            out.stalled = true;
            break;
        }
        const std::uint64_t end = start + length;
        const std::uint64_t left = end - std::min(end, cursor.position);
        out.boundaries |= cursor.position > end    ? past_a_skipped_body
                          : left == 0              ? at_a_header
                          : left < 12              ? in_a_header
                          : left > 28 && left < 32 ? in_a_colour_word
                                                   : 0;
    }
    return out;
}

}  // namespace img_whiten::invariants

#endif
