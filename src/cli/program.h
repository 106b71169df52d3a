// The program: the command line, the paths it names, and the exit status.
#ifndef IMG_WHITEN_PROGRAM_H
#define IMG_WHITEN_PROGRAM_H

#include <cstddef>
#include <cstdio>
#include <vector>

#include "exclude.h"
#include "output.h"

namespace img_whiten {

class undo_journal;

enum class run_mode {
    patch,    // write back what changed
    dry_run,  // open read-only and write nothing, printing what a real run would
};

// What the options ask of a run.
struct run_options {
    run_mode mode = run_mode::patch;
    bool check = false;      // exit_would_change when something would be whitened
    bool quiet = false;      // no model lines or headings
    bool json = false;       // JSON Lines on stdout
    bool progress = false;   // a progress display on a terminal's stderr
    unsigned jobs = 1;       // files patched at once; 0: as many as suit the disk
    exclude_rules excludes;  // entries of the folders walked that are passed over
    // The index in the paths of the first from a --files-from list: these the excludes see too.
    std::size_t first_listed = static_cast<std::size_t>(-1);
    // The journal a real run records what it whitens in (--undo-log), open; or none.
    undo_journal* journal = nullptr;
};

// Patches `paths` in order, printing progress lines to `out` and failures to
// `err`. Returns exit_done, or exit_failure_reported when it reported one.
int patch_paths(const std::vector<const char*>& paths, const run_options& options, std::FILE* out,
                std::FILE* err);

// The program, on UTF-8 arguments. No path at all is a usage error.
int patch_archive(int argc, char** argv);

}  // namespace img_whiten

#endif
