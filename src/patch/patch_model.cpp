#include "patch_model.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>

#include "archive.h"
#include "material_walk.h"
#include "signals.h"
#include "undo_journal.h"

namespace img_whiten {

namespace {

// A grey colour word's red, green and blue, as they were before the walk.
constexpr unsigned char grey_bytes[colour_changed_bytes] = {grey_byte, grey_byte, grey_byte};

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
            report(target.output, target.path(), entry_name,
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
            report(target.output, target.path(), entry_name,
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
            report(target.output, target.path(), entry_name,
                   "cannot put back the colour word that the failed write cut at byte %llu: %s",
                   static_cast<unsigned long long>(offset + word), std::strerror(error));
        }
        return;
    }
}

static_assert(journal_header_size + journal_path_limit + journal_position_size * model_window_size +
                      journal_checksum_size <=
                  journal_record_limit,
              "the record of a window always fits, whatever the walk marked");

// Appends to the undo journal the positions of the words whitened in the
// window read at `offset` (its runs of three marked bytes), so that the
// journal holds them before any of them is written; false (reported) when it
// cannot.
bool journal_window(patch_target& target, const char* entry_name, std::uint64_t offset,
                    const unsigned char* data, std::size_t length, model_buffers& buffers) {
    std::vector<std::uint64_t>& positions = buffers.journal_positions;
    positions.clear();
    for (const marked_run& run : buffers.runs) {
        for (std::size_t word = run.first; word < run.end; word += colour_changed_bytes) {
            positions.push_back(offset + word);
        }
    }
    journal_header header;
    header.identity = target.file.identity;
    header.file_length = target.opened_size;
    // What the run leaves in the sectors it is about to write: how undo knows the file again.
    header.sectors_crc =
        word_sectors_crc(data, offset, length, positions.data(), positions.size(), 0);
    static const std::string none;
    const std::string& folder = is_absolute_path(target.path()) ? none : target.journal->folder();
    int error = ENAMETOOLONG;  // the one reason a record cannot be encoded
    if (!encode_journal_record(header, target.path(), folder, positions.data(), positions.size(),
                               &buffers.journal_record) ||
        !target.journal->append(buffers.journal_record, &error)) {
        report(target.output, target.path(), entry_name,
               "cannot write to the undo journal: %s: not written%s", std::strerror(error),
               later_entries(entry_name));
        return false;
    }
    return true;
}

// Writes back the sectors of data[0, length), read at `offset`, that hold a
// byte marked in `marks`, neighbouring ones joined into one write: after the
// undo journal, if there is one, holds where its words lie. Adds to *written
// the words that reached the file whole.
next_step write_changed_sectors(patch_target& target, const char* entry_name, std::uint64_t offset,
                                const unsigned char* data, const std::uint64_t* marks,
                                std::size_t length, model_buffers& buffers, std::int64_t* written) {
    if (!target.file.writable) {
        report(target.output, target.path(), entry_name, "cannot open for update: %s%s",
               std::strerror(target.update_error != 0 ? target.update_error : EBADF),
               later_entries(entry_name));
        return next_step::stop;
    }
    find_marked_runs(marks, length, &buffers.runs);
    if (target.journal != nullptr &&
        !journal_window(target, entry_name, offset, data, length, buffers)) {
        return next_step::stop;
    }
    const write_back done =
        write_marked_sectors(target, entry_name, offset, data, marks, length, grey_byte, buffers);
    // Only words that reached the file whole are counted.
    const std::size_t reached = done.written + done.failed_put;
    for (const marked_run& run : buffers.runs) {
        if (run.end <= reached) {
            *written += static_cast<std::int64_t>((run.end - run.first) / colour_changed_bytes);
        }
    }
    if (done.failed_stop != 0) {
        restore_cut_word(target, entry_name, offset, data, done.written, done.failed_stop,
                         done.failed_put);
    }
    return done.step;
}

}  // namespace

void pending_whites::record(std::uint64_t offset, const std::vector<marked_run>& runs) {
    for (const marked_run& run : runs) {
        runs_.emplace(offset + run.first, offset + run.end);
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

bool read_window(const patch_target& target, std::uint64_t offset, std::uint64_t available,
                 model_buffers& buffers, std::size_t* got, int* error) {
    *got = 0;
    *error = 0;
    const auto wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(available, buffers.window));
    if (wanted == 0 || !hold(buffers.data, wanted) ||
        !hold(buffers.marks, change_map_words(wanted))) {
        target.output.memory_ran_out = true;
        *error = ENOMEM;
        return false;
    }
    // From the cache first: on a warm tree that is the one read, and it tells a cold one.
    *got = read_cached_at(target.file, offset, buffers.data.data(), wanted);
    if (*got < wanted) {
        buffers.cache_missed = true;
        *got +=
            read_at(target.file, offset + *got, buffers.data.data() + *got, wanted - *got, error);
    }
    target.output.read(*got);
    return *error == 0;
}

static_assert(model_window_size >= sector_size + listing_step_reach,
              "a window from the sector of a step's header holds all that step reads");

next_step patch_model(patch_target& target, const char* entry_name, std::uint64_t offset,
                      std::uint64_t available, std::uint64_t declared, model_buffers& buffers,
                      std::size_t preread) {
    file_report& output = target.output;
    std::uint64_t model_length = available;
    std::uint64_t window_start = 0;  // from the model's first byte; always on a sector
    walk_cursor cursor;
    std::int64_t count = 0;  // whitened words written (in a dry run: that would be)
    material_listing listing;
    material_listing* const listed = output.settings.list ? &listing : nullptr;
    for (bool first = true;; first = false) {
        const auto wanted = static_cast<std::size_t>(
            std::min<std::uint64_t>(model_length - window_start, buffers.window));
        std::size_t got = 0;
        int error = 0;
        if (first && preread == wanted) {
            got = preread;
        } else if (!read_window(target, offset + window_start, model_length - window_start, buffers,
                                &got, &error)) {
            print_model_line(output, target.path(), entry_name, count, &listing.found);
            if (error == ENOMEM) {
                report(output, target.path(), entry_name, "cannot allocate %llu bytes: not patched",
                       static_cast<unsigned long long>(wanted));
            } else {
                report(output, target.path(), entry_name, "cannot read: %s: not patched",
                       std::strerror(error));
            }
            return first ? next_step::go_on : next_step::stop;
        }
        if (got < wanted) {
            if (!first) {
                print_model_line(output, target.path(), entry_name, count, &listing.found);
                report(output, target.path(), entry_name,
                       "changed during the run: it ends before byte %llu; run again%s",
                       static_cast<unsigned long long>(offset + window_start + wanted),
                       later_entries(entry_name));
                return next_step::stop;
            }
            model_length = got;  // shorter than it said: the bytes present are walked
        }
        unsigned char* const data = buffers.data.data();
        const std::uint64_t at = offset + window_start;
        if (output.settings.dry_run) {
            target.whites.apply(at, data, got);
        }
        std::memset(buffers.marks.data(), 0, change_map_words(got) * sizeof(std::uint64_t));
        change_map marks{buffers.marks.data()};
        bool walked = false;
        next_step step = next_step::go_on;
        try {
            const std::int64_t whitened = whiten_grey_materials_in_window(
                data, window_start, got, model_length, &cursor, &marks, listed);
            walked = cursor.ended || cursor.position >= model_length;
            if (walked && model_length < declared) {
                report(output, target.path(), entry_name,
                       "data runs past the end of the file: read %llu of %llu bytes",
                       static_cast<unsigned long long>(model_length),
                       static_cast<unsigned long long>(declared));
            }
            if (whitened > 0 && output.settings.dry_run) {
                find_marked_runs(marks.bits, got, &buffers.runs);
                target.whites.record(at, buffers.runs);
                count += whitened;
            } else if (whitened > 0) {
                step = write_changed_sectors(target, entry_name, at, data, marks.bits, got, buffers,
                                             &count);
            }
        } catch (const std::bad_alloc&) {
            // Thrown before any of this window was written (or noted, in a dry run): the
            // line still counts, and lists, what earlier windows wrote.
            output.memory_ran_out = true;
            target.whites = pending_whites();  // no later entry is visited: its memory goes
            print_model_line(output, target.path(), entry_name, count, &listing.found);
            report(output, target.path(), entry_name, "not patched further: %s%s",
                   std::strerror(ENOMEM), later_entries(entry_name));
            return next_step::stop;
        }
        if (step == next_step::stop) {
            if (arrived_signal() == 0) {
                // A failed write; a model a signal stopped has no line, as with one job.
                print_model_line(output, target.path(), entry_name, count, &listing.found);
            }
            return next_step::stop;
        }
        if (walked) {
            print_model_line(output, target.path(), entry_name, count, &listing.found);
            return next_step::go_on;
        }
        if (arrived_signal() != 0) {
            return next_step::stop;
        }
        window_start = cursor.position >> sector_shift << sector_shift;
    }
}

}  // namespace img_whiten
