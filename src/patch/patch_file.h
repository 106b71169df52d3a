// The run over one file, given by name or found in a folder: an archive (it
// begins with "VER2", whatever its name), a loose model (its name is a
// model's), or neither, which is left alone.
#ifndef IMG_WHITEN_FILE_RUN_H
#define IMG_WHITEN_FILE_RUN_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "file_io.h"
#include "output.h"
#include "patch_model.h"

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

// One file on its way through a run: found and opened for reading by the
// walk, then patched, by the walk itself or by a worker beside others.
struct file_job {
    explicit file_job(run_output& told) : output(told) {}

    run_output& output;                         // where its lines and messages go
    std::string path;                           // as reached
    std::shared_ptr<const open_folder> parent;  // null for a named path; kept open for the job
    std::string name;                           // its name in `parent`
    bool model_name = false;
    undo_journal* journal = nullptr;  // where the run records what it is about to whiten
    open_file file;
    unsigned char header[archive_header_size] = {};
    std::size_t header_bytes = 0;  // read by the walk for a file not named as a model

    file_place place() const {
        return {parent.get(), parent != nullptr ? name.c_str() : nullptr, path.c_str()};
    }
};

// Opens the job's file for reading and finds out whether it is one the run
// patches as far as the file says: an archive with entries or, when its name
// is a model's, a loose model. False, with the file closed (and reported
// where that is due), when it is not.
bool open_candidate(file_job& job);

// Takes the candidate for the run, noting it in `seen`, unless another path
// to it was taken already (hard links, bind mounts, a name given twice):
// false then, with the file closed. Files are claimed in walk order, so the
// first path met is the one patched.
bool claim(file_job& job, seen_files& seen);

// claim() in two steps, for a caller that notes claims under a lock: what it
// decides, which touches memory alone, and then what it does about that,
// which may close the file (true when the file is taken).
enum class claim_decision { taken, patched_already, out_of_memory };
claim_decision decide_claim(const file_identity& identity, seen_files& seen);
bool act_on_claim(file_job& job, claim_decision decision);

// Patches the file claim() took. It is opened for update (and locked)
// only to be written, and read again under the lock before anything to
// write is decided; a loose model with nothing to whiten never is. Closes it.
void patch_prepared_file(file_job& job, model_buffers& buffers);

}  // namespace img_whiten

#endif
