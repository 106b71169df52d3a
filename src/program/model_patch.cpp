#include "model_patch.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <limits>

#include "archive.h"
#include "material_walk.h"

namespace img_whiten {

namespace {

bool is_marked(const std::uint64_t* marks, std::size_t bit) {
    return (marks[bit / 64] >> (bit % 64) & 1) != 0;
}

// The next run of set bits at or after bit `from`, as [*first, *end); false when none is left.
bool next_marked_run(const std::uint64_t* marks, std::size_t bit_count, std::size_t from,
                     std::size_t* first, std::size_t* end) {
    while (from < bit_count && !is_marked(marks, from)) {
        from = marks[from / 64] >> (from % 64) == 0 ? (from / 64 + 1) * 64 : from + 1;
    }
    if (from >= bit_count) {
        return false;
    }
    *first = from;
    while (from < bit_count && is_marked(marks, from)) {
        ++from;
    }
    *end = from;
    return true;
}

// The colour words' bytes: grey as they were before the walk, white as it left them.
constexpr unsigned char grey_bytes[4] = {grey_colour & 0xFF, grey_colour >> 8 & 0xFF,
                                         grey_colour >> 16 & 0xFF, grey_colour >> 24};
constexpr unsigned char white_bytes[4] = {0xFF, 0xFF, 0xFF, 0xFF};

// A write that failed after `written` bytes of data[begin, stop) may have left
// a colour word part white and part grey, which no later run would recognise.
// Some systems do not even say how much of a failed write reached the file, so
// every whitened word not known to be written is read back, and a torn one
// gets its changed bytes put back to grey: the word is then as it was, and
// running again whitens it.
void restore_torn_words(patch_target& target, const char* entry_name, std::uint64_t offset,
                        const std::uint64_t* marks, std::size_t begin, std::size_t stop,
                        std::size_t written) {
    std::size_t word = 0, end = begin;
    // Each marked run is the red, green and blue of one word; words lie 12 bytes apart or more.
    for (std::size_t from = begin; next_marked_run(marks, stop, from, &word, &end); from = end) {
        if (end <= begin + written) {
            continue;  // wholly written, so wholly white
        }
        unsigned char now[4];
        int error = 0;
        if (read_at(target.file, offset + word, now, 4, &error) != 4) {
            report(target.output, target.path, entry_name,
                   "cannot read back the colour word at byte %llu after the failed write: %s",
                   static_cast<unsigned long long>(offset + word),
                   std::strerror(error != 0 ? error : EIO));
            continue;
        }
        std::size_t changed = 4;  // one past the last byte that is no longer grey
        while (changed > 0 && now[changed - 1] == grey_bytes[changed - 1]) {
            --changed;
        }
        if (changed == 0 || std::memcmp(now, white_bytes, 4) == 0) {
            continue;  // still grey, or wholly white
        }
        if (write_at(target.file, offset + word, grey_bytes, changed, &error) != changed) {
            report(target.output, target.path, entry_name,
                   "cannot put back the colour word that the failed write cut at byte %llu: %s",
                   static_cast<unsigned long long>(offset + word), std::strerror(error));
        }
    }
}

// Writes back the 2048-byte blocks of data[0, length) that hold a marked byte,
// neighbouring blocks joined into one write.
next_step write_changed_blocks(patch_target& target, const char* entry_name, std::uint64_t offset,
                               const unsigned char* data, const std::uint64_t* marks,
                               std::size_t length) {
    bool pending = false;
    std::size_t begin = 0, stop = 0;  // the blocks waiting to be written: [begin, stop)
    std::size_t first = 0, end = 0;
    for (std::size_t from = 0;; from = end) {
        const bool more = next_marked_run(marks, length, from, &first, &end);
        const std::size_t block_begin = first / sector_size * sector_size;
        if (pending && (!more || block_begin > stop)) {
            int error = 0;
            const std::size_t put =
                write_at(target.file, offset + begin, data + begin, stop - begin, &error);
            if (put != stop - begin) {
                report(target.output, target.path, entry_name, "cannot write: %s%s",
                       std::strerror(error),
                       entry_name != nullptr ? ": later entries not visited" : "");
                restore_torn_words(target, entry_name, offset, marks, begin, stop, put);
                return next_step::stop;
            }
            pending = false;
        }
        if (!more) {
            return next_step::go_on;
        }
        if (!pending) {
            begin = block_begin;
            pending = true;
        }
        stop = std::min<std::size_t>((end + sector_size - 1) / sector_size * sector_size, length);
    }
}

}  // namespace

void pending_whites::record(std::uint64_t offset, const std::uint64_t* marks, std::size_t length) {
    std::size_t first = 0, end = 0;
    for (std::size_t from = 0; next_marked_run(marks, length, from, &first, &end); from = end) {
        runs_.emplace(offset + first, offset + end);
    }
}

void pending_whites::apply(std::uint64_t offset, unsigned char* data, std::size_t length) const {
    const std::uint64_t data_end = offset + length;
    auto run = runs_.upper_bound(offset);
    if (run != runs_.begin() && std::prev(run)->second > offset) {
        --run;
    }
    for (; run != runs_.end() && run->first < data_end; ++run) {
        const std::uint64_t from = std::max(run->first, offset);
        const std::uint64_t to = std::min(run->second, data_end);
        std::memset(data + (from - offset), 0xFF, static_cast<std::size_t>(to - from));
    }
}

bool read_model(const patch_target& target, std::uint64_t offset, std::uint64_t wanted,
                model_buffers& buffers, std::size_t* got, int* error) {
    *got = 0;
    *error = 0;
    // One mark bit per byte, so that a failed write can tell a cut word.
    const std::size_t mark_words = wanted > std::numeric_limits<std::size_t>::max()
                                       ? 0
                                       : change_map_words(static_cast<std::size_t>(wanted), 0);
    if (mark_words == 0 || !buffers.data.reserve(static_cast<std::size_t>(wanted)) ||
        !buffers.marks.reserve(mark_words)) {
        *error = ENOMEM;
        return false;
    }
    *got =
        read_at(target.file, offset, buffers.data.items, static_cast<std::size_t>(wanted), error);
    return *error == 0;
}

next_step patch_model_bytes(patch_target& target, const char* entry_name, std::uint64_t offset,
                            std::uint64_t wanted, std::uint64_t declared, model_buffers& buffers) {
    std::size_t got = 0;
    int error = 0;
    if (!read_model(target, offset, wanted, buffers, &got, &error)) {
        print_count(target.output, 0);
        if (error == ENOMEM) {
            report(target.output, target.path, entry_name,
                   "cannot allocate %llu bytes: not patched",
                   static_cast<unsigned long long>(wanted));
        } else {
            report(target.output, target.path, entry_name, "cannot read: %s: not patched",
                   std::strerror(error));
        }
        return next_step::go_on;
    }
    return patch_read_model(target, entry_name, offset, got, declared, buffers);
}

next_step patch_read_model(patch_target& target, const char* entry_name, std::uint64_t offset,
                           std::size_t got, std::uint64_t declared, model_buffers& buffers) {
    run_output& output = target.output;
    unsigned char* const data = buffers.data.items;
    if (output.dry_run) {
        target.whites.apply(offset, data, got);
    }
    std::memset(buffers.marks.items, 0, change_map_words(got, 0) * sizeof(std::uint64_t));
    change_map marks{buffers.marks.items, 0};
    const std::int64_t count = whiten_grey_materials(data, got, &marks);
    print_count(output, count);
    if (got < declared) {
        report(output, target.path, entry_name,
               "data runs past the end of the file: read %llu of %llu bytes",
               static_cast<unsigned long long>(got), static_cast<unsigned long long>(declared));
    }
    if (count == 0) {
        return next_step::go_on;
    }
    if (output.dry_run) {
        target.whites.record(offset, marks.bits, got);
        return next_step::go_on;
    }
    return write_changed_blocks(target, entry_name, offset, data, marks.bits, got);
}

}  // namespace img_whiten
