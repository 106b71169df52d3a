// Patterns of --exclude: which entries of a folder walk, and which paths of a
// --files-from list, are passed over. They follow rsync's exclude patterns.
#ifndef IMG_WHITEN_EXCLUDE_H
#define IMG_WHITEN_EXCLUDE_H

#include <string>
#include <vector>

namespace img_whiten {

// True when `pattern` matches the whole of `text`, case-sensitively: * is any
// run of characters but '/', ** any run at all, ? one character but '/',
// [...] one character of a class (ranges a-z, named classes such as [:digit:],
// ASCII only, ! or ^ first to negate, ] first as a member; never '/'), and a
// backslash makes the next character itself. A character is one UTF-8
// sequence, or one byte that starts none. A pattern that pattern_fault()
// finds fault with matches nothing. Time grows with the product of the two
// lengths at worst, never exponentially.
bool glob_match(const char* pattern, const char* text);

// Why `pattern` could match nothing (a '[' that no ']' closes, an unknown
// [:name:], or with a wildcard a lone '\' at its end), or null when it is sound.
const char* pattern_fault(const char* pattern);

class exclude_rules {
public:
    // As rsync: a pattern with no '/' but a trailing one and no "**" is
    // matched against an entry's name; any other, against its path and every
    // tail of it that starts after a '/', or with a leading '/' against the
    // whole path only. A trailing '/' makes it match folders only; "**/" that
    // opens an unanchored pattern also matches at the top, and "dir/***"
    // matches dir itself too. Without any of * ? [ every character, '\' too,
    // is itself.
    void add(std::string pattern);
    bool empty() const { return rules_.empty(); }
    // relative: path below the named folder (or as a list gives it),
    // '/'-separated, e.g. "Peds/backup/a.dff"
    bool excludes(const std::string& relative, bool is_folder) const;

private:
    enum class against { name, tails, whole };
    struct rule {
        std::string pattern;  // without the leading and trailing '/'
        bool wild;            // holds * ? or [, so a glob; else a literal
        against text;
        bool top_slash;     // "**" opens it, unanchored: matched as "/path", so "**/x" meets x
        bool folder_slash;  // "***" ends it: a folder is matched as "path/", so "dir/***" meets dir
        bool folders_only;
    };
    static bool matches(const rule& r, const std::string& relative, bool is_folder);
    std::vector<rule> rules_;
};

// A path of a --files-from list as the patterns see it: '/'-separated, with
// leading '/', "." components and doubled '/' dropped.
std::string listed_relative(const char* listed);

}  // namespace img_whiten

#endif
