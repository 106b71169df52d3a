// The promise the tool keeps on any input, as checks shared by the fuzzers
// and the end-to-end tests: the only bytes that change are grey colour words
// (0x95, 0x95, 0x95, 0xFF) that become white (0xFF, 0xFF, 0xFF, 0xFF), a
// walk through windows of a model does exactly what the whole walk does, and
// names print so that none can drive a terminal and no two print alike.
#ifndef IMG_WHITEN_TESTS_INVARIANTS_H
#define IMG_WHITEN_TESTS_INVARIANTS_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "material_walk.h"

namespace img_whiten::invariants {

inline bool is_grey_at(const unsigned char* bytes) {
    return bytes[0] == 0x95 && bytes[1] == 0x95 && bytes[2] == 0x95 && bytes[3] == 0xFF;
}

inline bool is_white_at(const unsigned char* bytes) {
    return bytes[0] == 0xFF && bytes[1] == 0xFF && bytes[2] == 0xFF && bytes[3] == 0xFF;
}

// Offsets of every grey colour word that lies wholly in file[from, to).
inline std::vector<std::size_t> grey_words_between(const std::vector<unsigned char>& file,
                                                   std::size_t from, std::size_t to) {
    std::vector<std::size_t> found;
    for (std::size_t i = from; i + 4 <= to; ++i) {
        if (is_grey_at(&file[i])) {
            found.push_back(i);
        }
    }
    return found;
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
// and its marks are moved onto `bits`, the model's map.
inline window_walk walk_in_windows(std::vector<unsigned char>& model, std::size_t window_size,
                                   bool at_sector, std::vector<std::uint64_t>& bits,
                                   material_listing* listing = nullptr) {
    window_walk out;
    walk_cursor cursor;
    while (!cursor.ended && cursor.position < model.size()) {
        const std::uint64_t start = at_sector ? cursor.position / 2048 * 2048 : cursor.position;
        const auto length =
            static_cast<std::size_t>(std::min<std::uint64_t>(window_size, model.size() - start));
        const auto first = model.begin() + static_cast<std::ptrdiff_t>(start);
        std::vector<unsigned char> window(first, first + static_cast<std::ptrdiff_t>(length));
        std::vector<std::uint64_t> marks(change_map_words(length), 0);
        change_map changes{marks.data()};
        const std::uint64_t before = cursor.position;
        out.count += whiten_grey_materials_in_window(window.data(), start, length, model.size(),
                                                     &cursor, &changes, listing);
        std::copy(window.begin(), window.end(), first);
        for (std::uint64_t block = 0; block < marks.size() * 64; ++block) {
            if ((marks[block / 64] >> (block % 64) & 1) != 0) {
                const std::uint64_t to = start + block;
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

// Whether two listings tell the same grey materials.
inline bool same_listing(const material_listing& a, const material_listing& b) {
    if (a.found.size() != b.found.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.found.size(); ++i) {
        const grey_material &x = a.found[i], &y = b.found[i];
        if (x.geometry != y.geometry || x.material != y.material || x.textured != y.textured ||
            x.texture != y.texture) {
            return false;
        }
    }
    return true;
}

// The length of the valid UTF-8 sequence at name[i], decoded, or 0.
inline std::size_t utf8_length_at(const std::string& name, std::size_t i) {
    const auto byte = [&](std::size_t k) {
        return k < name.size() ? static_cast<unsigned char>(name[k]) : 0u;
    };
    const unsigned lead = byte(i);
    const std::size_t length = lead < 0x80   ? 1
                               : lead < 0xC0 ? 0
                               : lead < 0xE0 ? 2
                               : lead < 0xF0 ? 3
                                             : 4;
    std::uint32_t code = length == 1 ? lead : lead & (0x7Fu >> length);
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        code = code << 6 | (byte(i + k) & 0x3F);
    }
    const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool valid =
        length > 0 && code >= least[length] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
    return valid ? length : 0;
}

// A name as lines and messages print it: as it is, or, when it holds a control
// character (C0, DEL, C1 in UTF-8, a byte 0x80 to 0x9F outside valid UTF-8) or
// begins with '"', in double quotes with those, '"' and '\' escaped.
inline std::string printed_name(const std::string& name) {
    bool quoted = !name.empty() && name[0] == '"';
    std::string inside;
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t length = utf8_length_at(name, i);
        const auto c = static_cast<unsigned char>(name[i]);
        char escape[8] = "";
        if (length == 2 && c == 0xC2 && static_cast<unsigned char>(name[i + 1]) < 0xA0) {
            std::snprintf(escape, sizeof escape, "\\u%04x",
                          static_cast<unsigned char>(name[i + 1]));
        } else if (c == '\n' || c == '\t' || c == '\r') {
            std::snprintf(escape, sizeof escape, "\\%c", c == '\n' ? 'n' : c == '\t' ? 't' : 'r');
        } else if (c < 0x20 || c == 0x7F || (length == 0 && c >= 0x80 && c < 0xA0)) {
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
        }
        quoted |= escape[0] != '\0';
        const std::size_t taken = length > 0 ? length : 1;
        if (escape[0] != '\0') {
            inside += escape;
        } else if (c == '"' || c == '\\') {
            inside += '\\';
            inside += static_cast<char>(c);
        } else {
            inside.append(name, i, taken);
        }
        i += taken;
    }
    return quoted ? '"' + inside + '"' : name;
}

}  // namespace img_whiten::invariants

#endif
