// The run over one file, given by name or found in a folder: an archive (it
// begins with "VER2", whatever its name), a loose model (its name is a
// model's), or neither, which is left alone.
#ifndef IMG_WHITEN_FILE_RUN_H
#define IMG_WHITEN_FILE_RUN_H

#include <cstdint>
#include <set>

#include "file_io.h"
#include "model_patch.h"
#include "output.h"

namespace img_whiten {

// The files and folders a run has visited, so that none is patched twice
// whatever paths reach it. Only what could be reached again is kept: folders,
// files named on the command line, and files with several names (hard links).
class seen_files {
public:
    // A file named on the command line, before any is visited.
    void add_named(const file_identity& identity) { named_.insert(identity); }
    // True the first time the file is met.
    bool first_visit(const file_identity& identity, std::uint64_t links);
    // True the first time the folder is met.
    bool first_folder_visit(const file_identity& identity) {
        return visited_.insert(identity).second;
    }

private:
    std::set<file_identity> named_;
    std::set<file_identity> visited_;
};

// Patches the regular file at `path` if it is an archive or, when
// `model_name`, a loose model. It is opened for update only once it is known
// to be one of these.
void patch_file(run_output& output, const char* path, bool model_name, seen_files& seen,
                model_buffers& buffers);

}  // namespace img_whiten

#endif
