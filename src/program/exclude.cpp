#include "exclude.h"

#include <cstdint>
#include <cstring>
#include <utility>

namespace img_whiten {

namespace {

// The character at `at`, and `at` moved past it. A byte that starts no UTF-8
// sequence stands for itself, numbered apart from every code point.
std::uint32_t take_char(const char*& at) {
    const auto lead = static_cast<unsigned char>(*at);
    int length = lead < 0x80                   ? 1
                 : lead >= 0xC2 && lead < 0xE0 ? 2
                 : lead >= 0xE0 && lead < 0xF0 ? 3
                 : lead >= 0xF0 && lead < 0xF5 ? 4
                                               : 0;
    std::uint32_t code = length == 1 ? lead : lead & (0x7Fu >> length);
    for (int i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(at[i]);
        if ((next & 0xC0) != 0x80) {  // a NUL ends the text here too
            length = 0;
            break;
        }
        code = code << 6 | (next & 0x3Fu);
    }
    if (length == 0) {
        ++at;
        return 0x110000u + lead;
    }
    at += length;
    return code;
}

// The class that opens at `pattern` ('['): whether it holds `c`, and the
// pattern after its ']', or null when no ']' closes it ('[' is then itself).
const char* match_class(const char* pattern, std::uint32_t c, bool* matched) {
    const char* at = pattern + 1;
    const bool negated = *at == '!' || *at == '^';
    if (negated) {
        ++at;
    }
    bool found = false;
    // A ']' right after the opening is a member.
    for (bool first = true; first || *at != ']'; first = false) {
        if (*at == '\0') {
            return nullptr;
        }
        if (*at == '\\' && at[1] != '\0') {
            ++at;
        }
        const std::uint32_t low = take_char(at);
        std::uint32_t high = low;
        if (at[0] == '-' && at[1] != ']' && at[1] != '\0') {
            ++at;
            if (*at == '\\' && at[1] != '\0') {
                ++at;
            }
            high = take_char(at);
        }
        found = found || (low <= c && c <= high);
    }
    *matched = found != negated && c != '/';
    return at + 1;
}

// Matches the one pattern element at `p` (not a star) against the character at
// `t`; on success moves both past them.
bool match_element(const char*& p, const char*& t) {
    if (*p == '\0' || *t == '\0') {
        return false;
    }
    if (*p == '?') {
        if (*t == '/') {
            return false;
        }
        ++p;
        take_char(t);
        return true;
    }
    if (*p == '[') {
        const char* after_t = t;
        const std::uint32_t c = take_char(after_t);
        bool matched = false;
        if (const char* after_p = match_class(p, c, &matched)) {
            if (!matched) {
                return false;
            }
            p = after_p;
            t = after_t;
            return true;
        }
    }
    if (*p == '\\' && p[1] != '\0') {
        ++p;
    }
    if (*p != *t) {
        return false;
    }
    ++p;
    ++t;
    return true;
}

}  // namespace

// Iterative, with one place to go back to for the last '*' and one for the
// last "**": a later star can take whatever an earlier one of its kind could.
// A '*' never takes a '/', so once it meets one (or a literal '/' is matched
// after it) only widening the last "**" can still help; once it reaches the
// end of the text nothing can.
bool glob_match(const char* pattern, const char* text) {
    const char* p = pattern;
    const char* t = text;
    const char* star_p = nullptr;  // the pattern after the last '*', and where its run ends
    const char* star_t = nullptr;
    const char* any_p = nullptr;  // the same for the last "**"
    const char* any_t = nullptr;
    for (;;) {
        if (*p == '*') {
            const bool any = p[1] == '*';
            while (*p == '*') {
                ++p;
            }
            if (any) {
                any_p = p;
                any_t = t;
                star_p = nullptr;
            } else {
                star_p = p;
                star_t = t;
            }
            continue;
        }
        if (*p == '\0' && *t == '\0') {
            return true;
        }
        if (match_element(p, t)) {
            if (t[-1] == '/') {
                star_p = nullptr;  // only a literal takes a '/': the '*' before it ends there
            }
            continue;
        }
        if (star_p != nullptr) {
            if (*star_t == '\0') {
                return false;
            }
            if (*star_t != '/') {
                take_char(star_t);
                p = star_p;
                t = star_t;
                continue;
            }
        }
        if (any_p == nullptr || *any_t == '\0') {
            return false;
        }
        take_char(any_t);
        p = any_p;
        t = any_t;
        star_p = nullptr;
    }
}

void exclude_rules::add(std::string pattern) {
    rule r{std::move(pattern), false, false, false};
    if (!r.pattern.empty() && r.pattern.back() == '/') {
        r.folders_only = true;
        r.pattern.pop_back();
    }
    if (!r.pattern.empty() && r.pattern.front() == '/') {
        r.anchored = true;
        r.pattern.erase(0, 1);
    }
    r.by_path = r.anchored || r.pattern.find('/') != std::string::npos;
    rules_.push_back(std::move(r));
}

bool exclude_rules::excludes(const std::string& relative, bool is_folder) const {
    const char* path = relative.c_str();
    const char* slash = std::strrchr(path, '/');
    const char* name = slash != nullptr ? slash + 1 : path;
    for (const rule& r : rules_) {
        if (r.folders_only && !is_folder) {
            continue;
        }
        if (!r.by_path) {
            if (glob_match(r.pattern.c_str(), name)) {
                return true;
            }
            continue;
        }
        for (const char* tail = path;; ++tail) {
            if (glob_match(r.pattern.c_str(), tail)) {
                return true;
            }
            if (r.anchored || (tail = std::strchr(tail, '/')) == nullptr) {
                break;
            }
        }
    }
    return false;
}

}  // namespace img_whiten
