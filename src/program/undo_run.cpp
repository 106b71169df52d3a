#include "undo_run.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <tuple>
#include <vector>

#include "archive.h"
#include "file_io.h"
#include "material_walk.h"
#include "model_patch.h"
#include "output.h"
#include "undo_journal.h"

namespace img_whiten {

namespace {

// A file's words are put back this many bytes of neighbouring sectors at a time, at most.
constexpr std::size_t restore_piece = model_window_size;
constexpr std::size_t piece_sectors = restore_piece >> sector_shift;
static_assert(restore_piece % sector_size == 0 && piece_sectors >= 2,
              "a piece holds the sectors of any word");

constexpr unsigned char grey_byte = grey_colour & 0xFF;
constexpr unsigned char white_byte = white_colour & 0xFF;
static_assert((grey_colour >> 8 & 0xFF) == grey_byte && (grey_colour >> 16 & 0xFF) == grey_byte,
              "grey is one byte thrice");

// One file of the journal: the identity and length its records give it.
struct journaled_file {
    file_identity identity;
    std::uint64_t length;
    std::vector<std::size_t> records;  // newest first; the newest one's path names the file
};

// The journal's files, in the order of their newest records, newest first.
std::vector<journaled_file> files_of(const journal_contents& contents) {
    std::vector<journaled_file> files;
    std::map<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>, std::size_t> index;
    for (std::size_t i = contents.records.size(); i-- > 0;) {
        const journal_record& record = contents.records[i];
        const auto found = index.emplace(
            std::make_tuple(record.identity.device, record.identity.index, record.file_length),
            files.size());
        if (found.second) {
            files.push_back({record.identity, record.file_length, {}});
        }
        files[found.first->second].records.push_back(i);
    }
    return files;
}

// A recorded word to put back: white, or part white as a write that stopped
// inside it leaves it (red, green and blue each grey or white, alpha opaque).
bool whitened(const unsigned char* word) {
    bool white = false;
    for (std::size_t i = 0; i < colour_changed_bytes; ++i) {
        if (word[i] != white_byte && word[i] != grey_byte) {
            return false;
        }
        white |= word[i] == white_byte;
    }
    return white && word[colour_changed_bytes] == white_byte;
}

struct recorded_word {
    std::uint64_t position;
    std::size_t age;  // 0 in the file's newest record
};

// An undo's totals, and the bytes it reads into, reused from file to file.
struct undo_state {
    run_output& output;
    const journal_contents& contents;
    reused_block<unsigned char> data;
    std::uint64_t files = 0;
    std::uint64_t materials = 0;
};

void close_or_report(run_output& output, const char* path, open_file& file) {
    if (file.fd >= 0 && !close_file(file)) {
        report(output, path, nullptr, "cannot close: %s", std::strerror(errno));
    }
}

// Opens the file at `place` (for update, and locked, unless a dry run) if it
// is still the one recorded; false (reported, and closed) otherwise.
bool open_recorded(run_output& output, const file_place& place, const journaled_file& file,
                   open_file* opened) {
    switch (open_file_at(place, opened)) {
        case open_status::opened:
            break;
        case open_status::not_regular:
            report(output, place.path, nullptr, "not a regular file: left alone");
            return false;
        default:
            report(output, place.path, nullptr,
                   output.dry_run ? "cannot open for reading: %s" : "cannot open for update: %s",
                   std::strerror(errno));
            return false;
    }
    if (!(opened->identity == file.identity)) {
        report(output, place.path, nullptr,
               "not the file the journal recorded (another file has this name now): left alone");
    } else if (opened->size != file.length) {
        report(output, place.path, nullptr,
               "its length is now %llu bytes, was %llu when recorded: left alone",
               static_cast<unsigned long long>(opened->size),
               static_cast<unsigned long long>(file.length));
    } else if (output.dry_run) {
        return true;
    } else {
        switch (open_for_update(place, opened)) {
            case open_status::opened:
                return true;
            case open_status::in_use:
                report(output, place.path, nullptr, "in use by another program: %s",
                       in_use_reason());
                break;
            default:
                report(output, place.path, nullptr, "cannot open for update: %s",
                       std::strerror(errno));
                break;
        }
    }
    close_or_report(output, place.path, *opened);
    return false;
}

// Puts back `words` (count of them), which lie in the file's bytes [begin,
// stop), newest record first, and writes back the sectors that changed,
// neighbouring ones in one write. False (reported) when the file must be
// left as it is from there on.
bool restore_words(undo_state& undo, const char* path, const open_file& file, std::uint64_t length,
                   std::uint64_t begin, std::uint64_t stop, recorded_word* words, std::size_t count,
                   std::uint64_t* restored) {
    run_output& output = undo.output;
    const auto size = static_cast<std::size_t>(stop - begin);
    if (!undo.data.reserve(size)) {
        report(output, path, nullptr, "cannot allocate %llu bytes: not restored further",
               static_cast<unsigned long long>(size));
        return false;
    }
    unsigned char* const data = undo.data.items;
    int error = 0;
    if (read_at(file, begin, data, size, &error) != size) {
        report(output, path, nullptr, "cannot read: %s: not restored further",
               error != 0 ? std::strerror(error) : "it ends before its recorded length");
        return false;
    }
    // Newest first: of two records of the same word, the newer one is applied.
    std::stable_sort(words, words + count,
                     [](const recorded_word& a, const recorded_word& b) { return a.age < b.age; });
    bool changed[piece_sectors] = {};
    for (std::size_t i = 0; i < count; ++i) {
        const auto at = static_cast<std::size_t>(words[i].position - begin);
        if (!whitened(data + at)) {
            continue;  // grey already, or changed since: left alone
        }
        for (std::size_t byte = at; byte < at + colour_changed_bytes; ++byte) {
            changed[byte >> sector_shift] |= data[byte] != grey_byte;
            data[byte] = grey_byte;
        }
        ++*restored;
    }
    if (output.dry_run) {
        return true;
    }
    const std::size_t sectors = (size + sector_size - 1) >> sector_shift;
    for (std::size_t first = 0; first < sectors;) {
        if (!changed[first]) {
            ++first;
            continue;
        }
        std::size_t end = first;
        while (end < sectors && changed[end]) {
            ++end;
        }
        const std::size_t from = first << sector_shift;
        const std::size_t to = std::min(end << sector_shift, size);
        std::uint64_t now = 0;
        if (!current_size(file, &now)) {
            report(output, path, nullptr, "cannot check the file before writing: %s",
                   std::strerror(errno));
            return false;
        }
        if (now != length) {
            report(output, path, nullptr,
                   "changed during the undo: its length is now %llu bytes, was %llu; not written",
                   static_cast<unsigned long long>(now), static_cast<unsigned long long>(length));
            return false;
        }
        if (write_at(file, begin + from, data + from, to - from, &error) != to - from) {
            // A word the write stopped inside is part white: the next undo puts it back.
            report(output, path, nullptr, "cannot write: %s: run the undo again",
                   std::strerror(error));
            return false;
        }
        end_if_signalled(output);  // between writes, where no word is ever cut
        first = end;
    }
    return true;
}

// Puts back every word the file's records hold, and prints its line.
void restore_file(undo_state& undo, const journaled_file& file) {
    run_output& output = undo.output;
    const journal_contents& contents = undo.contents;
    const journal_record& newest = contents.records[file.records.front()];
    const std::string path = contents.paths.substr(newest.path_begin, newest.path_length);
    const file_place place{nullptr, nullptr, path.c_str()};
    open_file opened;
    if (!open_recorded(output, place, file, &opened)) {
        return;
    }
    std::uint64_t restored = 0;
    try {
        std::vector<recorded_word> words;
        for (std::size_t age = 0; age < file.records.size(); ++age) {
            const journal_record& record = contents.records[file.records[age]];
            for (std::size_t i = 0; i < record.count; ++i) {
                words.push_back({contents.positions[record.first_position + i], age});
            }
        }
        std::sort(words.begin(), words.end(), [](const recorded_word& a, const recorded_word& b) {
            return a.position != b.position ? a.position < b.position : a.age < b.age;
        });
        // Words whose sectors neighbour each other are put back together, a piece at most.
        for (std::size_t begin = 0; begin < words.size();) {
            const std::uint64_t first = words[begin].position >> sector_shift;
            std::uint64_t last = (words[begin].position + journal_word_size - 1) >> sector_shift;
            std::size_t end = begin + 1;
            for (; end < words.size() && (words[end].position >> sector_shift) <= last + 1; ++end) {
                const std::uint64_t word_last =
                    (words[end].position + journal_word_size - 1) >> sector_shift;
                if (word_last - first >= piece_sectors) {
                    break;
                }
                last = std::max(last, word_last);
            }
            if (!restore_words(undo, place.path, opened, file.length, first << sector_shift,
                               std::min((last + 1) << sector_shift, file.length),
                               words.data() + begin, end - begin, &restored)) {
                break;
            }
            begin = end;
        }
    } catch (const std::bad_alloc&) {
        report(output, place.path, nullptr, "not restored further: %s", std::strerror(ENOMEM));
    }
    ++undo.files;
    undo.materials += restored;
    print_restore_line(output, place.path, restored);
    close_or_report(output, place.path, opened);
}

// Reads the journal's sound records; false (reported) when it cannot be read.
bool read_whole_journal(run_output& output, const char* path, journal_contents* contents) {
    open_file journal;
    switch (open_file_at({nullptr, nullptr, path}, &journal)) {
        case open_status::opened:
            break;
        case open_status::not_regular:
            report(output, path, nullptr, "cannot read the undo journal: not a regular file");
            return false;
        default:
            report(output, path, nullptr, "cannot read the undo journal: %s", std::strerror(errno));
            return false;
    }
    int error = 0;
    bool read = false;
    try {
        read =
            read_journal([&journal](std::uint64_t offset, unsigned char* data, std::size_t length,
                                    int* e) { return read_at(journal, offset, data, length, e); },
                         journal.size, contents, &error);
    } catch (const std::bad_alloc&) {
        error = ENOMEM;
    }
    close_file(journal);
    if (!read) {
        report(output, path, nullptr, "cannot read the undo journal: %s", std::strerror(error));
    }
    return read;
}

}  // namespace

int undo_from_journal(const char* journal_path, bool dry_run, bool quiet, std::FILE* out,
                      std::FILE* err) {
    run_output output{out, err};
    output.dry_run = dry_run;
    output.quiet = quiet;
    journal_contents contents;
    if (!read_whole_journal(output, journal_path, &contents)) {
        return exit_usage;  // nothing was put back
    }
    for (const journal_damage& damage : contents.damage) {
        report(output, journal_path, nullptr, "bytes %llu to %llu ignored: %s",
               static_cast<unsigned long long>(damage.begin),
               static_cast<unsigned long long>(damage.end - 1), damage.why);
    }
    undo_state undo{output, contents, {}, 0, 0};
    try {
        for (const journaled_file& file : files_of(contents)) {
            restore_file(undo, file);
            end_if_signalled(output);
        }
    } catch (const std::bad_alloc&) {
        report(output, journal_path, nullptr, "not put back further: %s", std::strerror(ENOMEM));
    }
    print_undo_summary(output, undo.files, undo.materials);
    check_progress_written(output, true);
    return output.status;
}

}  // namespace img_whiten
