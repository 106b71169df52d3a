// The promise the tool keeps on any input, as checks shared by the fuzzers
// and the end-to-end tests: the only bytes that change are grey colour words
// (0x95, 0x95, 0x95, 0xFF) that become white (0xFF, 0xFF, 0xFF, 0xFF).
#ifndef IMG_WHITEN_TESTS_INVARIANTS_H
#define IMG_WHITEN_TESTS_INVARIANTS_H

#include <cstddef>

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

}  // namespace img_whiten::invariants

#endif
