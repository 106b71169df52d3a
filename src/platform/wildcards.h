// Wildcards in the paths of a command line, which a Windows shell hands to
// the program as typed: * and ? in a path's last component, matched against
// the names in its folder as the C runtime's own expansion matches them, but
// never against the short 8.3 names.
#ifndef IMG_WHITEN_WILDCARDS_H
#define IMG_WHITEN_WILDCARDS_H

#include <string>
#include <vector>

namespace img_whiten {

// True when the last component of `path` holds * or ?.
bool has_wildcard(const char* path);

// Whether the name `name` matches `pattern`: * any characters, ? any one, and
// "*.*" any name, as in cmd; letters compare as Windows compares file names
// (ignoring case; elsewhere, ASCII case alone).
bool wildcard_matches(const char* pattern, const char* name);

// Appends to `matches` the paths that `pattern` (has_wildcard) names: its
// folder part as typed, then each matching name in the folder, in the order of
// their bytes; "." and ".." never. Folders and links match as files do. True
// also when nothing matches; false with errno set when the folder cannot be
// listed.
bool expand_wildcard(const char* pattern, std::vector<std::string>* matches);

}  // namespace img_whiten

#endif
