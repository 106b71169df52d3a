#include "model_patch.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <limits>

#include "archive.h"
#include "material_walk.h"
#include "signals.h"

namespace img_whiten {

namespace {

bool is_marked(const std::uint64_t* marks, std::size_t bit) {
    return (marks[bit / 64] >> (bit % 64) & 1) != 0;
}

// A real run marks the sectors it must write; a dry run marks the bytes it
// would have changed, to replay them onto later reads of the same bytes.
unsigned mark_shift(const patch_target& target) {
    return target.output.dry_run ? 0 : sector_shift;
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

// A grey colour word's red, green and blue, as they were before the walk.
constexpr unsigned char grey_bytes[colour_changed_bytes] = {
    grey_colour & 0xFF, grey_colour >> 8 & 0xFF, grey_colour >> 16 & 0xFF};

// A write of data[begin, stop) that failed after at least `written` bytes may
// have cut a colour word, leaving it part white and part grey, which no later
// run would recognise. Some systems do not even say how much of a failed write
// reached the file, so the file is read back from the first byte not known to
// be written: the first byte that still differs from `data` is where the write
// stopped. If the changed bytes there are fewer than a word's three, the word
// was cut, and its written bytes are put back to grey: the word is then as it
// was, and running again whitens it. (Whitened words lie 12 bytes apart or
// more, and only their red, green and blue change.)
void restore_cut_word(patch_target& target, const char* entry_name, std::uint64_t offset,
                      const unsigned char* data, std::size_t begin, std::size_t stop,
                      std::size_t written) {
    unsigned char now[4096];
    int error = 0;
    for (std::size_t at = begin + written; at < stop;) {
        const std::size_t count = std::min(sizeof now, stop - at);
        const std::size_t got = read_at(target.file, offset + at, now, count, &error);
        if (got != count) {
            report(target.output, target.path, entry_name,
                   "cannot read back what the failed write left at byte %llu: %s",
                   static_cast<unsigned long long>(offset + at),
                   std::strerror(error != 0 ? error : EIO));
            return;
        }
        const std::size_t same =
            static_cast<std::size_t>(std::mismatch(now, now + count, data + at).first - now);
        if (same == count) {
            at += count;
            continue;
        }
        const std::size_t stopped = at + same;  // the first byte the write did not change
        unsigned char left[colour_changed_bytes];
        const std::size_t tail = std::min(colour_changed_bytes, stop - stopped);
        if (read_at(target.file, offset + stopped, left, tail, &error) != tail) {
            report(target.output, target.path, entry_name,
                   "cannot read back what the failed write left at byte %llu: %s",
                   static_cast<unsigned long long>(offset + stopped),
                   std::strerror(error != 0 ? error : EIO));
            return;
        }
        std::size_t unwritten = 0;
        while (unwritten < tail && left[unwritten] != data[stopped + unwritten]) {
            ++unwritten;
        }
        const std::size_t cut_into = colour_changed_bytes - unwritten;  // bytes of it written
        if (cut_into == 0 || cut_into > stopped) {
            return;  // the write stopped between words
        }
        const std::size_t word = stopped - cut_into;
        if (write_at(target.file, offset + word, grey_bytes, cut_into, &error) != cut_into) {
            report(target.output, target.path, entry_name,
                   "cannot put back the colour word that the failed write cut at byte %llu: %s",
                   static_cast<unsigned long long>(offset + word), std::strerror(error));
        }
        return;
    }
}

// Writes back the sectors of data[0, length), read at `offset`, that
// `changed_sectors` marks, neighbouring ones joined into one write.
next_step write_changed_sectors(patch_target& target, const char* entry_name, std::uint64_t offset,
                                const unsigned char* data, const std::uint64_t* changed_sectors,
                                std::size_t length) {
    const std::size_t sector_count = static_cast<std::size_t>((length - 1) / sector_size + 1);
    std::size_t first = 0, end = 0;
    for (std::size_t from = 0; next_marked_run(changed_sectors, sector_count, from, &first, &end);
         from = end) {
        const std::size_t begin = first * sector_size;
        const std::size_t stop = std::min<std::size_t>(end * sector_size, length);
        int error = 0;
        const std::size_t put =
            write_at(target.file, offset + begin, data + begin, stop - begin, &error);
        if (put != stop - begin) {
            report(target.output, target.path, entry_name, "cannot write: %s%s",
                   std::strerror(error),
                   entry_name != nullptr ? ": later entries not visited" : "");
            restore_cut_word(target, entry_name, offset, data, begin, stop, put);
            return next_step::stop;
        }
        end_if_signalled();  // between writes, where no word is ever cut
    }
    return next_step::go_on;
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
    const std::size_t mark_words =
        wanted > std::numeric_limits<std::size_t>::max()
            ? 0
            : change_map_words(static_cast<std::size_t>(wanted), mark_shift(target));
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
    const unsigned shift = mark_shift(target);
    std::memset(buffers.marks.items, 0, change_map_words(got, shift) * sizeof(std::uint64_t));
    change_map marks{buffers.marks.items, shift};
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
    return write_changed_sectors(target, entry_name, offset, data, marks.bits, got);
}

}  // namespace img_whiten
