#include "wildcards.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "file_io.h"
#include "utf16.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace img_whiten {

namespace {

// Where the last component of `path` begins.
std::size_t last_component(const char* path) {
    std::size_t start = 0;
    for (std::size_t at = 0; path[at] != '\0'; ++at) {
#if defined(_WIN32)
        const bool ends_folder = path[at] == '/' || path[at] == '\\' || (at == 1 && path[1] == ':');
#else
        const bool ends_folder = path[at] == '/';
#endif
        if (ends_folder) {
            start = at + 1;
        }
    }
    return start;
}

bool same_letter(char16_t a, char16_t b) {
    if (a == b) {
        return true;
    }
#if defined(_WIN32)
    const wchar_t wide_a = a, wide_b = b;
    return CompareStringOrdinal(&wide_a, 1, &wide_b, 1, TRUE) == CSTR_EQUAL;
#else
    const auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c; };
    return lower(a) == lower(b);
#endif
}

// The units of the character at `at`: 2 for a surrogate pair, else 1.
std::size_t character_units(const std::u16string& text, std::size_t at) {
    const bool pair = at + 1 < text.size() && text[at] >= 0xD800 && text[at] <= 0xDBFF &&
                      text[at + 1] >= 0xDC00 && text[at + 1] <= 0xDFFF;
    return pair ? 2 : 1;
}

}  // namespace

bool has_wildcard(const char* path) {
    return std::strpbrk(path + last_component(path), "*?") != nullptr;
}

bool wildcard_matches(const char* pattern, const char* name) {
    if (std::strcmp(pattern, "*.*") == 0) {
        return true;
    }
    const std::u16string wanted = utf8_to_utf16(pattern), given = utf8_to_utf16(name);
    constexpr std::size_t none = static_cast<std::size_t>(-1);
    // The last * met, and where in the name it stands for no more than it does now.
    std::size_t star = none, star_end = 0;
    std::size_t p = 0, n = 0;
    while (n < given.size()) {
        if (p < wanted.size() && wanted[p] == u'*') {
            star = ++p;
            star_end = n;
        } else if (p < wanted.size() && (wanted[p] == u'?' || same_letter(wanted[p], given[n]))) {
            n += wanted[p] == u'?' ? character_units(given, n) : 1;
            ++p;
        } else if (star != none) {
            // The last * takes one character more, and the rest is tried again.
            star_end += character_units(given, star_end);
            n = star_end;
            p = star;
        } else {
            return false;
        }
    }
    while (p < wanted.size() && wanted[p] == u'*') {
        ++p;
    }
    return p == wanted.size();
}

bool expand_wildcard(const char* pattern, std::vector<std::string>* matches) {
    const std::size_t name_at = last_component(pattern);
    const std::string prefix(pattern, name_at);
    // "" and "C:" name the current folder (of that drive).
    const std::string folder_path = name_at == 0 || prefix.back() == ':' ? prefix + "." : prefix;
    open_folder folder;
    const open_status opened = open_folder_at({nullptr, nullptr, folder_path.c_str()}, &folder);
    if (opened != open_status::opened) {
        if (opened != open_status::failed) {
            errno = ENOTDIR;
        }
        return false;
    }
    bool listed = false;
    try {
        folder_listing listing;
        listed = list_folder(folder, &listing);
        for (std::size_t i = 0; listed && i < listing.size(); ++i) {
            if (wildcard_matches(pattern + name_at, listing.name(i))) {
                matches->push_back(prefix + listing.name(i));
            }
        }
    } catch (const std::bad_alloc&) {
        listed = false;
        errno = ENOMEM;
    }
    const int error = errno;
    close_folder(folder);
    errno = error;
    return listed;
}

}  // namespace img_whiten
