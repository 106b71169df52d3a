#include "path_list.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>

#include "utf16.h"
#endif

namespace img_whiten {

namespace {

std::FILE* open_list(const char* source) {
    if (std::strcmp(source, "-") == 0) {
#if defined(_WIN32)
        _setmode(_fileno(stdin), _O_BINARY);  // keeps "\r" and a Ctrl+Z byte as they are
#endif
        return stdin;
    }
#if defined(_WIN32)
    return _wfopen(utf8_to_wide(source).c_str(), L"rb");
#else
    return std::fopen(source, "rb");
#endif
}

}  // namespace

bool read_path_list(const char* source, bool nul_separated, std::vector<std::string>* paths,
                    std::string* error_reason) {
    std::FILE* file = open_list(source);
    if (file == nullptr) {
        *error_reason = std::strerror(errno);
        return false;
    }
    std::string text;
    char buffer[1 << 16];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        text.append(buffer, got);
    }
    const bool failed = std::ferror(file) != 0;
    const int error = errno;
    if (file != stdin) {
        std::fclose(file);
    }
    if (failed) {
        *error_reason = std::strerror(error);
        return false;
    }
    const char separator = nul_separated ? '\0' : '\n';
    std::size_t start = 0;
    if (!nul_separated && text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        start = 3;  // as some Windows editors begin a UTF-8 file
    }
    std::vector<std::string> listed;
    while (start < text.size()) {
        std::size_t end = text.find(separator, start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string entry = text.substr(start, end - start);
        start = end + 1;
        if (!nul_separated) {
            if (!entry.empty() && entry.back() == '\r') {  // the last line's too, unended
                entry.pop_back();
            }
            if (entry.find('\0') != std::string::npos) {
                *error_reason =
                    "a line holds a NUL byte (a NUL-separated list needs -0, and a "
                    "UTF-16 list is not read)";
                return false;
            }
        }
        if (!entry.empty()) {
            listed.push_back(std::move(entry));
        }
    }
    paths->insert(paths->end(), listed.begin(), listed.end());
    return true;
}

}  // namespace img_whiten
