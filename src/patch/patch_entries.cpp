#include "patch_entries.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "archive.h"
#include "signals.h"

namespace img_whiten {

namespace {

// Directory records read at once.
constexpr std::size_t directory_block_records = 2048;

// Checks where a model entry lies, then patches the bytes of it that the file holds.
next_step patch_entry(patch_target& target, const archive_entry& entry, std::uint64_t protected_end,
                      std::uint64_t file_size, model_buffers& buffers) {
    file_report& output = target.output;
    const std::uint64_t offset = entry_data_offset(entry);
    const std::uint64_t length = entry_data_length(entry);
    if (length == 0) {
        print_model_line(output, target.path(), entry.name, 0);
        return next_step::go_on;
    }
    if (offset < protected_end) {
        print_model_line(output, target.path(), entry.name, 0);
        report(output, target.path(), entry.name,
               "data overlaps the archive header or directory: not patched");
        return next_step::go_on;
    }
    const std::uint64_t available = offset < file_size ? std::min(length, file_size - offset) : 0;
    if (available == 0) {
        print_model_line(output, target.path(), entry.name, 0);
        report(output, target.path(), entry.name,
               "data starts past the end of the file (byte %llu of %llu)",
               static_cast<unsigned long long>(offset), static_cast<unsigned long long>(file_size));
        return next_step::go_on;
    }
    return patch_model(target, entry.name, offset, available, length, buffers);
}

}  // namespace

void patch_archive_entries(patch_target& target, std::uint64_t file_size,
                           const unsigned char* header_bytes, model_buffers& buffers) {
    file_report& output = target.output;
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

    if (records < static_cast<std::uint64_t>(header.entry_count)) {
        report(output, target.path(), nullptr,
               "directory runs past the end of the file: %llu of %d entries present",
               static_cast<unsigned long long>(records), static_cast<int>(header.entry_count));
    }
    // Read a block of records at a time, so that memory does not grow with the directory.
    unsigned char block[directory_block_records * archive_entry_size];
    std::size_t in_block = 0;
    for (std::uint64_t index = 0; index < records; ++index) {
        if (arrived_signal() != 0) {
            break;
        }
        const std::size_t slot = static_cast<std::size_t>(index % directory_block_records);
        if (slot == 0) {
            const auto count = static_cast<std::size_t>(
                std::min<std::uint64_t>(records - index, directory_block_records));
            int error = 0;
            const std::size_t got =
                read_at(target.file, directory_offset + index * archive_entry_size, block,
                        count * archive_entry_size, &error);
            in_block = got / archive_entry_size;
            if (error != 0) {
                report(output, target.path(), nullptr, "cannot read the directory: %s",
                       std::strerror(error));
            } else if (in_block < count) {
                report(output, target.path(), nullptr,
                       "changed during the run: the directory ends after %llu entries",
                       static_cast<unsigned long long>(index + in_block));
            }
        }
        if (slot >= in_block) {
            break;
        }
        const archive_entry entry = decode_archive_entry(block + slot * archive_entry_size);
        if (!is_model_entry(entry.name)) {
            continue;
        }
        if (patch_entry(target, entry, protected_end, file_size, buffers) == next_step::stop) {
            break;
        }
    }
}

}  // namespace img_whiten
