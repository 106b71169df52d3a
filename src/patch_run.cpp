#include "patch_run.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <map>
#include <string>

#include "archive.h"
#include "command_line.h"
#include "console.h"
#include "file_stream.h"
#include "material_walk.h"

namespace img_whiten {

namespace {

struct run_state {
    const char* path;
    std::FILE* out;
    std::FILE* err;
    std::FILE* archive;
    std::uint64_t file_size;
    bool dry_run;
    int status;
};

// The one way a failure reaches stderr: "img-whiten: <path>: <what>[: <reason>]".
// Progress lines go first, so they stay whole when both streams share a terminal.
#if defined(__GNUC__)
__attribute__((format(printf, 3, 4)))
#endif
void report(run_state& run, const char* entry_name, const char* format, ...) {
    std::fflush(run.out);
    std::string line = "img-whiten: ";
    line += run.path;
    line += ": ";
    if (entry_name != nullptr) {
        line += entry_name;
        line += ": ";
    }
    std::va_list args;
    va_start(args, format);
    std::va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length > 0) {
        // Formatted in place: vsnprintf's terminator lands where the line end goes.
        const std::size_t prefix = line.size();
        line.resize(prefix + static_cast<std::size_t>(length) + 1);
        std::vsnprintf(&line[prefix], static_cast<std::size_t>(length) + 1, format, args);
        line.back() = '\n';
    } else {
        line += '\n';
    }
    va_end(args);
    write_message(run.err, line);
    std::fflush(run.err);
    run.status = exit_failure_reported;
}

// One growing block reused for every entry: memory stays at the largest entry read.
template <typename T>
struct reused_block {
    T* items = nullptr;
    std::size_t capacity = 0;

    reused_block() = default;
    reused_block(const reused_block&) = delete;
    reused_block& operator=(const reused_block&) = delete;
    ~reused_block() { std::free(items); }

    bool reserve(std::size_t count) {
        if (count <= capacity) {
            return true;
        }
        std::free(items);
        items = count <= SIZE_MAX / sizeof(T) ? static_cast<T*>(std::malloc(count * sizeof(T)))
                                              : nullptr;
        capacity = items != nullptr ? count : 0;
        return items != nullptr;
    }
};

// The next run of set bits at or after bit `from`, as [*first, *end); false when none is left.
bool next_marked_run(const std::uint64_t* bits, std::size_t bit_count, std::size_t from,
                     std::size_t* first, std::size_t* end) {
    auto is_set = [bits](std::size_t bit) { return (bits[bit / 64] >> (bit % 64) & 1) != 0; };
    while (from < bit_count && !is_set(from)) {
        from = bits[from / 64] >> (from % 64) == 0 ? (from / 64 + 1) * 64 : from + 1;
    }
    if (from >= bit_count) {
        return false;
    }
    *first = from;
    while (from < bit_count && is_set(from)) {
        ++from;
    }
    *end = from;
    return true;
}

// What a dry run would have written so far: runs of bytes, by file position,
// that a real run turned white. Later entries that share those bytes read them
// as a real run would after its writes.
class pending_whites {
public:
    // Records the bytes marked one bit per byte in `changes` of an entry read at `offset`.
    void record(std::uint64_t offset, const std::uint64_t* changes, std::size_t length) {
        std::size_t first = 0, end = 0;
        for (std::size_t from = 0; next_marked_run(changes, length, from, &first, &end);
             from = end) {
            runs_.emplace(offset + first, offset + end);
        }
    }

    // Whitens the recorded bytes that fall in `length` bytes read from `offset`.
    void apply(std::uint64_t offset, unsigned char* data, std::size_t length) const {
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

private:
    std::map<std::uint64_t, std::uint64_t> runs_;  // first byte -> one past the last
};

struct entry_buffers {
    reused_block<unsigned char> data;
    reused_block<std::uint64_t> changes;
    pending_whites dry_run_whites;
};

void print_count(run_state& run, std::int64_t count) {
    std::fprintf(run.out, "patched %lld materials\n", static_cast<long long>(count));
}

enum class next_step { go_on, stop };

// Writes back the sectors of the entry at `offset` that hold a changed byte,
// neighbouring ones joined, each run flushed so a refused write is named here.
next_step write_changed_sectors(run_state& run, const archive_entry& entry, std::uint64_t offset,
                                const unsigned char* data, std::size_t length,
                                const std::uint64_t* changed_sectors) {
    const std::size_t sector_count = static_cast<std::size_t>((length - 1) / sector_size + 1);
    std::size_t first = 0, end = 0;
    for (std::size_t from = 0; next_marked_run(changed_sectors, sector_count, from, &first, &end);
         from = end) {
        const std::size_t begin = first * sector_size;
        const std::size_t stop = std::min<std::size_t>(end * sector_size, length);
        if (!seek_to(run.archive, offset + begin)) {
            report(run, entry.name, "cannot seek to byte %llu: %s: not written",
                   static_cast<unsigned long long>(offset + begin), std::strerror(errno));
            return next_step::go_on;
        }
        if (std::fwrite(data + begin, 1, stop - begin, run.archive) != stop - begin ||
            std::fflush(run.archive) != 0) {
            report(run, entry.name, "cannot write: %s: later entries not visited",
                   std::strerror(errno));
            return next_step::stop;
        }
    }
    return next_step::go_on;
}

// Reads one model entry, whitens it and writes back the sectors it changed;
// only bytes read from the entry's own position are ever written there.
next_step patch_entry(run_state& run, const archive_entry& entry, std::uint64_t protected_end,
                      entry_buffers& buffers) {
    std::fprintf(run.out, "Patching %s ", entry.name);
    const std::uint64_t offset = entry_data_offset(entry);
    const std::uint64_t length = entry_data_length(entry);
    if (length == 0) {
        print_count(run, 0);
        return next_step::go_on;
    }
    if (offset < protected_end) {
        print_count(run, 0);
        report(run, entry.name, "data overlaps the archive header or directory: not patched");
        return next_step::go_on;
    }
    const std::uint64_t available =
        offset < run.file_size ? std::min(length, run.file_size - offset) : 0;
    if (available == 0) {
        print_count(run, 0);
        report(run, entry.name, "data starts past the end of the file (byte %llu of %llu)",
               static_cast<unsigned long long>(offset),
               static_cast<unsigned long long>(run.file_size));
        return next_step::go_on;
    }
    // A real run marks changed sectors; a dry run marks changed bytes, to replay them later.
    const unsigned block_shift = run.dry_run ? 0 : sector_shift;
    const std::size_t mark_words =
        available > std::numeric_limits<std::size_t>::max()
            ? 0
            : change_map_words(static_cast<std::size_t>(available), block_shift);
    if (mark_words == 0 || !buffers.data.reserve(static_cast<std::size_t>(available)) ||
        !buffers.changes.reserve(mark_words)) {
        print_count(run, 0);
        report(run, entry.name, "cannot allocate %llu bytes: not patched",
               static_cast<unsigned long long>(available));
        return next_step::go_on;
    }
    unsigned char* const data = buffers.data.items;
    const std::size_t wanted = static_cast<std::size_t>(available);
    if (!seek_to(run.archive, offset)) {
        print_count(run, 0);
        report(run, entry.name, "cannot seek to byte %llu: %s",
               static_cast<unsigned long long>(offset), std::strerror(errno));
        return next_step::go_on;
    }
    const std::size_t got = std::fread(data, 1, wanted, run.archive);
    if (std::ferror(run.archive)) {
        const int error = errno;
        std::clearerr(run.archive);
        print_count(run, 0);
        report(run, entry.name, "cannot read: %s: not patched", std::strerror(error));
        return next_step::go_on;
    }
    std::clearerr(run.archive);
    if (run.dry_run) {
        buffers.dry_run_whites.apply(offset, data, got);
    }

    std::memset(buffers.changes.items, 0, mark_words * sizeof(std::uint64_t));
    change_map changes{buffers.changes.items, block_shift};
    const std::int64_t count = whiten_grey_materials(data, got, &changes);
    print_count(run, count);
    if (got < length) {
        report(run, entry.name, "data runs past the end of the file: read %llu of %llu bytes",
               static_cast<unsigned long long>(got), static_cast<unsigned long long>(length));
    }
    if (count == 0) {
        return next_step::go_on;
    }
    if (run.dry_run) {
        buffers.dry_run_whites.record(offset, changes.bits, got);
        return next_step::go_on;
    }
    return write_changed_sectors(run, entry, offset, data, got, changes.bits);
}

// Reads the directory as far as the file holds whole records and visits them in order.
void patch_entries(run_state& run, std::int32_t entry_count) {
    const std::uint64_t declared = static_cast<std::uint64_t>(entry_count) * archive_entry_size;
    const std::uint64_t present =
        run.file_size > archive_header_size ? run.file_size - archive_header_size : 0;
    const std::uint64_t records = std::min(declared, present) / archive_entry_size;
    // Any entry data starting before here would overwrite the header or the directory.
    const std::uint64_t protected_end = directory_offset + declared;

    unsigned char* directory = nullptr;
    std::size_t read_records = 0;
    if (records > 0) {
        directory = static_cast<unsigned char*>(
            std::malloc(static_cast<std::size_t>(records * archive_entry_size)));
        if (directory == nullptr) {
            report(run, nullptr, "cannot allocate the directory of %llu entries",
                   static_cast<unsigned long long>(records));
            return;
        }
        read_records = std::fread(directory, archive_entry_size, static_cast<std::size_t>(records),
                                  run.archive);
    }
    if (std::ferror(run.archive)) {
        report(run, nullptr, "cannot read the directory: %s", std::strerror(errno));
        std::clearerr(run.archive);
    } else if (read_records < static_cast<std::uint64_t>(entry_count)) {
        report(run, nullptr, "directory runs past the end of the file: %llu of %d entries present",
               static_cast<unsigned long long>(read_records), static_cast<int>(entry_count));
    }

    entry_buffers buffers;
    for (std::size_t index = 0; index < read_records; ++index) {
        const archive_entry entry = decode_archive_entry(directory + index * archive_entry_size);
        if (!is_model_entry(entry.name)) {
            continue;
        }
        if (patch_entry(run, entry, protected_end, buffers) == next_step::stop) {
            break;
        }
    }
    std::free(directory);
}

}  // namespace

int patch_archive_file(const char* path, std::FILE* out, std::FILE* err, run_mode mode) {
    const bool dry_run = mode == run_mode::dry_run;
    run_state run{path, out, err, nullptr, 0, dry_run, exit_done};
    bool in_use = false;
    run.archive =
        open_archive(path, dry_run ? archive_access::read_only : archive_access::update, &in_use);
    if (run.archive == nullptr) {
        if (in_use) {
            report(run, nullptr, "in use by another program: %s", in_use_reason());
        } else {
            report(run, nullptr,
                   dry_run ? "cannot open for reading: %s" : "cannot open for update: %s",
                   std::strerror(errno));
        }
        return run.status;
    }
    unsigned char header_bytes[archive_header_size];
    if (!stream_size(run.archive, &run.file_size)) {
        report(run, nullptr, "cannot find the file's size: %s", std::strerror(errno));
    } else if (std::fread(header_bytes, 1, archive_header_size, run.archive) !=
               archive_header_size) {
        // A file shorter than the header is not an archive: left alone silently.
        if (std::ferror(run.archive)) {
            report(run, nullptr, "cannot read the header: %s", std::strerror(errno));
        }
    } else {
        const archive_header header = decode_archive_header(header_bytes);
        if (header.magic == archive_magic && header.entry_count > 0) {
            patch_entries(run, header.entry_count);
        }
    }
    if (std::fclose(run.archive) != 0) {
        report(run, nullptr, "cannot close: %s", std::strerror(errno));
    }
    if (std::fflush(out) != 0 || std::ferror(out)) {
        report(run, nullptr, "cannot write progress to standard output");
    }
    return run.status;
}

int patch_archive(int argc, char** argv) {
    const command_line line = parse_command_line(argc, argv);
    switch (line.what) {
        case command::nothing:
            return exit_done;
        case command::help:
            print_help(stdout);
            return std::fflush(stdout) == 0 ? exit_done : exit_failure_reported;
        case command::version:
            print_version(stdout);
            return std::fflush(stdout) == 0 ? exit_done : exit_failure_reported;
        case command::missing_path:
            write_message(stderr, std::string("img-whiten: ") + argv[1] +
                                      ": no archive given; see img-whiten --help\n");
            return exit_usage;
        case command::dry_run:
            return patch_archive_file(line.path, stdout, stderr, run_mode::dry_run);
        case command::patch:
            break;
    }
    return patch_archive_file(line.path, stdout, stderr, run_mode::patch);
}

}  // namespace img_whiten
