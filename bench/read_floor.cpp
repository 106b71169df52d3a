// read-floor ARCHIVE [WRITE_MASK]: the least a patch run over ARCHIVE can cost
// on the same I/O. It reads the header and the directory with one read each
// and every model entry with one read into one reused buffer, and does
// nothing else. With WRITE_MASK, a file holding one character per model entry
// in directory order, it also writes back each entry marked '1' with one write
// and a flush, as a run that changed it would.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive.h"
#include "file_stream.h"

namespace {

int fail(const char* what) {
    std::fprintf(stderr, "read-floor: %s\n", what);
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

}  // namespace

int main(int argc, char** argv) {
    using namespace img_whiten;
    if (argc < 2) {
        return fail("usage: read-floor ARCHIVE [WRITE_MASK]");
    }
    const std::string mask = argc > 2 ? read_mask(argv[2]) : "";
    std::FILE* file = std::fopen(argv[1], argc > 2 ? "rb+" : "rb");
    if (file == nullptr) {
        return fail("cannot open the archive");
    }
    unsigned char header_bytes[archive_header_size];
    if (std::fread(header_bytes, 1, sizeof header_bytes, file) != sizeof header_bytes) {
        return fail("no header");
    }
    const archive_header header = decode_archive_header(header_bytes);
    if (header.magic != archive_magic || header.entry_count <= 0) {
        return fail("not an archive with entries");
    }
    const auto count = static_cast<std::size_t>(header.entry_count);
    std::vector<unsigned char> directory(count * archive_entry_size);
    if (std::fread(directory.data(), archive_entry_size, count, file) != count) {
        return fail("short directory");
    }
    unsigned char* buffer = nullptr;
    std::size_t capacity = 0;
    std::size_t model = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const archive_entry entry = decode_archive_entry(&directory[i * archive_entry_size]);
        if (!is_model_entry(entry.name)) {
            continue;
        }
        const auto length = static_cast<std::size_t>(entry_data_length(entry));
        if (length > capacity) {
            std::free(buffer);
            buffer = static_cast<unsigned char*>(std::malloc(length));
            capacity = length;
            if (buffer == nullptr) {
                return fail("out of memory");
            }
        }
        if (!seek_to(file, entry_data_offset(entry)) ||
            std::fread(buffer, 1, length, file) != length) {
            return fail("short entry");
        }
        if (model < mask.size() && mask[model] == '1') {
            if (!seek_to(file, entry_data_offset(entry)) ||
                std::fwrite(buffer, 1, length, file) != length || std::fflush(file) != 0) {
                return fail("write failed");
            }
        }
        ++model;
    }
    std::free(buffer);
    return std::fclose(file) == 0 ? 0 : fail("close failed");
}
