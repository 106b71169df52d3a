// The program: the command line, the paths it names, and the exit status.
#ifndef IMG_WHITEN_PROGRAM_H
#define IMG_WHITEN_PROGRAM_H

#include <cstdio>
#include <vector>

#include "output.h"

namespace img_whiten {

enum class run_mode {
    patch,    // write back what changed
    dry_run,  // open read-only and write nothing, printing what a real run would
};

// Patches `paths` in order, printing progress lines to `out` and failures to
// `err`. Returns exit_done, or exit_failure_reported when it reported one.
int patch_paths(const std::vector<const char*>& paths, run_mode mode, std::FILE* out,
                std::FILE* err);

// The program, on UTF-8 arguments. No argument at all is a silent exit_done.
int patch_archive(int argc, char** argv);

}  // namespace img_whiten

#endif
