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
    if (open_file_at(path.c_str(), mask.empty() ? file_access::read_only : file_access::update,
                     &file) != open_status::opened) {
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

int read_model(const std::string& path, reused_block<unsigned char>& buffer) {
    open_file file;
    if (open_file_at(path.c_str(), file_access::read_only, &file) != open_status::opened) {
        return fail("cannot open", path);
    }
    const auto size = static_cast<std::size_t>(file.size);
    if (!buffer.reserve(size) || !read_exactly(file, 0, buffer.items, size)) {
        return fail("cannot read", path);
    }
    return close_file(file) ? 0 : fail("close failed", path);
}

int read_tree(const std::string& folder, reused_block<unsigned char>& buffer) {
    std::vector<folder_entry> entries;
    if (!list_folder(folder.c_str(), &entries)) {
        return fail("cannot list", folder);
    }
    int status = 0;
    for (const folder_entry& entry : entries) {
        const std::string path = join_path(folder, entry.name);
        if (entry.kind == path_kind::folder) {
            status |= read_tree(path, buffer);
        } else if (entry.kind == path_kind::regular && is_model_entry(entry.name.c_str())) {
            status |= read_model(path, buffer);
        } else if (entry.kind == path_kind::regular && has_archive_name(entry.name)) {
            status |= read_archive(path, "", buffer);
        }
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    reused_block<unsigned char> buffer;
    if (argc == 3 && std::strcmp(argv[1], "--tree") == 0) {
        return read_tree(argv[2], buffer);
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: read-floor ARCHIVE [WRITE_MASK] | read-floor --tree FOLDER\n");
        return 1;
    }
    return read_archive(argv[1], argc > 2 ? read_mask(argv[2]) : "", buffer);
}
