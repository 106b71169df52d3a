// The paths of a run, turned into the files it patches. A folder is searched
// recursively, depth first, its entries in the order of their names' bytes;
// in it, files named like archives (.img, any case) or models (.dff) are
// patched, and links (Windows reparse points too) are not followed. The walk
// goes by descriptor: every entry is opened relative to its folder, and what
// it is decided from what was opened. Devices, FIFOs and sockets are never
// opened for reading or writing.
#ifndef IMG_WHITEN_WALK_H
#define IMG_WHITEN_WALK_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "exclude.h"
#include "output.h"

namespace img_whiten {

class undo_journal;

// What a run over paths is asked to do.
struct run_request {
    run_settings settings;  // several_files is set by the walk, from what the paths name
    bool progress = false;  // a progress display on a terminal's stderr
    unsigned jobs = 1;      // files patched at once; 0: as many as suit the disk
    exclude_rules excludes;
    // The index in the paths of the first from a --files-from list: these the excludes see too.
    std::size_t first_listed = static_cast<std::size_t>(-1);
    // The journal a real run records what it whitens in (--undo-log), open; or none.
    undo_journal* journal = nullptr;
    // Paths (of `paths`) that are wildcards matching nothing, each with the errno for why
    // their folder could not be listed, or 0: each is reported in its turn, as a failure.
    std::vector<std::pair<const char*, int>> unmatched;
    // By index in the paths: true for one a wildcard matched. The journal among these was not
    // named, and is passed over as a walk passes it over.
    std::vector<bool> wildcard_matched;
};

struct run_result {
    int status;                        // exit_done, exit_failure_reported or exit_usage
    std::uint64_t materials_whitened;  // (in a dry run: would be)
};

// Patches every path in the order given, going on after a failure, printing
// lines to `out` and failures to `err`. With several paths or a folder, the
// run ends with a summary line.
// Entries of walked folders that the excludes match are passed over, and so
// are the paths from `first_listed` on (a --files-from list's) that they
// match as listed_relative() gives them; below a listed folder, entries are
// matched with that path before theirs.
// With a journal, each window's whitened words are recorded there before
// it is written, and it is flushed and closed before the summary. The
// journal itself is never patched: a path that names it is a wrong command
// line (exit_usage, nothing patched, the journal discarded), and a walk or a
// wildcard that meets it passes it over with a notice.
run_result patch_paths(const std::vector<const char*>& paths, const run_request& request,
                       std::FILE* out, std::FILE* err);

// True when the last component of `path` is a loose model's name: it ends
// in ".dff", in any ASCII case. (Backup copies such as "car.dff~" or
// "car.dff_orig" are not models.)
bool has_model_name(const char* path);

// True when `name` ends in ".img", in any ASCII case: in a folder, only such
// files are looked at as archives.
bool has_archive_name(const std::string& name);

}  // namespace img_whiten

#endif
