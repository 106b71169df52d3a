// Patterns of --exclude: which entries of a folder walk are passed over.
#ifndef IMG_WHITEN_EXCLUDE_H
#define IMG_WHITEN_EXCLUDE_H

#include <string>
#include <vector>

namespace img_whiten {

// True when `pattern` matches the whole of `text`, case-sensitively: * is any
// run of characters but '/', ** any run at all, ? one character but '/',
// [...] one character of a class (ranges a-z, ! or ^ first to negate; never
// '/'), and \ makes the next character itself. A character is one UTF-8
// sequence, or one byte that starts none. Time grows with the product of the
// two lengths at worst, never exponentially.
bool glob_match(const char* pattern, const char* text);

class exclude_rules {
public:
    // A pattern without a '/' is matched against an entry's name; one with a
    // '/' inside, against its relative path and every tail of it that starts
    // after a '/'; a leading '/' ties it to the whole relative path, and a
    // trailing '/' makes it match folders only.
    void add(std::string pattern);
    bool empty() const { return rules_.empty(); }
    // relative: path below the named folder, '/'-separated, e.g. "Peds/backup/a.dff"
    bool excludes(const std::string& relative, bool is_folder) const;

private:
    struct rule {
        std::string pattern;  // without the leading and trailing '/'
        bool anchored;
        bool by_path;
        bool folders_only;
    };
    std::vector<rule> rules_;
};

}  // namespace img_whiten

#endif
