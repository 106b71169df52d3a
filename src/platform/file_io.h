// Files as the program finds, opens, reads and patches them: what a path
// names, folder listings, opening with the lock or share mode that keeps other
// writers out, and positioned reads and writes that carry on after a short
// transfer. Paths are UTF-8 on every platform.
#ifndef IMG_WHITEN_FILE_IO_H
#define IMG_WHITEN_FILE_IO_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace img_whiten {

// Makes sure descriptors 0, 1 and 2 are open before any file is, so that no
// file the run patches can take one and receive progress lines or messages.
// A closed one is opened on the null device for reading only, so writes to it
// still fail as they would on a closed descriptor. False when that fails.
bool occupy_closed_standard_streams();

enum class path_kind {
    regular,  // a regular file
    folder,
    link,   // a symbolic link or, on Windows, a reparse point, not followed
    other,  // a device, FIFO or socket: never opened
};

struct file_identity;

// What `path` names, following a final link, and who it is when `identity`
// is given. False with errno set when it cannot be found out (a missing path,
// say). Only a hint for named paths: what is opened is checked again by its
// descriptor.
bool kind_of_path(const char* path, path_kind* kind, file_identity* identity = nullptr);

// Joins a folder path and a name with the platform's separator.
std::string join_path(const std::string& folder, const std::string& name);

// Who a file is, whatever path reached it: hard links, repeated names and
// bind mounts give the same identity.
struct file_identity {
    std::uint64_t device;
    std::uint64_t index;
    bool operator<(const file_identity& other) const {
        return device != other.device ? device < other.device : index < other.index;
    }
    bool operator==(const file_identity& other) const {
        return device == other.device && index == other.index;
    }
};

// A folder open for a walk. Its entries are opened relative to it, never by a
// path looked up again, so a folder or file swapped for a link while the walk
// runs cannot lead it outside.
struct open_folder {
#if defined(_WIN32)
    void* handle = nullptr;  // opened without following a reparse point
#else
    int fd = -1;
#endif
    std::string path;  // as reached, for messages
    file_identity identity{};
};

// Where a file or folder is reached: a path the user named, whose links are
// followed, or an entry of a walked folder, whose links never are.
struct file_place {
    const open_folder* parent = nullptr;  // null: `path` was named
    const char* name = nullptr;           // the entry's name in `parent`
    const char* path = nullptr;           // as reached, for messages
};

// The names of a folder but "." and "..", sorted by their bytes, held in one
// block: a folder of 200,000 names costs a few MiB, not one string each.
class folder_listing {
public:
    std::size_t size() const { return starts_.size(); }
    const char* name(std::size_t index) const { return &names_[starts_[index] + 1]; }
    // What the listing said the entry was; only a hint, checked again once opened.
    path_kind kind(std::size_t index) const {
        return static_cast<path_kind>(names_[starts_[index]]);
    }
    void clear();
    // May throw std::bad_alloc.
    void add(const char* name, path_kind kind);
    void sort();

private:
    std::string names_;  // kind byte, name, NUL; one after the other
    std::vector<std::uint64_t> starts_;
};

enum class open_status {
    opened,
    failed,       // errno says why
    in_use,       // another program holds it (in_use_reason() says how)
    not_regular,  // a device, FIFO, socket or folder (or, for a folder, not one): never read
    link,         // a link met in a folder: not followed
};

// Opens the folder at `place` for a walk and lists nothing yet. A folder
// entry that has become a link or a file since it was listed gives `link` or
// `not_regular`.
open_status open_folder_at(const file_place& place, open_folder* folder);

// Lists the folder's entries; false with errno set when it cannot be read.
// May throw std::bad_alloc.
bool list_folder(const open_folder& folder, folder_listing* listing);

void close_folder(open_folder& folder);

// Folders open now, through open_folder_at, where each takes a descriptor
// (0 on Windows, whose folder handles the descriptors' limit does not count).
std::size_t open_folders();

// An open regular file: a C runtime descriptor on every platform, and what
// the system said of the file when it was opened.
struct open_file {
    int fd = -1;
    bool writable = false;  // opened for update, with other writers kept out
    file_identity identity{};
    std::uint64_t size = 0;
};

// Opens the regular file at `place` for reading and describes it. Nothing
// but a regular file is ever read or written: a FIFO, device or socket, even
// one swapped in after the folder was listed, is found out from the
// descriptor first, and a FIFO never blocks the open. A named path is looked
// at before it is opened (it may name a device); an entry the listing gave as
// a regular file is opened for reading straight away, without following a
// link, and never for update here.
open_status open_file_at(const file_place& place, open_file* file);

// Opens the regular file at the named `path` as open_file_at does, at any
// length: on POSIX systems folder by folder from the root or the current
// folder (openat), links followed as in any named path, so a path longer
// than PATH_MAX that a walk reached opens too.
open_status open_named_file(const char* path, open_file* file);

// The current folder as an absolute path; false with errno set when it
// cannot be found out.
bool current_folder(std::string* folder);

// Whether `path` is taken from a root (on Windows: a drive or a share)
// rather than from the current folder.
bool is_absolute_path(const char* path);

// Opens the very file `file` holds (not whatever its name names by now) for
// update too, and keeps other writers out: an exclusive advisory lock (flock)
// on POSIX systems, a share mode that denies writing on Windows. `file`
// then reads and writes through the new descriptor. On failure `file` stays
// open for reading.
open_status open_for_update(const file_place& place, open_file* file);

// Opens the regular file at the named `path` for reading and writing,
// creating it if missing (*created says whether it did), and keeps other
// writers out as open_for_update does: for a journal that records are
// appended to. A path that names anything but a regular file gives
// `not_regular`, and is not opened.
open_status open_journal_file(const char* path, open_file* file, bool* created);

// Closes `file`, which open_journal_file created at `path`, and removes it
// again while that name still names it.
void remove_created_file(const char* path, open_file& file);

// Creates a new, empty file of a name no other file has, made of `stem`, the
// process id and a tick count ("img-whiten-4242-81234567.log"), in the user's
// folder for temporary files (GetTempPathW; elsewhere TMPDIR or /tmp), and
// closes it. Its path goes to *path, also when it cannot be made: then false
// with errno set.
bool create_temp_file(const char* stem, std::string* path);

// Removes the file at `path`; false with errno set when it cannot be.
bool remove_file(const char* path);

// How many descriptors the process may have open at once.
std::size_t open_files_allowed();

// The bytes of address space the process may take (ulimit -v); 0: no limit.
std::uint64_t address_space_allowed();

// How many more descriptors the process may open now: the limit, less those
// open already, inherited ones included.
std::size_t open_files_left();

// Tells the system the first `length` bytes of the file will be read soon,
// so that it can start reading them now; a hint that may be ignored.
void advise_will_read(const open_file& file, std::uint64_t length);

// Hands what was written to the file to the disk (fdatasync,
// FlushFileBuffers); false with errno set when that fails.
bool flush_to_disk(const open_file& file);

// The file's length now; false with errno set when it cannot be found out.
bool current_size(const open_file& file, std::uint64_t* size);

// Cuts the file back to `length` bytes, for the journal alone (a run never
// changes a file's length); false with errno set when that fails.
bool cut_file(const open_file& file, std::uint64_t length);

// Why open_for_update said the file is in use, in words for a message.
const char* in_use_reason();

// Reads `length` bytes at `offset`, carrying on after short reads. Returns the
// bytes read: fewer only at the end of the file, or on an error, which is then
// left in *error (0 otherwise).
std::size_t read_at(const open_file& file, std::uint64_t offset, unsigned char* data,
                    std::size_t length, int* error);

// Reads what the system's cache holds now of `length` bytes at `offset`, in
// one call that never waits for the disk: fewer bytes, maybe none, when the
// rest is not cached, when the call fails, or where the system cannot tell
// (Windows). A read_at() of the rest reads it and says why if it cannot.
std::size_t read_cached_at(const open_file& file, std::uint64_t offset, unsigned char* data,
                           std::size_t length);

// Writes `length` bytes at `offset`, carrying on after short writes. Returns
// the bytes written: fewer only on an error, left in *error (0 otherwise).
std::size_t write_at(const open_file& file, std::uint64_t offset, const unsigned char* data,
                     std::size_t length, int* error);

// Closes the file; false with errno set when the system reports a failure,
// such as a delayed write error.
bool close_file(open_file& file);

}  // namespace img_whiten

#endif
