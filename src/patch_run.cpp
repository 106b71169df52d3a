#include "patch_run.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "archive.h"
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
    int status;
};

// The one way a failure reaches stderr: "img-whiten: <path>: <what>[: <reason>]".
// Progress lines go first, so they stay whole when both streams share a terminal.
#if defined(__GNUC__)
__attribute__((format(printf, 3, 4)))
#endif
void report(run_state& run, const char* entry_name, const char* format, ...) {
    std::fflush(run.out);
    std::fprintf(run.err, "img-whiten: %s: ", run.path);
    if (entry_name != nullptr) {
        std::fprintf(run.err, "%s: ", entry_name);
    }
    std::va_list args;
    va_start(args, format);
    std::vfprintf(run.err, format, args);
    va_end(args);
    std::fputc('\n', run.err);
    std::fflush(run.err);
    run.status = exit_failure_reported;
}

// One growing block reused for every entry: memory stays at the largest entry read.
struct entry_buffer {
    unsigned char* bytes = nullptr;
    std::size_t capacity = 0;

    entry_buffer() = default;
    entry_buffer(const entry_buffer&) = delete;
    entry_buffer& operator=(const entry_buffer&) = delete;
    ~entry_buffer() { std::free(bytes); }

    bool reserve(std::size_t size) {
        if (size <= capacity) {
            return true;
        }
        std::free(bytes);
        bytes = static_cast<unsigned char*>(std::malloc(size));
        capacity = bytes != nullptr ? size : 0;
        return bytes != nullptr;
    }
};

void print_count(run_state& run, std::int64_t count) {
    std::fprintf(run.out, "patched %lld materials\n", static_cast<long long>(count));
}

enum class next_step { go_on, stop };

// Reads one model entry, whitens it and writes it back when it changed; only
// bytes read from the entry's own position are ever written there.
next_step patch_entry(run_state& run, const archive_entry& entry, std::uint64_t protected_end,
                      entry_buffer& buffer) {
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
    if (available > std::numeric_limits<std::size_t>::max() ||
        !buffer.reserve(static_cast<std::size_t>(available))) {
        print_count(run, 0);
        report(run, entry.name, "cannot allocate %llu bytes: not patched",
               static_cast<unsigned long long>(available));
        return next_step::go_on;
    }
    const std::size_t wanted = static_cast<std::size_t>(available);
    if (!seek_to(run.archive, offset)) {
        print_count(run, 0);
        report(run, entry.name, "cannot seek to byte %llu: %s",
               static_cast<unsigned long long>(offset), std::strerror(errno));
        return next_step::go_on;
    }
    const std::size_t got = std::fread(buffer.bytes, 1, wanted, run.archive);
    if (std::ferror(run.archive)) {
        const int error = errno;
        std::clearerr(run.archive);
        print_count(run, 0);
        report(run, entry.name, "cannot read: %s: not patched", std::strerror(error));
        return next_step::go_on;
    }
    std::clearerr(run.archive);

    const std::int64_t count = whiten_grey_materials(buffer.bytes, got);
    print_count(run, count);
    if (got < length) {
        report(run, entry.name, "data runs past the end of the file: read %llu of %llu bytes",
               static_cast<unsigned long long>(got), static_cast<unsigned long long>(length));
    }
    if (count == 0) {
        return next_step::go_on;
    }
    if (!seek_to(run.archive, offset)) {
        report(run, entry.name, "cannot seek to byte %llu: %s: not written",
               static_cast<unsigned long long>(offset), std::strerror(errno));
        return next_step::go_on;
    }
    // Flush here so a refused write is caught and named for this entry.
    if (std::fwrite(buffer.bytes, 1, got, run.archive) != got || std::fflush(run.archive) != 0) {
        report(run, entry.name, "cannot write: %s: later entries not visited",
               std::strerror(errno));
        return next_step::stop;
    }
    return next_step::go_on;
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

    entry_buffer buffer;
    for (std::size_t index = 0; index < read_records; ++index) {
        const archive_entry entry = decode_archive_entry(directory + index * archive_entry_size);
        if (!is_model_entry(entry.name)) {
            continue;
        }
        if (patch_entry(run, entry, protected_end, buffer) == next_step::stop) {
            break;
        }
    }
    std::free(directory);
}

}  // namespace

int patch_archive_file(const char* path, std::FILE* out, std::FILE* err) {
    run_state run{path, out, err, nullptr, 0, exit_done};
    run.archive = std::fopen(path, "rb+");
    if (run.archive == nullptr) {
        report(run, nullptr, "cannot open for update: %s", std::strerror(errno));
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
    if (argc < 2) {
        return exit_done;
    }
    return patch_archive_file(argv[1], stdout, stderr);
}

}  // namespace img_whiten
