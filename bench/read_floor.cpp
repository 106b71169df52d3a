// The least a patch run can cost on the same I/O.
//
//   read-floor ARCHIVE [WRITE_MASK]
//   read-floor --tree FOLDER
//
// On an archive it reads the header and the directory with one read each and
// every model entry with one read into one reused buffer, and does nothing
// else. With WRITE_MASK, a file holding one character per model entry in
// directory order, it also writes back each entry marked '1' with one write,
// as img-whiten 1.0 did for an entry it changed. With --tree it walks FOLDER
// as a run does (names sorted, depth first, links not followed) and reads
// each archive as above and each loose model whole, with one read.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive.h"
#include "file_io.h"
#include "model_patch.h"
#include "targets.h"

namespace {

using namespace img_whiten;

int fail(const char* what, const std::string& path) {
    std::fprintf(stderr, "read-floor: %s: %s\n", path.c_str(), what);
    return 1;
}

std::string read_mask(const char* path) {
    std::string mask;
    if (std::FILE* file = std::fopen(path, "rb")) {
        for (int c; (c = std::fgetc(file)) != EOF;) {
            mask.push_back(static_cast<char>(c));
        }
        std::fclose(file);
    }
    return mask;
}

bool read_exactly(const open_file& file, std::uint64_t offset, unsigned char* data,
                  std::size_t length) {
    int error = 0;
    return read_at(file, offset, data, length, &error) == length;
}

int read_archive(const std::string& path, const std::string& mask,
                 reused_block<unsigned char>& buffer) {
    open_file file;
    const file_place place{nullptr, nullptr, path.c_str()};
    if (open_file_at(place, &file) != open_status::opened ||
        (!mask.empty() && open_for_update(place, &file) != open_status::opened)) {
        return fail("cannot open", path);
    }
    unsigned char header_bytes[archive_header_size];
    if (!read_exactly(file, 0, header_bytes, sizeof header_bytes)) {
        return fail("no header", path);
    }
    const archive_header header = decode_archive_header(header_bytes);
    if (header.magic != archive_magic || header.entry_count <= 0) {
        close_file(file);
        return 0;
    }
    const auto count = static_cast<std::size_t>(header.entry_count);
    std::vector<unsigned char> directory(count * archive_entry_size);
    if (!read_exactly(file, directory_offset, directory.data(), directory.size())) {
        return fail("short directory", path);
    }
    std::size_t model = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const archive_entry entry = decode_archive_entry(&directory[i * archive_entry_size]);
        if (!is_model_entry(entry.name)) {
            continue;
        }
        const auto length = static_cast<std::size_t>(entry_data_length(entry));
        if (!buffer.reserve(length)) {
            return fail("out of memory", path);
        }
        if (!read_exactly(file, entry_data_offset(entry), buffer.items, length)) {
            return fail("short entry", path);
        }
        if (model < mask.size() && mask[model] == '1') {
            int error = 0;
            if (write_at(file, entry_data_offset(entry), buffer.items, length, &error) != length) {
                return fail("write failed", path);
            }
        }
        ++model;
    }
    return close_file(file) ? 0 : fail("close failed", path);
}

int read_model(const file_place& place, reused_block<unsigned char>& buffer) {
    const std::string path = place.path;
    open_file file;
    if (open_file_at(place, &file) != open_status::opened) {
        return fail("cannot open", path);
    }
    const auto size = static_cast<std::size_t>(file.size);
    if (!buffer.reserve(size) || !read_exactly(file, 0, buffer.items, size)) {
        return fail("cannot read", path);
    }
    return close_file(file) ? 0 : fail("close failed", path);
}

int read_tree(const file_place& place, reused_block<unsigned char>& buffer) {
    open_folder folder;
    folder_listing listing;
    if (open_folder_at(place, &folder) != open_status::opened || !list_folder(folder, &listing)) {
        return fail("cannot list", place.path);
    }
    int status = 0;
    for (std::size_t i = 0; i < listing.size(); ++i) {
        const char* name = listing.name(i);
        const std::string path = join_path(folder.path, name);
        const file_place child{&folder, name, path.c_str()};
        if (listing.kind(i) == path_kind::folder) {
            status |= read_tree(child, buffer);
        } else if (listing.kind(i) == path_kind::regular && has_model_name(name)) {
            status |= read_model(child, buffer);
        } else if (listing.kind(i) == path_kind::regular && has_archive_name(name)) {
            status |= read_archive(path, "", buffer);
        }
    }
    close_folder(folder);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    reused_block<unsigned char> buffer;
    if (argc == 3 && std::strcmp(argv[1], "--tree") == 0) {
        return read_tree(file_place{nullptr, nullptr, argv[2]}, buffer);
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: read-floor ARCHIVE [WRITE_MASK] | read-floor --tree FOLDER\n");
        return 1;
    }
    return read_archive(argv[1], argc > 2 ? read_mask(argv[2]) : "", buffer);
}
