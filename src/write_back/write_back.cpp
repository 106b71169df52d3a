#include "write_back.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "archive.h"
#include "material_walk.h"
#include "signals.h"

namespace img_whiten {

namespace {

bool is_marked(const std::uint64_t* marks, std::size_t bit) {
    return (marks[bit / 64] >> (bit % 64) & 1) != 0;
}

// The lowest set bit of a word that is not 0.
unsigned lowest_bit(std::uint64_t word) {
#if defined(__GNUC__)
    return static_cast<unsigned>(__builtin_ctzll(word));
#else
    unsigned bit = 0;
    for (; (word & 1) == 0; word >>= 1) {
        ++bit;
    }
    return bit;
#endif
}

// The first bit at or after `from` that is set (or, with `set` false,
// clear), or `bit_count` when none before it is. Goes a word at a time:
// a window's marks are mostly zero words.
std::size_t next_bit(const std::uint64_t* marks, std::size_t bit_count, std::size_t from,
                     bool set) {
    if (from >= bit_count) {
        return bit_count;
    }
    const std::uint64_t flip = set ? 0 : ~std::uint64_t{0};
    const std::size_t words = (bit_count + 63) / 64;
    std::size_t word = from / 64;
    std::uint64_t bits = (marks[word] ^ flip) >> (from % 64) << (from % 64);
    while (bits == 0) {
        if (++word == words) {
            return bit_count;
        }
        bits = marks[word] ^ flip;
    }
    return std::min(bit_count, word * 64 + lowest_bit(bits));
}

// The next run of set bits at or after bit `from`, as [*first, *end); false when none is left.
bool next_marked_run(const std::uint64_t* marks, std::size_t bit_count, std::size_t from,
                     std::size_t* first, std::size_t* end) {
    *first = next_bit(marks, bit_count, from, true);
    if (*first == bit_count) {
        return false;
    }
    *end = next_bit(marks, bit_count, *first, false);
    return true;
}

// The next run of neighbouring sectors that hold a byte of the marked runs
// from runs[*next] on, in a window of `length` bytes, as the bytes [*begin,
// *stop); moves *next past the runs it holds. False when none is left.
bool next_sector_run(const std::vector<marked_run>& runs, std::size_t length, std::size_t* next,
                     std::size_t* begin, std::size_t* stop) {
    if (*next == runs.size()) {
        return false;
    }
    const std::size_t first_sector = runs[*next].first >> sector_shift;
    std::size_t last_sector = (runs[*next].end - 1) >> sector_shift;
    for (++*next; *next < runs.size() && (runs[*next].first >> sector_shift) <= last_sector + 1;
         ++*next) {
        last_sector = (runs[*next].end - 1) >> sector_shift;
    }
    *begin = first_sector << sector_shift;
    *stop = std::min<std::size_t>((last_sector + 1) << sector_shift, length);
    return true;
}

// Makes sure the file still has its length and still holds in data[begin,
// stop) (read at `offset`) what was read there (`marked_was` where a byte is
// marked), so that a write never puts stale bytes back over another
// program's, nor lengthens a file that was cut short; false (reported) otherwise.
bool still_as_read(write_target& target, const char* entry_name, std::uint64_t offset,
                   const unsigned char* data, const std::uint64_t* marks, unsigned char marked_was,
                   std::size_t begin, std::size_t stop, model_buffers& buffers) {
    std::uint64_t size = 0;
    int error = 0;
    if (!current_size(target.file, &size)) {
        report(target.output, target.path(), entry_name,
               "cannot check the file before writing: %s%s", std::strerror(errno),
               later_entries(entry_name));
        return false;
    }
    if (size != target.opened_size) {
        report(target.output, target.path(), entry_name,
               "changed during the run: its length is now %llu bytes, was %llu; not written, run "
               "again%s",
               static_cast<unsigned long long>(size),
               static_cast<unsigned long long>(target.opened_size), later_entries(entry_name));
        return false;
    }
    const std::size_t count = stop - begin;
    if (!hold(buffers.check, count)) {
        target.output.memory_ran_out = true;
        report(target.output, target.path(), entry_name,
               "cannot check the file before writing: %s%s", std::strerror(ENOMEM),
               later_entries(entry_name));
        return false;
    }
    const unsigned char* now = buffers.check.data();
    if (read_at(target.file, offset + begin, buffers.check.data(), count, &error) != count) {
        report(target.output, target.path(), entry_name,
               "cannot check the file before writing: %s%s",
               std::strerror(error != 0 ? error : EIO), later_entries(entry_name));
        return false;
    }
    for (std::size_t at = begin; at < stop; ++at) {
        const unsigned char was = is_marked(marks, at) ? marked_was : data[at];
        if (now[at - begin] != was) {
            report(target.output, target.path(), entry_name,
                   "changed during the run: byte %llu is not what was read; not written, run "
                   "again%s",
                   static_cast<unsigned long long>(offset + at), later_entries(entry_name));
            return false;
        }
    }
    return true;
}

}  // namespace

bool open_for_writing(write_target& target, std::string* why) {
    switch (open_for_update(target.place, &target.file)) {
        case open_status::opened:
            return true;
        case open_status::in_use:
            *why = "in use by another program: ";
            *why += in_use_reason();
            return false;
        default:
            break;
    }
    const int error = errno;
    if (error == EROFS || error == EACCES || error == EPERM) {
        target.update_error = error;
    }
    *why = "cannot open for update: ";
    *why += std::strerror(error);
    return false;
}

const char* cannot_open(const run_settings& settings) {
    return settings.dry_run ? "cannot open for reading" : "cannot open for update";
}

void close_or_report(file_report& output, const char* path, open_file& file) {
    if (file.fd >= 0 && !close_file(file)) {
        report(output, path, nullptr, "cannot close: %s", std::strerror(errno));
    }
}

const char* later_entries(const char* entry_name) {
    return entry_name != nullptr ? ": later entries not visited" : "";
}

void find_marked_runs(const std::uint64_t* marks, std::size_t length,
                      std::vector<marked_run>* runs) {
    runs->clear();
    std::size_t first = 0, end = 0;
    for (std::size_t from = 0; next_marked_run(marks, length, from, &first, &end); from = end) {
        runs->push_back({first, end});
    }
}

write_back write_marked_sectors(write_target& target, const char* entry_name, std::uint64_t offset,
                                const unsigned char* data, const std::uint64_t* marks,
                                std::size_t length, unsigned char marked_was,
                                model_buffers& buffers) {
    write_back done;
    std::size_t begin = 0, stop = 0;
    for (std::size_t next = 0, first_run = 0;
         next_sector_run(buffers.runs, length, &next, &begin, &stop); first_run = next) {
        done.written = begin;
        // Between writes, where no word is ever cut; after the last, the model's line is owed.
        if (first_run > 0 && arrived_signal() != 0) {
            return done;
        }
        if (!still_as_read(target, entry_name, offset, data, marks, marked_was, begin, stop,
                           buffers)) {
            return done;
        }
        int error = 0;
        target.output.file_written = true;
        const std::size_t put =
            write_at(target.file, offset + begin, data + begin, stop - begin, &error);
        if (put != stop - begin) {
            report(target.output, target.path(), entry_name, "cannot write: %s%s",
                   std::strerror(error), later_entries(entry_name));
            done.failed_stop = stop;
            done.failed_put = put;
            return done;
        }
        done.written = stop;
    }
    done.written = length;
    done.step = next_step::go_on;
    return done;
}

}  // namespace img_whiten
