// Files and folders on POSIX systems: a walk by descriptor (openat without
// following links), decisions from fstat of what was opened, flock, pread
// and pwrite.
#if !defined(_WIN32)

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>

#include "file_io.h"
#include "file_io_platform.h"

namespace img_whiten {

bool occupy_closed_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lowest free descriptor is taken, and every lower one is open.
        const int opened = open("/dev/null", O_RDONLY);
        if (opened != fd) {
            if (opened >= 0) {
                close(opened);
            }
            return false;
        }
    }
    // A walk holds one descriptor per folder level: allow as many as the system lets us.
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    return true;
}

namespace {

std::atomic<std::size_t> folders_open{0};

path_kind kind_of_mode(mode_t mode) {
    if (S_ISREG(mode)) {
        return path_kind::regular;
    }
    if (S_ISDIR(mode)) {
        return path_kind::folder;
    }
    return S_ISLNK(mode) ? path_kind::link : path_kind::other;
}

file_identity identity_of(const struct stat& info) {
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

// Opens `place` with `flags`: a named path as given, a folder entry relative
// to its folder and without following a link.
int open_place(const file_place& place, int flags) {
    flags |= O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    if (place.parent == nullptr) {
        return open(place.path, flags);
    }
    return openat(place.parent->fd, place.name, flags | O_NOFOLLOW);
}

void close_keeping_errno(int fd) {
    const int error = errno;
    close(fd);
    errno = error;
}

// Opens the file `fd` is open on again, with `flags`: through /proc/self/fd,
// which names that very file whatever its names name now. -1 with errno
// ENOENT where there is no /proc.
int reopen(int fd, int flags) {
    char self[40];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    return open(self, flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
}

// Opens `place` with `flags` only if it is still the regular file `expected`
// (for systems without /proc). -1 with errno ESTALE when it is another file now.
int open_if_same(const file_place& place, int flags, const file_identity& expected) {
    const int fd = open_place(place, flags);
    if (fd < 0) {
        return -1;
    }
    struct stat info;
    if (fstat(fd, &info) != 0) {
        close_keeping_errno(fd);
        return -1;
    }
    if (!S_ISREG(info.st_mode) || !(identity_of(info) == expected)) {
        close(fd);
        errno = ESTALE;
        return -1;
    }
    return fd;
}

// Opens the file `fd` is open on again with `flags`; by name, if it is still
// that file, where there is no /proc.
int reopen_or_open_same(int fd, const file_place& place, int flags, const file_identity& expected) {
    const int opened = reopen(fd, flags);
    if (opened < 0 && errno == ENOENT) {
        return open_if_same(place, flags, expected);
    }
    return opened;
}

// A lock that cannot be taken because the file system has no locks (or, on
// NFS, none for this kind of descriptor) does not stop the run.
bool locks_unsupported(int error) {
    return error == ENOLCK || error == EOPNOTSUPP || error == ENOTSUP || error == EINVAL ||
           error == EBADF;
}

// Describes the file `fd` is open on into `file` if it is a regular file;
// otherwise closes `fd` (keeping errno when fstat failed).
open_status describe_regular(int fd, open_file* file) {
    struct stat info;
    if (fstat(fd, &info) != 0) {
        close_keeping_errno(fd);
        return open_status::failed;
    }
    if (!S_ISREG(info.st_mode)) {
        close(fd);
        return open_status::not_regular;
    }
    file->identity = identity_of(info);
    file->size = static_cast<std::uint64_t>(info.st_size);
    return open_status::opened;
}

// Keeps other writers out of `fd`'s file: only a lock held elsewhere
// (`in_use`) or a failure stops the run, with errno set; a file system
// without locks does not.
open_status lock_for_update(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && !locks_unsupported(errno)) {
        return errno == EWOULDBLOCK ? open_status::in_use : open_status::failed;
    }
    return open_status::opened;
}

}  // namespace

bool kind_of_path(const char* path, path_kind* kind, file_identity* identity) {
    struct stat info;
    if (stat(path, &info) != 0) {
        return false;
    }
    *kind = kind_of_mode(info.st_mode);
    if (identity != nullptr) {
        *identity = identity_of(info);
    }
    return true;
}

std::string join_path(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '/') {
        return folder + name;
    }
    return folder + '/' + name;
}

open_status open_folder_at(const file_place& place, open_folder* folder) {
    folder->fd = open_place(place, O_RDONLY | O_DIRECTORY);
    if (folder->fd < 0) {
        if (place.parent != nullptr && errno == ELOOP) {
            return open_status::link;  // swapped for a link since it was listed
        }
        return errno == ENOTDIR ? open_status::not_regular : open_status::failed;
    }
    struct stat info;
    if (fstat(folder->fd, &info) != 0) {
        close_keeping_errno(folder->fd);
        folder->fd = -1;
        return open_status::failed;
    }
    ++folders_open;  // from here on, close_folder() closes it
    folder->identity = identity_of(info);
    folder->path = place.path;
    return open_status::opened;
}

bool list_folder(const open_folder& folder, folder_listing* listing) {
    listing->clear();
    // The stream takes a descriptor of its own, so the folder's stays for openat.
    const int fd = dup(folder.fd);
    if (fd < 0) {
        return false;
    }
    DIR* stream = fdopendir(fd);
    if (stream == nullptr) {
        close_keeping_errno(fd);
        return false;
    }
    int error = 0;
    try {
        for (;;) {
            errno = 0;
            const dirent* found = readdir(stream);
            if (found == nullptr) {
                error = errno;
                break;
            }
            const char* name = found->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
                continue;
            }
            path_kind kind = path_kind::other;
            switch (found->d_type) {
                case DT_REG:
                case DT_UNKNOWN:  // some file systems leave the type out: the open will tell
                    kind = path_kind::regular;
                    break;
                case DT_DIR:
                    kind = path_kind::folder;
                    break;
                case DT_LNK:
                    kind = path_kind::link;
                    break;
                default:
                    break;
            }
            if (found->d_type == DT_UNKNOWN) {
                struct stat info;
                if (fstatat(folder.fd, name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
                    kind = kind_of_mode(info.st_mode);
                }
            }
            listing->add(name, kind);
        }
    } catch (...) {
        closedir(stream);
        throw;
    }
    closedir(stream);
    if (error != 0) {
        errno = error;
        return false;
    }
    listing->sort();
    return true;
}

void close_folder(open_folder& folder) {
    if (folder.fd >= 0) {
        close(folder.fd);
        folder.fd = -1;
        --folders_open;
    }
}

std::size_t open_folders() {
    return folders_open;
}

open_status open_file_at(const file_place& place, open_file* file) {
    file->writable = false;
    if (place.parent != nullptr) {
        // Listed as a regular file: opened for reading at once, one open a file. Without
        // following a link, and O_NONBLOCK so that a FIFO swapped in since cannot block; what
        // was opened is then told from fstat, and anything but a regular file is never read.
        const int fd = open_place(place, O_RDONLY);
        if (fd < 0) {
            return errno == ELOOP ? open_status::link : open_status::failed;
        }
        const open_status described = describe_regular(fd, file);
        file->fd = described == open_status::opened ? fd : -1;
        return described;
    }
#if defined(O_PATH)
    // A named path may name a device: a descriptor that opens nothing is looked at first.
    const int anchor = open_place(place, O_PATH);
#else
    const int anchor = open_place(place, O_RDONLY);
#endif
    if (anchor < 0) {
        return open_status::failed;
    }
    const open_status described = describe_regular(anchor, file);
    if (described != open_status::opened) {
        return described;
    }
#if defined(O_PATH)
    file->fd = reopen_or_open_same(anchor, place, O_RDONLY, file->identity);
    close_keeping_errno(anchor);
    return file->fd >= 0 ? open_status::opened : open_status::failed;
#else
    file->fd = anchor;
    return open_status::opened;
#endif
}

open_status open_named_file(const char* path, open_file* file) {
#if defined(O_PATH)
    constexpr int folder_flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
    constexpr int folder_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
    const char* name = path;
    int folder = *path == '/' ? open("/", folder_flags) : AT_FDCWD;
    for (const char* slash; folder != -1 && (slash = std::strchr(name, '/')) != nullptr;
         name = slash + 1) {
        if (slash == name) {
            continue;  // "//": one folder
        }
        const std::string component(name, static_cast<std::size_t>(slash - name));
        const int next = openat(folder, component.c_str(), folder_flags);
        if (folder != AT_FDCWD) {
            close_keeping_errno(folder);
        }
        folder = next;
    }
    if (folder == -1) {
        return open_status::failed;
    }
    if (folder == AT_FDCWD || *name == '\0') {
        return open_file_at({nullptr, nullptr, path}, file);  // no folder, or not a file's name
    }
    // The last name, followed if a link, through the folder reached: a short path again.
    char within[64 + NAME_MAX];
    const int length = std::snprintf(within, sizeof within, "/proc/self/fd/%d/%s", folder, name);
    open_status status = open_status::failed;
    if (length > 0 && static_cast<std::size_t>(length) < sizeof within) {
        status = open_file_at({nullptr, nullptr, within}, file);
    } else {
        errno = ENAMETOOLONG;
    }
    if (status == open_status::failed && errno == ENOENT && std::strlen(path) < PATH_MAX &&
        access("/proc/self/fd", F_OK) != 0) {
        status = open_file_at({nullptr, nullptr, path}, file);  // no /proc here
    }
    close_keeping_errno(folder);
    return status;
}

bool current_folder(std::string* folder) {
    char* const found = getcwd(nullptr, 0);
    if (found == nullptr) {
        return false;
    }
    *folder = found;
    std::free(found);
    return true;
}

bool is_absolute_path(const char* path) {
    return path[0] == '/';
}

open_status open_for_update(const file_place& place, open_file* file) {
    const int fd = reopen_or_open_same(file->fd, place, O_RDWR, file->identity);
    if (fd < 0) {
        return open_status::failed;
    }
    const open_status locked = lock_for_update(fd);
    if (locked != open_status::opened) {
        close_keeping_errno(fd);
        return locked;
    }
    close(file->fd);
    file->fd = fd;
    file->writable = true;
    return open_status::opened;
}

open_status open_journal_file(const char* path, open_file* file, bool* created) {
    file->writable = false;
    *created = false;
    struct stat info;
    // Whatever is there already is looked at first: a device or FIFO is never opened.
    if (stat(path, &info) == 0 && !S_ISREG(info.st_mode)) {
        return open_status::not_regular;
    }
    constexpr int flags = O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    // Created only where nothing is: then it is known to be this run's own.
    int fd = open(path, flags | O_CREAT | O_EXCL, 0666);
    *created = fd >= 0;
    if (fd < 0 && errno == EEXIST) {
        fd = open(path, flags);
        if (fd < 0 && errno == ENOENT) {
            fd = open(path, flags | O_CREAT, 0666);  // a link to nothing yet, or removed meanwhile
        }
    }
    if (fd < 0) {
        return errno == EISDIR ? open_status::not_regular : open_status::failed;
    }
    const open_status described = describe_regular(fd, file);
    if (described != open_status::opened) {
        return described;
    }
    const open_status locked = lock_for_update(fd);
    if (locked != open_status::opened) {
        close_keeping_errno(fd);
        return locked;
    }
    file->fd = fd;
    file->writable = true;
    return open_status::opened;
}

void remove_created_file(const char* path, open_file& file) {
    struct stat info;
    // Still locked: no other run has written to it.
    if (stat(path, &info) == 0 && identity_of(info) == file.identity) {
        unlink(path);
    }
    close_file(file);
}

bool create_temp_file(const char* stem, std::string* path) {
    const char* folder = std::getenv("TMPDIR");
    folder = folder != nullptr && folder[0] != '\0' ? folder : "/tmp";
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const unsigned long long tick = static_cast<unsigned long long>(now.tv_sec) * 1000 +
                                    static_cast<unsigned long long>(now.tv_nsec) / 1000000;
    *path = join_path(folder, std::string(stem) + "-" + std::to_string(getpid()) + "-" +
                                  std::to_string(tick) + ".log");
    const int fd = open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    close(fd);
    return true;
}

bool remove_file(const char* path) {
    return unlink(path) == 0;
}

std::size_t open_files_allowed() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return 1024;  // the limit most systems start from
    }
    return static_cast<std::size_t>(limit.rlim_cur);
}

std::uint64_t address_space_allowed() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return 0;
    }
    return static_cast<std::uint64_t>(limit.rlim_cur);
}

std::size_t open_files_left() {
    const std::size_t allowed = open_files_allowed();
    std::size_t open_now = 0;
    if (DIR* listing = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(listing)) {
            open_now += entry->d_name[0] != '.';
        }
        closedir(listing);
        open_now -= open_now > 0;  // the listing's own
    } else {
        // No /proc: each descriptor below the limit is asked about, up to a bound on the asking.
        constexpr std::size_t most_asked = 65536;
        for (std::size_t fd = 0; fd < std::min(allowed, most_asked); ++fd) {
            open_now += fcntl(static_cast<int>(fd), F_GETFD) != -1;
        }
    }
    return allowed > open_now ? allowed - open_now : 0;
}

void advise_will_read(const open_file& file, std::uint64_t length) {
#if defined(POSIX_FADV_WILLNEED)
    posix_fadvise(file.fd, 0, static_cast<off_t>(length), POSIX_FADV_WILLNEED);
#else
    (void)file;
    (void)length;
#endif
}

bool flush_to_disk(const open_file& file) {
    for (;;) {
#if defined(__APPLE__)
        const int done = fsync(file.fd);
#else
        const int done = fdatasync(file.fd);
#endif
        if (done == 0) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

bool current_size(const open_file& file, std::uint64_t* size) {
    struct stat info;
    if (fstat(file.fd, &info) != 0) {
        return false;
    }
    *size = static_cast<std::uint64_t>(info.st_size);
    return true;
}

bool cut_file(const open_file& file, std::uint64_t length) {
    if (length > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        errno = EFBIG;
        return false;
    }
    while (ftruncate(file.fd, static_cast<off_t>(length)) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

const char* in_use_reason() {
    return "another process holds a lock on it";
}

long long read_once(int fd, std::uint64_t offset, unsigned char* data, std::size_t count) {
    return pread(fd, data, count, static_cast<off_t>(offset));
}

std::size_t read_cached_at(const open_file& file, std::uint64_t offset, unsigned char* data,
                           std::size_t length) {
#if defined(RWF_NOWAIT)
    // Set once the system says it has no such read (an older kernel, some file systems).
    static std::atomic<bool> refused{false};
    if (length == 0 || refused ||
        offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        return 0;
    }
    iovec part{data, length};
    ssize_t got = 0;
    do {
        got = preadv2(file.fd, &part, 1, static_cast<off_t>(offset), RWF_NOWAIT);
    } while (got < 0 && errno == EINTR);
    if (got < 0 && (errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL)) {
        refused = true;
    }
    return got > 0 ? static_cast<std::size_t>(got) : 0;
#else
    (void)file;
    (void)offset;
    (void)data;
    (void)length;
    return 0;
#endif
}

long long write_once(int fd, std::uint64_t offset, const unsigned char* data, std::size_t count) {
    return pwrite(fd, data, count, static_cast<off_t>(offset));
}

bool close_file(open_file& file) {
    const int fd = file.fd;
    file.fd = -1;
    return close(fd) == 0;
}

}  // namespace img_whiten

#endif
