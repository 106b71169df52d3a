// The run over one file, given by name or found in a folder: an archive (it
// begins with "VER2", whatever its name), a loose model (its name is a
// model's), or neither, which is left alone.
#ifndef IMG_WHITEN_FILE_RUN_H
#define IMG_WHITEN_FILE_RUN_H

#include <cstdint>
#include <vector>

#include "file_io.h"
#include "model_patch.h"
#include "output.h"

namespace img_whiten {

// The files and folders a run has patched or entered, so that none is
// patched twice whatever paths reach it (hard links, bind mounts, a file
// named and inside a named folder). Kept in one sorted block and a short
// sorted tail merged into it now and then: about 24 bytes per file.
class seen_files {
public:
    bool contains(const file_identity& identity) const;
    // Notes a file or folder; may throw std::bad_alloc, and then notes nothing.
    void add(const file_identity& identity);

private:
    std::vector<file_identity> merged_;
    std::vector<file_identity> recent_;  // at most recent_limit, sorted
};

// Patches the regular file at `place` if it is an archive or, when
// `model_name`, a loose model. It is opened for update only once it is known
// to be one of these (a model by its name), and noted as seen only then.
void patch_file(run_output& output, const file_place& place, bool model_name, seen_files& seen,
                model_buffers& buffers);

}  // namespace img_whiten

#endif
