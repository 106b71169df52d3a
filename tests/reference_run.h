// What a run must make of a file, worked out here on its own terms, apart
// from the tool's code, so that tests and fuzzers do not check the tool
// against itself: which names are models, the material walk, and the whole
// run over an archive's bytes or a loose model's.
#ifndef IMG_WHITEN_TESTS_REFERENCE_RUN_H
#define IMG_WHITEN_TESTS_REFERENCE_RUN_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace img_whiten::reference {

using bytes = std::vector<unsigned char>;

inline std::uint64_t word_at(const unsigned char* p) {
    return std::uint64_t{p[0]} | std::uint64_t{p[1]} << 8 | std::uint64_t{p[2]} << 16 |
           std::uint64_t{p[3]} << 24;
}

// A model's name: the text after its last dot starts with "dff", any ASCII case.
inline bool is_model_name(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || name.size() - dot < 4) {
        return false;
    }
    std::string extension = name.substr(dot + 1, 3);
    for (char& c : extension) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
    }
    return extension == "dff";
}

// The walk over data[0, length): 0 ends it; Material List, Geometry, Clump and
// Geometry List are stepped into; a Material's colour word at +28 turns from
// grey to white; everything else is skipped by its size. Returns the count.
inline long long walk(unsigned char* data, std::uint64_t length) {
    long long count = 0;
    for (std::uint64_t at = 0; at + 12 <= length;) {
        const std::uint64_t type = word_at(data + at);
        if (type == 0) {
            break;
        }
        if (type == 8 || type == 15 || type == 16 || type == 26) {
            at += 12;
            continue;
        }
        if (type == 7 && at + 32 <= length && word_at(data + at + 28) == 0xFF959595) {
            std::memset(data + at + 28, 0xFF, 4);
            ++count;
        }
        at += 12 + word_at(data + at + 4);
    }
    return count;
}

struct archive_result {
    bool archive = false;             // begins with "VER2" and has a whole header
    bool damaged = false;             // the run must report a failure
    std::vector<std::string> models;  // model entries in directory order
    std::vector<long long> counts;    // what each one's line says
};

// Patches the archive `file` in place as a run must: every model entry in
// directory order, as far as the file holds it, seeing earlier entries' changes;
// an entry over the header or the directory, or starting past the end, is left.
inline archive_result patch_archive(bytes& file) {
    archive_result result;
    if (file.size() < 8 || std::memcmp(file.data(), "VER2", 4) != 0) {
        return result;
    }
    result.archive = true;
    const auto count = static_cast<std::int32_t>(word_at(file.data() + 4));
    if (count <= 0) {
        return result;
    }
    const auto declared = static_cast<std::uint64_t>(count);
    const std::uint64_t directory_end = 8 + 32 * declared;
    const std::uint64_t records = std::min<std::uint64_t>(declared, (file.size() - 8) / 32);
    result.damaged = records < declared;
    for (std::uint64_t i = 0; i < records; ++i) {
        const unsigned char* record = file.data() + 8 + 32 * i;
        const char* name = reinterpret_cast<const char*>(record + 8);
        const std::string entry_name(name, strnlen(name, 24));
        if (!is_model_name(entry_name)) {
            continue;
        }
        const std::uint64_t offset = word_at(record) * 2048, length = word_at(record + 4) * 2048;
        result.models.push_back(entry_name);
        long long whitened = 0;
        if (length > 0 && (offset < directory_end || offset >= file.size())) {
            result.damaged = true;
        } else if (length > 0) {
            const std::uint64_t present = std::min<std::uint64_t>(length, file.size() - offset);
            result.damaged |= present < length;
            whitened = walk(file.data() + offset, present);
        }
        result.counts.push_back(whitened);
    }
    return result;
}

}  // namespace img_whiten::reference

#endif
