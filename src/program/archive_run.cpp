#include "archive_run.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "archive.h"
#include "signals.h"

namespace img_whiten {

namespace {

// Checks where a model entry lies, then patches the bytes of it that the file holds.
next_step patch_entry(patch_target& target, const archive_entry& entry, std::uint64_t protected_end,
                      std::uint64_t file_size, model_buffers& buffers) {
    run_output& output = target.output;
    print_entry_start(output, entry.name);
    const std::uint64_t offset = entry_data_offset(entry);
    const std::uint64_t length = entry_data_length(entry);
    if (length == 0) {
        print_count(output, 0);
        return next_step::go_on;
    }
    if (offset < protected_end) {
        print_count(output, 0);
        report(output, target.path, entry.name,
               "data overlaps the archive header or directory: not patched");
        return next_step::go_on;
    }
    const std::uint64_t available = offset < file_size ? std::min(length, file_size - offset) : 0;
    if (available == 0) {
        print_count(output, 0);
        report(output, target.path, entry.name,
               "data starts past the end of the file (byte %llu of %llu)",
               static_cast<unsigned long long>(offset), static_cast<unsigned long long>(file_size));
        return next_step::go_on;
    }
    return patch_model_bytes(target, entry.name, offset, available, length, buffers);
}

}  // namespace

void patch_archive_entries(patch_target& target, std::uint64_t file_size,
                           const unsigned char* header_bytes, model_buffers& buffers) {
    run_output& output = target.output;
    const archive_header header = decode_archive_header(header_bytes);
    if (header.magic != archive_magic || header.entry_count <= 0) {
        return;
    }
    // The directory, as far as the file holds whole records.
    const std::uint64_t declared =
        static_cast<std::uint64_t>(header.entry_count) * archive_entry_size;
    const std::uint64_t present =
        file_size > archive_header_size ? file_size - archive_header_size : 0;
    const std::uint64_t records = std::min(declared, present) / archive_entry_size;
    // Any entry data starting before here would overwrite the header or the directory.
    const std::uint64_t protected_end = directory_offset + declared;

    reused_block<unsigned char> directory;
    std::size_t read_records = 0;
    int error = 0;
    if (records > 0) {
        const auto directory_bytes = static_cast<std::size_t>(records * archive_entry_size);
        if (!directory.reserve(directory_bytes)) {
            report(output, target.path, nullptr, "cannot allocate the directory of %llu entries",
                   static_cast<unsigned long long>(records));
            return;
        }
        const std::size_t got =
            read_at(target.file, directory_offset, directory.items, directory_bytes, &error);
        read_records = got / archive_entry_size;
    }
    if (error != 0) {
        report(output, target.path, nullptr, "cannot read the directory: %s", std::strerror(error));
    } else if (read_records < static_cast<std::uint64_t>(header.entry_count)) {
        report(output, target.path, nullptr,
               "directory runs past the end of the file: %llu of %d entries present",
               static_cast<unsigned long long>(read_records), static_cast<int>(header.entry_count));
    }
    for (std::size_t index = 0; index < read_records; ++index) {
        end_if_signalled();
        const archive_entry entry =
            decode_archive_entry(directory.items + index * archive_entry_size);
        if (!is_model_entry(entry.name)) {
            continue;
        }
        if (patch_entry(target, entry, protected_end, file_size, buffers) == next_step::stop) {
            break;
        }
    }
}

}  // namespace img_whiten
