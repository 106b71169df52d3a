// The run over one file, given by name or found in a folder: an archive (it
// begins with "VER2", whatever its name), a loose model (its name is a
// model's), or neither, which is left alone.
#ifndef IMG_WHITEN_PATCH_FILE_H
#define IMG_WHITEN_PATCH_FILE_H

#include <cstdint>
#include <memory>
#include <string>

#include "file_io.h"
#include "output.h"
#include "patch_model.h"

namespace img_whiten {

// One file on its way through a run: found by the walk, then opened,
// claimed and patched by the scheduler, on a worker or on the walk's thread.
struct file_job {
    file_report* output = nullptr;  // where its lines and messages go: the scheduler sets it
    std::string path;               // as reached
    std::shared_ptr<const open_folder> parent;  // null for a named path; kept open for the job
    std::string name;                           // its name in `parent`
    bool model_name = false;
    undo_journal* journal = nullptr;  // where the run records what it is about to whiten
    open_file file;
    unsigned char header[archive_header_size] = {};
    std::size_t header_bytes = 0;  // read by open_candidate() for a file not named as a model

    file_place place() const {
        return {parent.get(), parent != nullptr ? name.c_str() : nullptr, path.c_str()};
    }
};

// Opens the job's file for reading and finds out whether it is one the run
// patches as far as the file says: an archive with entries or, when its name
// is a model's, a loose model. False, with the file closed (and reported
// where that is due), when it is not.
bool open_candidate(file_job& job);

// Patches the candidate the run took (open_candidate() opened it). In a real
// run an archive is opened for update (and locked) before its header and
// directory are read again; a loose model only once a grey Material was
// found in it, and then it is read again under the lock. Closes it.
void patch_prepared_file(file_job& job, model_buffers& buffers);

}  // namespace img_whiten

#endif
