// make-sample-archive OUT [--size-mib N] [--seed S]: writes a realistic
// version-2 IMG archive of clump models and texture and collision entries.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "archive_builder.h"

namespace {

int usage() {
    std::fprintf(stderr, "usage: make-sample-archive OUT [--size-mib N] [--seed S]\n");
    return 2;
}

bool parse_number(const char* text, unsigned long long* value) {
    char* end = nullptr;
    errno = 0;
    *value = std::strtoull(text, &end, 10);
    return errno == 0 && end != text && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
    const char* out_path = nullptr;
    img_whiten::build::sample_options options;
    for (int i = 1; i < argc; ++i) {
        unsigned long long value = 0;
        if (std::strcmp(argv[i], "--size-mib") == 0 && i + 1 < argc &&
            parse_number(argv[i + 1], &value) && value > 0 && value < (1ull << 22)) {
            options.target_bytes = value << 20;
            ++i;
        } else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc &&
                   parse_number(argv[i + 1], &value)) {
            options.seed = value;
            ++i;
        } else if (out_path == nullptr && argv[i][0] != '-') {
            out_path = argv[i];
        } else {
            return usage();
        }
    }
    if (out_path == nullptr) {
        return usage();
    }
    std::FILE* file = std::fopen(out_path, "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "make-sample-archive: %s: %s\n", out_path, std::strerror(errno));
        return 1;
    }
    const bool written =
        img_whiten::build::write_archive(file, img_whiten::build::sample_entries(options));
    if (std::fclose(file) != 0 || !written) {
        std::fprintf(stderr, "make-sample-archive: %s: write failed\n", out_path);
        return 1;
    }
    return 0;
}
