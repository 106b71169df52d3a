#include "file_io.h"

#include <algorithm>
#include <cerrno>
#include <climits>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include <cstdlib>

#include "utf16.h"
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace img_whiten {

namespace {

// One system call moves at most this much; larger transfers take several.
constexpr std::size_t largest_transfer = std::size_t{1} << 30;

bool by_name(const folder_entry& a, const folder_entry& b) {
    return a.name < b.name;  // char_traits compares as unsigned bytes
}

// Moves `length` bytes from `offset` on, one call of `move(position, done,
// count)` after another (each returns the bytes it moved, or -1 with errno
// set), until all are moved: a short transfer is carried on, never taken for
// the end. A call that moves nothing is the end of the file for a read
// (`zero_is_end`) and, for a write, a failure. Returns the bytes moved; a
// failure is left in *error (0 otherwise).
template <typename Move>
std::size_t carry_on(std::uint64_t offset, std::size_t length, bool zero_is_end, int* error,
                     Move move) {
    *error = 0;
    std::size_t done = 0;
    while (done < length) {
        if (offset + done > static_cast<std::uint64_t>(INT64_MAX)) {
            *error = EINVAL;
            break;
        }
        const long long moved =
            move(offset + done, done, std::min(length - done, largest_transfer));
        if (moved < 0) {
            if (errno == EINTR) {
                continue;
            }
            *error = errno;
            break;
        }
        if (moved == 0) {
            *error = zero_is_end ? 0 : EIO;  // a write that makes no progress gives no reason
            break;
        }
        done += static_cast<std::size_t>(moved);
    }
    return done;
}

}  // namespace

#if defined(_WIN32)

namespace {

// A wide path that the Windows calls take at any length: past MAX_PATH it
// becomes an absolute \\?\ path, which no length limit applies to.
std::wstring windows_path(const char* path) {
    std::wstring wide = utf8_to_wide(path);
    if (wide.size() < MAX_PATH - 12 || wide.rfind(L"\\\\?\\", 0) == 0) {
        return wide;
    }
    const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return wide;
    }
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(wide.c_str(), needed, &full[0], nullptr);
    if (length == 0 || length >= needed) {
        return wide;
    }
    full.resize(length);
    if (full.rfind(L"\\\\", 0) == 0) {
        return L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share\...
    }
    return L"\\\\?\\" + full;
}

// errno for the Windows error codes a path or a transfer can meet.
int errno_for(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_NETPATH:
        case ERROR_INVALID_DRIVE:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return EACCES;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        default:
            return EIO;
    }
}

// A handle that only asks about the file or folder at `path`: no reading, no writing.
HANDLE query_handle(const char* path) {
    const HANDLE handle = CreateFileW(windows_path(path).c_str(), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = errno_for(GetLastError());
    }
    return handle;
}

bool describe_handle(HANDLE handle, file_identity* identity, std::uint64_t* size,
                     std::uint64_t* links, bool* is_folder) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) {
        errno = errno_for(GetLastError());
        return false;
    }
    identity->device = info.dwVolumeSerialNumber;
    identity->index = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
    *size = std::uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
    *links = info.nNumberOfLinks;
    *is_folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

}  // namespace

// The C runtime reserves descriptors 0, 1 and 2 even for a process started
// without standard handles, so no file can take them.
bool occupy_closed_standard_streams() {
    return true;
}

bool kind_of_path(const char* path, path_kind* kind) {
    const HANDLE handle = query_handle(path);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool ok = true;
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        *kind = path_kind::other;
    } else {
        file_identity identity;
        std::uint64_t size = 0, links = 0;
        bool is_folder = false;
        ok = describe_handle(handle, &identity, &size, &links, &is_folder);
        *kind = is_folder ? path_kind::folder : path_kind::regular;
    }
    CloseHandle(handle);
    return ok;
}

bool list_folder(const char* path, std::vector<folder_entry>* entries) {
    entries->clear();
    std::string pattern = join_path(path, "*");
    WIN32_FIND_DATAW found;
    const HANDLE search =
        FindFirstFileExW(windows_path(pattern.c_str()).c_str(), FindExInfoBasic, &found,
                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) {
        errno = errno_for(GetLastError());
        return false;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const DWORD attributes = found.dwFileAttributes;
        path_kind kind = path_kind::regular;
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            kind = path_kind::link;
        } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            kind = path_kind::folder;
        } else if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
            kind = path_kind::other;
        }
        const std::u16string utf16(name.begin(), name.end());
        entries->push_back({utf16_to_utf8(utf16.data(), utf16.size()), kind});
    } while (FindNextFileW(search, &found));
    const DWORD error = GetLastError();
    FindClose(search);
    if (error != ERROR_NO_MORE_FILES) {
        errno = errno_for(error);
        return false;
    }
    std::sort(entries->begin(), entries->end(), by_name);
    return true;
}

std::string join_path(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '\\' || folder.back() == '/' || folder.back() == ':') {
        return folder + name;
    }
    return folder + '\\' + name;
}

bool identify_path(const char* path, file_identity* identity) {
    const HANDLE handle = query_handle(path);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    std::uint64_t size = 0, links = 0;
    bool is_folder = false;
    const bool ok = describe_handle(handle, identity, &size, &links, &is_folder);
    CloseHandle(handle);
    return ok;
}

open_status open_file_at(const char* path, file_access access, open_file* file) {
    const bool update = access == file_access::update;
    SetLastError(ERROR_SUCCESS);
    _doserrno = 0;
    file->fd = _wsopen(windows_path(path).c_str(),
                       (update ? _O_RDWR : _O_RDONLY) | _O_BINARY | _O_NOINHERIT,
                       update ? _SH_DENYWR : _SH_DENYNO);
    if (file->fd < 0) {
        // Some C runtimes keep the system's reason only in their own record.
        const int error = errno;
        const bool sharing = GetLastError() == ERROR_SHARING_VIOLATION ||
                             static_cast<DWORD>(_doserrno) == ERROR_SHARING_VIOLATION;
        errno = error;
        return sharing ? open_status::in_use : open_status::failed;
    }
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(file->fd));
    bool is_folder = false;
    if (GetFileType(handle) != FILE_TYPE_DISK ||
        !describe_handle(handle, &file->identity, &file->size, &file->links, &is_folder) ||
        is_folder) {
        _close(file->fd);
        file->fd = -1;
        return open_status::not_regular;
    }
    return open_status::opened;
}

const char* in_use_reason() {
    return "another program has it open (sharing violation)";
}

std::size_t read_at(const open_file& file, std::uint64_t offset, unsigned char* data,
                    std::size_t length, int* error) {
    return carry_on(offset, length, true, error,
                    [&](std::uint64_t at, std::size_t done, std::size_t count) -> long long {
                        if (_lseeki64(file.fd, static_cast<__int64>(at), SEEK_SET) < 0) {
                            return -1;
                        }
                        return _read(file.fd, data + done, static_cast<unsigned>(count));
                    });
}

std::size_t write_at(const open_file& file, std::uint64_t offset, const unsigned char* data,
                     std::size_t length, int* error) {
    return carry_on(offset, length, false, error,
                    [&](std::uint64_t at, std::size_t done, std::size_t count) -> long long {
                        if (_lseeki64(file.fd, static_cast<__int64>(at), SEEK_SET) < 0) {
                            return -1;
                        }
                        return _write(file.fd, data + done, static_cast<unsigned>(count));
                    });
}

bool close_file(open_file& file) {
    const int fd = file.fd;
    file.fd = -1;
    return _close(fd) == 0;
}

#else

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
    return true;
}

namespace {

path_kind kind_of_mode(mode_t mode) {
    if (S_ISREG(mode)) {
        return path_kind::regular;
    }
    if (S_ISDIR(mode)) {
        return path_kind::folder;
    }
    return S_ISLNK(mode) ? path_kind::link : path_kind::other;
}

}  // namespace

bool kind_of_path(const char* path, path_kind* kind) {
    struct stat info;
    if (stat(path, &info) != 0) {
        return false;
    }
    *kind = kind_of_mode(info.st_mode);
    return true;
}

bool list_folder(const char* path, std::vector<folder_entry>* entries) {
    entries->clear();
    DIR* folder = opendir(path);
    if (folder == nullptr) {
        return false;
    }
    int error = 0;
    for (;;) {
        errno = 0;
        const dirent* found = readdir(folder);
        if (found == nullptr) {
            error = errno;
            break;
        }
        const std::string name = found->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        path_kind kind = path_kind::other;
        switch (found->d_type) {
            case DT_REG:
                kind = path_kind::regular;
                break;
            case DT_DIR:
                kind = path_kind::folder;
                break;
            case DT_LNK:
                kind = path_kind::link;
                break;
            case DT_UNKNOWN: {
                // Some file systems leave the type to a stat of its own.
                struct stat info;
                if (fstatat(dirfd(folder), found->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
                    kind = kind_of_mode(info.st_mode);
                } else {
                    kind = path_kind::regular;  // gone or unreadable: the open will say
                }
                break;
            }
            default:
                break;
        }
        entries->push_back({name, kind});
    }
    closedir(folder);
    if (error != 0) {
        errno = error;
        return false;
    }
    std::sort(entries->begin(), entries->end(), by_name);
    return true;
}

std::string join_path(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '/') {
        return folder + name;
    }
    return folder + '/' + name;
}

bool identify_path(const char* path, file_identity* identity) {
    struct stat info;
    if (stat(path, &info) != 0) {
        return false;
    }
    *identity = {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
    return true;
}

open_status open_file_at(const char* path, file_access access, open_file* file) {
    const bool update = access == file_access::update;
    // Non-blocking: a FIFO put in the file's place cannot hold the open.
    file->fd = open(path, (update ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (file->fd < 0) {
        return open_status::failed;
    }
    struct stat info;
    if (fstat(file->fd, &info) != 0) {
        const int error = errno;
        close_file(*file);
        errno = error;
        return open_status::failed;
    }
    if (!S_ISREG(info.st_mode)) {
        close_file(*file);
        return open_status::not_regular;
    }
    // O_NONBLOCK stays: reads and writes of a regular file ignore it.
    file->identity = {static_cast<std::uint64_t>(info.st_dev),
                      static_cast<std::uint64_t>(info.st_ino)};
    file->size = static_cast<std::uint64_t>(info.st_size);
    file->links = static_cast<std::uint64_t>(info.st_nlink);
    // Only a lock held elsewhere stops the run; a file system without locks does not.
    if (update && flock(file->fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        close_file(*file);
        errno = EWOULDBLOCK;
        return open_status::in_use;
    }
    return open_status::opened;
}

const char* in_use_reason() {
    return "another process holds a lock on it";
}

std::size_t read_at(const open_file& file, std::uint64_t offset, unsigned char* data,
                    std::size_t length, int* error) {
    return carry_on(offset, length, true, error,
                    [&](std::uint64_t at, std::size_t done, std::size_t count) -> long long {
                        return pread(file.fd, data + done, count, static_cast<off_t>(at));
                    });
}

std::size_t write_at(const open_file& file, std::uint64_t offset, const unsigned char* data,
                     std::size_t length, int* error) {
    return carry_on(offset, length, false, error,
                    [&](std::uint64_t at, std::size_t done, std::size_t count) -> long long {
                        return pwrite(file.fd, data + done, count, static_cast<off_t>(at));
                    });
}

bool close_file(open_file& file) {
    const int fd = file.fd;
    file.fd = -1;
    return close(fd) == 0;
}

#endif

}  // namespace img_whiten
