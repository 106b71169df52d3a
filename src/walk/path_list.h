// The list of paths that --files-from names.
#ifndef IMG_WHITEN_PATH_LIST_H
#define IMG_WHITEN_PATH_LIST_H

#include <string>
#include <vector>

namespace img_whiten {

// Appends to `paths` the paths listed in the file `source` (UTF-8), or on
// standard input for "-", read as bytes: separated by NUL bytes, or else by
// newlines, a "\r" that ends a line dropped (the last line's too, with no
// newline after it). Empty entries are skipped, and so is a UTF-8 byte order
// mark that opens a newline-separated list. On failure appends nothing and
// says why in `error_reason`.
bool read_path_list(const char* source, bool nul_separated, std::vector<std::string>* paths,
                    std::string* error_reason);

}  // namespace img_whiten

#endif
