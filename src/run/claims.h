// Which files the run takes for patching: the first path met to a file, in
// walk order, whatever other paths reach it (hard links, bind mounts, a file
// named and inside a named folder).
#ifndef IMG_WHITEN_CLAIMS_H
#define IMG_WHITEN_CLAIMS_H

#include <mutex>
#include <vector>

#include "file_io.h"

namespace img_whiten {

// A set of files or folders by identity, kept in one sorted block and a
// short sorted tail merged into it now and then: about 20 bytes per file.
class seen_files {
public:
    bool contains(const file_identity& identity) const;
    // Notes a file or folder; may throw std::bad_alloc, and then notes nothing.
    void add(const file_identity& identity);

private:
    std::vector<file_identity> merged_;
    std::vector<file_identity> recent_;  // at most recent_limit, sorted
};

// The files taken so far, claimed from any thread: the one owner of that set.
class file_claims {
public:
    enum class verdict { taken, taken_already, out_of_memory };
    // Takes the file unless it was taken (or kept out) before.
    verdict claim(const file_identity& identity);
    // A file never to be taken (the run's own journal, say); may throw std::bad_alloc.
    void keep_out(const file_identity& identity);

private:
    std::mutex lock_;
    seen_files seen_;  // guarded by lock_
};

}  // namespace img_whiten

#endif
