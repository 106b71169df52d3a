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

// What `path` names, following a final link. False with errno set when it
// cannot be found out (a missing path, say).
bool kind_of_path(const char* path, path_kind* kind);

struct folder_entry {
    std::string name;  // UTF-8
    path_kind kind;    // links are not followed
};

// The entries of the folder at `path`, but "." and "..", sorted by the bytes
// of their names. False with errno set when the folder cannot be read.
bool list_folder(const char* path, std::vector<folder_entry>* entries);

// Joins a folder path and a name with the platform's separator.
std::string join_path(const std::string& folder, const std::string& name);

// Who a file is, whatever path reached it: hard links and repeated names
// give the same identity.
struct file_identity {
    std::uint64_t device;
    std::uint64_t index;
    bool operator<(const file_identity& other) const {
        return device != other.device ? device < other.device : index < other.index;
    }
};

// The identity of the file or folder at `path`, following a final link;
// false with errno set on failure.
bool identify_path(const char* path, file_identity* identity);

enum class file_access {
    read_only,  // nothing is kept out
    update,     // read and write; every other writer is kept out while open
};

// An open regular file: a C runtime descriptor on every platform, and what
// the system said of the file when it was opened.
struct open_file {
    int fd = -1;
    file_identity identity{};
    std::uint64_t size = 0;
    std::uint64_t links = 0;  // how many names (hard links) it has
};

enum class open_status {
    opened,
    failed,       // errno says why
    in_use,       // another program holds it (in_use_reason() says how)
    not_regular,  // a device, FIFO, socket or folder: closed again at once
};

// Opens the existing file at `path` and describes it. For update it keeps other writers out:
// an exclusive advisory lock (flock) on POSIX systems, a share mode that
// denies writing on Windows. A FIFO never blocks the open.
open_status open_file_at(const char* path, file_access access, open_file* file);

// Why open_file_at said the file is in use, in words for a message.
const char* in_use_reason();

// Reads `length` bytes at `offset`, carrying on after short reads. Returns the
// bytes read: fewer only at the end of the file, or on an error, which is then
// left in *error (0 otherwise).
std::size_t read_at(const open_file& file, std::uint64_t offset, unsigned char* data,
                    std::size_t length, int* error);

// Writes `length` bytes at `offset`, carrying on after short writes. Returns
// the bytes written: fewer only on an error, left in *error (0 otherwise).
std::size_t write_at(const open_file& file, std::uint64_t offset, const unsigned char* data,
                     std::size_t length, int* error);

// Closes the file; false with errno set when the system reports a failure,
// such as a delayed write error.
bool close_file(open_file& file);

}  // namespace img_whiten

#endif
