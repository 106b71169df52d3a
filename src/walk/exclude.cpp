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

bool is_digit(std::uint32_t c) {
    return c >= '0' && c <= '9';
}
bool is_upper(std::uint32_t c) {
    return c >= 'A' && c <= 'Z';
}
bool is_lower(std::uint32_t c) {
    return c >= 'a' && c <= 'z';
}
bool is_alpha(std::uint32_t c) {
    return is_upper(c) || is_lower(c);
}
bool is_graph(std::uint32_t c) {
    return c > ' ' && c < 0x7F;
}

// The classes [:name:] may name, ASCII only, as in the C locale.
struct named_class {
    const char* name;
    bool (*holds)(std::uint32_t);
};
const named_class named_classes[] = {
    {"alnum", [](std::uint32_t c) { return is_alpha(c) || is_digit(c); }},
    {"alpha", is_alpha},
    {"blank", [](std::uint32_t c) { return c == ' ' || c == '\t'; }},
    {"cntrl", [](std::uint32_t c) { return c < ' ' || c == 0x7F; }},
    {"digit", is_digit},
    {"graph", is_graph},
    {"lower", is_lower},
    {"print", [](std::uint32_t c) { return c == ' ' || is_graph(c); }},
    {"punct", [](std::uint32_t c) { return is_graph(c) && !is_alpha(c) && !is_digit(c); }},
    {"space", [](std::uint32_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }},
    {"upper", is_upper},
    {"xdigit",
     [](std::uint32_t c) { return is_digit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }},
};

constexpr const char* unclosed_class = "a [ that no ] closes";

// The class that opens at `pattern` ('['): whether it holds `c`, and the
// pattern after its ']'; or null, with `*fault` set, when it is malformed.
const char* match_class(const char* pattern, std::uint32_t c, bool* matched, const char** fault) {
    const char* at = pattern + 1;
    const bool negated = *at == '!' || *at == '^';
    if (negated) {
        ++at;
    }
    bool found = false;
    // A ']' right after the opening is a member.
    for (bool first = true; first || *at != ']'; first = false) {
        if (*at == '\0') {
            *fault = unclosed_class;
            return nullptr;
        }
        if (at[0] == '[' && at[1] == ':') {
            const char* name = at + 2;
            const char* close = std::strchr(name, ']');
            if (close == nullptr) {
                *fault = unclosed_class;
                return nullptr;
            }
            // Without a ':' before that ']', the '[' is a member like any other.
            if (close > name && close[-1] == ':') {
                const auto length = static_cast<std::size_t>(close - 1 - name);
                const named_class* known = nullptr;
                for (const named_class& named : named_classes) {
                    if (std::strlen(named.name) == length &&
                        std::memcmp(named.name, name, length) == 0) {
                        known = &named;
                    }
                }
                if (known == nullptr) {
                    *fault = "an unknown class [:name:]";
                    return nullptr;
                }
                found = found || known->holds(c);
                at = close + 1;
                continue;
            }
        }
        if (*at == '\\' && *++at == '\0') {
            *fault = unclosed_class;
            return nullptr;
        }
        const std::uint32_t low = take_char(at);
        std::uint32_t high = low;
        if (at[0] == '-' && at[1] != ']' && at[1] != '\0') {
            ++at;
            if (*at == '\\' && *++at == '\0') {
                *fault = unclosed_class;
                return nullptr;
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
        const char* fault = nullptr;
        const char* after_p = match_class(p, c, &matched, &fault);
        if (after_p == nullptr || !matched) {
            return false;
        }
        p = after_p;
        t = after_t;
        return true;
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
    if (pattern_fault(pattern) != nullptr) {
        return false;
    }
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

const char* pattern_fault(const char* pattern) {
    if (std::strpbrk(pattern, "*?[") == nullptr) {
        return nullptr;  // a literal: every character is itself
    }
    for (const char* at = pattern; *at != '\0';) {
        if (*at == '\\') {
            if (at[1] == '\0') {
                return "a lone \\ at its end";
            }
            at += 2;
        } else if (*at == '[') {
            bool matched = false;
            const char* fault = nullptr;
            at = match_class(at, 0, &matched, &fault);
            if (at == nullptr) {
                return fault;
            }
        } else {
            ++at;
        }
    }
    return nullptr;
}

void exclude_rules::add(std::string pattern) {
    rule r{std::move(pattern), false, against::name, false, false, false};
    if (r.pattern.size() > 1 && r.pattern.back() == '/') {
        r.folders_only = true;
        r.pattern.pop_back();
    }
    const bool anchored = !r.pattern.empty() && r.pattern.front() == '/';
    if (anchored) {
        r.pattern.erase(0, 1);
    }
    const std::string& p = r.pattern;
    r.wild = p.find_first_of("*?[") != std::string::npos;
    const bool any = r.wild && p.find("**") != std::string::npos;
    r.top_slash = any && !anchored && p.compare(0, 2, "**") == 0;
    r.folder_slash = any && p.size() >= 3 && p.compare(p.size() - 3, 3, "***") == 0;
    r.text = anchored || r.top_slash                   ? against::whole
             : any || p.find('/') != std::string::npos ? against::tails
                                                       : against::name;
    rules_.push_back(std::move(r));
}

bool exclude_rules::matches(const rule& r, const std::string& relative, bool is_folder) {
    std::string text;  // the path with the slashes "**/" and "/***" may take
    const bool widened = r.top_slash || (r.folder_slash && is_folder);
    if (widened) {
        text = (r.top_slash ? "/" : "") + relative + (r.folder_slash && is_folder ? "/" : "");
    }
    const char* at = widened ? text.c_str() : relative.c_str();
    if (r.text == against::name) {
        const char* slash = std::strrchr(at, '/');
        at = slash != nullptr ? slash + 1 : at;
    }
    for (;;) {
        if (r.wild ? glob_match(r.pattern.c_str(), at) : std::strcmp(r.pattern.c_str(), at) == 0) {
            return true;
        }
        if (r.text != against::tails || (at = std::strchr(at, '/')) == nullptr) {
            return false;
        }
        ++at;
    }
}

bool exclude_rules::excludes(const std::string& relative, bool is_folder) const {
    if (relative.empty()) {
        return false;  // the top itself: what was named
    }
    for (const rule& r : rules_) {
        if ((!r.folders_only || is_folder) && matches(r, relative, is_folder)) {
            return true;
        }
    }
    return false;
}

namespace {

bool is_separator(char c) {
#if defined(_WIN32)
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}

}  // namespace

std::string listed_relative(const char* listed) {
    std::string relative;
    for (const char* at = listed; *at != '\0';) {
        const char* end = at;
        while (*end != '\0' && !is_separator(*end)) {
            ++end;
        }
        const auto length = static_cast<std::size_t>(end - at);
        if (length > 1 || (length == 1 && *at != '.')) {
            relative += relative.empty() ? "" : "/";
            relative.append(at, length);
        }
        at = *end != '\0' ? end + 1 : end;
    }
    return relative;
}

}  // namespace img_whiten
