#include "undo.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <new>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "archive.h"
#include "byte_order.h"
#include "file_io.h"
#include "material_walk.h"
#include "output.h"
#include "signals.h"
#include "undo_journal.h"
#include "write_back.h"

namespace img_whiten {

namespace {

// A file's words are read and put back this many bytes of neighbouring sectors at a time, at most.
constexpr std::size_t restore_piece = model_window_size;
constexpr std::size_t piece_sectors = restore_piece >> sector_shift;
static_assert(restore_piece % sector_size == 0 && piece_sectors >= 2,
              "a piece holds the sectors of any word");

// One file of the journal: the identity and length its records give it.
struct journaled_file {
    file_identity identity;
    std::uint64_t length;
    std::vector<std::size_t> records;  // newest first
};

// The journal's files, in the order of their newest records, newest first.
std::vector<journaled_file> files_of(const journal_contents& contents) {
    std::vector<journaled_file> files;
    std::map<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>, std::size_t> index;
    for (std::size_t i = contents.records.size(); i-- > 0;) {
        const journal_header& header = contents.records[i].header;
        const auto found = index.emplace(
            std::make_tuple(header.identity.device, header.identity.index, header.file_length),
            files.size());
        if (found.second) {
            files.push_back({header.identity, header.file_length, {}});
        }
        files[found.first->second].records.push_back(i);
    }
    return files;
}

// Every path the file's records name, newest first, each once: a relative
// one from the folder its run was started in, then from the current one.
std::vector<std::string> paths_of(const journal_contents& contents, const journaled_file& file,
                                  const std::string& here) {
    std::vector<std::string> paths;
    auto add = [&paths](std::string path) {
        if (std::find(paths.begin(), paths.end(), path) == paths.end()) {
            paths.push_back(std::move(path));
        }
    };
    for (std::size_t index : file.records) {
        const journal_record& record = contents.records[index];
        std::string path = contents.paths.substr(record.path_begin, record.path_length);
        const std::string folder = contents.paths.substr(record.folder_begin, record.folder_length);
        if (!is_absolute_path(path.c_str()) && !folder.empty() && folder != here) {
            add(join_path(folder, path));
        }
        add(std::move(path));
    }
    return paths;
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

bool grey(const unsigned char* word) {
    return load_le32(word) == grey_colour;
}

// What an undo reads, and the bytes it reads into, reused from file to file.
struct undo_state {
    run_printer& printer;
    const journal_contents& contents;
    std::string here;  // the current folder, or empty
    model_buffers buffers;
};

// One file being put back: open, its length checked; a dry run notes the
// words it would have put back, so that older records see them grey.
struct undo_target {
    write_target target;
    std::set<std::uint64_t> put_back;  // dry run only
};

// Calls `piece` with each run of neighbouring sectors that hold a byte of
// the record's words, a piece at most: its bytes [begin, stop) and the
// words in it. False as soon as `piece` says so.
template <typename Piece>
bool for_each_piece(const std::uint64_t* words, std::size_t count, std::uint64_t length,
                    Piece piece) {
    for (std::size_t begin = 0; begin < count;) {
        const std::uint64_t first = words[begin] >> sector_shift;
        std::uint64_t last = (words[begin] + journal_word_size - 1) >> sector_shift;
        std::size_t end = begin + 1;
        for (; end < count && (words[end] >> sector_shift) <= last + 1; ++end) {
            const std::uint64_t word_last = (words[end] + journal_word_size - 1) >> sector_shift;
            if (word_last - first >= piece_sectors) {
                break;
            }
            last = std::max(last, word_last);
        }
        if (!piece(first << sector_shift, std::min((last + 1) << sector_shift, length),
                   words + begin, end - begin)) {
            return false;
        }
        begin = end;
    }
    return true;
}

// Reads the file's bytes [begin, stop) into the buffer, seen as a dry run
// would have left them; false (reported) when it cannot.
bool read_piece(undo_state& undo, undo_target& file, std::uint64_t begin, std::uint64_t stop) {
    const auto size = static_cast<std::size_t>(stop - begin);
    if (!hold(undo.buffers.data, size) || !hold(undo.buffers.marks, change_map_words(size))) {
        report(file.target.output, file.target.path(), nullptr,
               "cannot allocate %llu bytes: not restored further",
               static_cast<unsigned long long>(size));
        return false;
    }
    unsigned char* const data = undo.buffers.data.data();
    int error = 0;
    if (read_at(file.target.file, begin, data, size, &error) != size) {
        report(file.target.output, file.target.path(), nullptr,
               "cannot read: %s: not restored further",
               error != 0 ? std::strerror(error) : "it ends before its recorded length");
        return false;
    }
    for (auto word = file.put_back.lower_bound(begin >= 2 ? begin - 2 : 0);
         word != file.put_back.end() && *word < stop; ++word) {
        for (std::uint64_t byte = *word; byte < *word + colour_changed_bytes; ++byte) {
            if (byte >= begin && byte < stop) {
                data[byte - begin] = grey_byte;
            }
        }
    }
    return true;
}

enum class verdict { same, differs, failed };

// Whether the sectors that hold the record's words hold what its run left
// there (a version-1 record: whether the file has the identity recorded).
verdict as_the_run_left_it(undo_state& undo, undo_target& file, const journal_record& record) {
    if (record.header.version == journal_version_1) {
        return file.target.file.identity == record.header.identity ? verdict::same
                                                                   : verdict::differs;
    }
    const std::uint64_t* words = undo.contents.positions.data() + record.first_position;
    std::uint32_t crc = 0;
    const bool read = for_each_piece(
        words, record.count, record.header.file_length,
        [&](std::uint64_t begin, std::uint64_t stop, const std::uint64_t* in, std::size_t count) {
            if (!read_piece(undo, file, begin, stop)) {
                return false;
            }
            crc = word_sectors_crc(undo.buffers.data.data(), begin,
                                   static_cast<std::size_t>(stop - begin), in, count, crc);
            return true;
        });
    if (!read) {
        return verdict::failed;
    }
    return crc == record.header.sectors_crc ? verdict::same : verdict::differs;
}

// Puts back the words of one record of the file, piece by piece; false when
// the file must be left as it is from there on (reported), or a signal
// arrived before a piece.
bool restore_record(undo_state& undo, undo_target& file, const journal_record& record,
                    std::uint64_t* restored) {
    write_target& target = file.target;
    file_report& output = target.output;
    const std::uint64_t* words = undo.contents.positions.data() + record.first_position;
    std::vector<std::pair<std::size_t, std::uint64_t>> changed;  // last byte changed, word
    return for_each_piece(
        words, record.count, record.header.file_length,
        [&](std::uint64_t begin, std::uint64_t stop, const std::uint64_t* in, std::size_t count) {
            if (arrived_signal() != 0) {
                return false;  // between pieces, where no word is cut
            }
            if (!read_piece(undo, file, begin, stop)) {
                return false;
            }
            const auto size = static_cast<std::size_t>(stop - begin);
            unsigned char* const data = undo.buffers.data.data();
            std::uint64_t* const marks = undo.buffers.marks.data();
            std::memset(marks, 0, change_map_words(size) * sizeof(std::uint64_t));
            changed.clear();
            for (std::size_t i = 0; i < count; ++i) {
                const auto at = static_cast<std::size_t>(in[i] - begin);
                if (grey(data + at)) {
                    continue;
                }
                if (!whitened(data + at)) {
                    report(output, target.path(), nullptr,
                           "the colour word at byte %llu is now %02X %02X %02X %02X, neither "
                           "white nor grey: changed since the run, left alone",
                           static_cast<unsigned long long>(in[i]), data[at], data[at + 1],
                           data[at + 2], data[at + 3]);
                    continue;
                }
                std::size_t last = at;
                for (std::size_t byte = at; byte < at + colour_changed_bytes; ++byte) {
                    if (data[byte] != grey_byte) {
                        marks[byte / 64] |= std::uint64_t{1} << (byte % 64);
                        data[byte] = grey_byte;
                        last = byte;
                    }
                }
                changed.emplace_back(last, in[i]);
            }
            if (output.settings.dry_run) {
                for (const auto& word : changed) {
                    file.put_back.insert(word.second);
                }
                *restored += changed.size();
                return true;
            }
            find_marked_runs(marks, size, &undo.buffers.runs);
            const write_back done = write_marked_sectors(target, nullptr, begin, data, marks, size,
                                                         white_byte, undo.buffers);
            // Only the words every changed byte of which reached the file.
            for (const auto& word : changed) {
                *restored += word.first < done.written;
            }
            if (done.step == next_step::stop) {
                return false;  // a word a failed write stopped inside is part white: undo again
            }
            return true;
        });
}

// Opens the file at `path` (for update, and locked, unless a dry run) if it
// has the recorded length and holds what the file's newest record left in
// it; otherwise *why says why it was not taken, and it is closed.
bool open_recorded(undo_state& undo, const journaled_file& file, const char* path,
                   undo_target* opened, std::string* why) {
    file_report& output = opened->target.output;
    open_file& handle = opened->target.file;
    char reason[160];
    switch (open_named_file(path, &handle)) {
        case open_status::opened:
            break;
        case open_status::not_regular:
            *why = "not a regular file: left alone";
            return false;
        default:
            *why = cannot_open(output.settings);
            *why += ": ";
            *why += std::strerror(errno);
            return false;
    }
    opened->target.opened_size = handle.size;
    const journal_record& newest = undo.contents.records[file.records.front()];
    verdict same = verdict::differs;
    if (handle.size != file.length) {
        std::snprintf(reason, sizeof reason,
                      "its length is now %llu bytes, was %llu when recorded: left alone",
                      static_cast<unsigned long long>(handle.size),
                      static_cast<unsigned long long>(file.length));
        *why = reason;
    } else if ((same = as_the_run_left_it(undo, *opened, newest)) == verdict::failed) {
        why->clear();  // the failure is reported already
    } else if (same == verdict::differs) {
        *why = newest.header.version == journal_version_1
                   ? "not the file the journal recorded (another file has this name now): left "
                     "alone"
                   : "not the file the journal recorded (its bytes around the recorded words "
                     "are not what the run left there): left alone";
    } else if (output.settings.dry_run) {
        return true;
    } else {
        if (open_for_writing(opened->target, why)) {
            return true;
        }
    }
    close_or_report(output, path, handle);
    return false;
}

// Puts back every word the file's records hold, newest record first, and prints its line.
void restore_file(undo_state& undo, const journaled_file& file, file_report& output) {
    const journal_contents& contents = undo.contents;
    const std::vector<std::string> paths = paths_of(contents, file, undo.here);
    undo_target opened{{output, {}, {}, 0, 0}, {}};
    std::vector<std::string> refused;
    std::size_t chosen = 0;
    for (; chosen < paths.size(); ++chosen) {
        opened.target.place = {nullptr, nullptr, paths[chosen].c_str()};
        std::string why;
        if (open_recorded(undo, file, paths[chosen].c_str(), &opened, &why)) {
            break;
        }
        refused.push_back(why);
    }
    if (chosen == paths.size()) {
        for (std::size_t i = 0; i < paths.size(); ++i) {
            if (!refused[i].empty()) {
                report(output, paths[i].c_str(), nullptr, "%s", refused[i].c_str());
            }
        }
        return;
    }
    const char* const path = paths[chosen].c_str();
    std::uint64_t restored = 0;
    bool stopped = false;  // words of a record were left as they are
    try {
        for (std::size_t index : file.records) {
            const journal_record& record = contents.records[index];
            const verdict same = as_the_run_left_it(undo, opened, record);
            if (same == verdict::failed) {
                break;
            }
            if (same == verdict::differs) {
                const std::uint64_t* words = contents.positions.data() + record.first_position;
                report(output, path, nullptr,
                       "bytes %llu to %llu are not what the run left there: %llu recorded words "
                       "there left alone",
                       static_cast<unsigned long long>(words[0]),
                       static_cast<unsigned long long>(words[record.count - 1] + journal_word_size -
                                                       1),
                       static_cast<unsigned long long>(record.count));
                continue;
            }
            if (!restore_record(undo, opened, record, &restored)) {
                stopped = true;
                break;
            }
        }
    } catch (const std::bad_alloc&) {
        report(output, path, nullptr, "not restored further: %s", std::strerror(ENOMEM));
    }
    close_or_report(output, path, opened.target.file);
    if (stopped && arrived_signal() != 0) {
        return;  // a file a signal stopped partway has no line, as a model has none
    }
    print_restore_line(output, path, restored);
}

// Reads the journal's sound records; false (reported) when it cannot be read.
bool read_whole_journal(run_printer& printer, const char* path, journal_contents* contents) {
    open_file journal;
    switch (open_file_at({nullptr, nullptr, path}, &journal)) {
        case open_status::opened:
            break;
        case open_status::not_regular:
            printer.report(path, nullptr, "cannot read the undo journal: not a regular file");
            return false;
        default:
            printer.report(path, nullptr, "cannot read the undo journal: %s", std::strerror(errno));
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
        printer.report(path, nullptr, "cannot read the undo journal: %s", std::strerror(error));
    }
    return read;
}

}  // namespace

int undo_from_journal(const char* journal_path, const run_settings& settings, std::FILE* out,
                      std::FILE* err) {
    journal_contents contents;
    {
        // A journal that cannot be undone is a wrong command line: said on stderr alone.
        run_printer usage(out, err, {}, false);
        if (!read_whole_journal(usage, journal_path, &contents)) {
            return exit_usage;  // nothing was put back
        }
        if (holds_no_journal(contents)) {
            usage.report(journal_path, nullptr,
                         "not an undo journal (it does not begin with one, and holds no record): "
                         "nothing put back");
            return exit_usage;
        }
    }
    run_settings undoing = settings;
    undoing.undo = true;
    run_printer printer(out, err, undoing, false);
    for (const journal_damage& damage : contents.damage) {
        printer.report(journal_path, nullptr, "bytes %llu to %llu ignored: %s",
                       static_cast<unsigned long long>(damage.begin),
                       static_cast<unsigned long long>(damage.end - 1), damage.why);
    }
    undo_state undo{printer, contents, {}, {}};
    if (!current_folder(&undo.here)) {
        undo.here.clear();  // every recorded folder is then tried
    }
    try {
        for (const journaled_file& file : files_of(contents)) {
            // One file at a time, on this thread: what it tells goes out at once.
            file_report told(printer.settings(), printer.progress);
            told.live = &printer;
            restore_file(undo, file, told);
            printer.put_out(told);
            printer.end_if_signalled();
        }
    } catch (const std::bad_alloc&) {
        printer.report(journal_path, nullptr, "not put back further: %s", std::strerror(ENOMEM));
    }
    printer.print_undo_summary();
    printer.check_written(true);
    return printer.status();
}

}  // namespace img_whiten
