// Files and folders on Windows: wide-character calls at any path length,
// reparse points in folders never followed, share modes instead of locks.
#if defined(_WIN32)

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdint>

#include "file_io.h"
#include "file_io_platform.h"
#include "utf16.h"

namespace img_whiten {

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

// Describes the file `handle` is open on into `file` if it is a file on a
// disk (not a folder, console, pipe or device); otherwise closes the handle.
bool describe_disk_file(HANDLE handle, open_file* file) {
    bool is_folder = false;
    if (GetFileType(handle) != FILE_TYPE_DISK ||
        !describe_handle(handle, &file->identity, &file->size, &file->links, &is_folder) ||
        is_folder) {
        CloseHandle(handle);
        return false;
    }
    return true;
}

// A handle on `place` with `access` and `flags`, that opens a reparse point
// itself rather than what it points at when the place is a folder entry.
HANDLE open_handle(const file_place& place, DWORD access, DWORD share, DWORD flags) {
    if (place.parent != nullptr) {
        flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    }
    const HANDLE handle = CreateFileW(windows_path(place.path).c_str(), access, share, nullptr,
                                      OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = errno_for(GetLastError());
    }
    return handle;
}

bool is_reparse_point(HANDLE handle) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    return GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
           (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A C runtime descriptor that owns `handle`, or -1 (errno set, the handle closed).
int descriptor_for(HANDLE handle, int flags) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        errno = EMFILE;
    }
    return fd;
}

}  // namespace

// The C runtime reserves descriptors 0, 1 and 2 even for a process started
// without standard handles, so no file can take them.
bool occupy_closed_standard_streams() {
    return true;
}

bool kind_of_path(const char* path, path_kind* kind, file_identity* identity) {
    const HANDLE handle = query_handle(path);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool ok = true;
    file_identity found{};
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        *kind = path_kind::other;
    } else {
        std::uint64_t size = 0, links = 0;
        bool is_folder = false;
        ok = describe_handle(handle, &found, &size, &links, &is_folder);
        *kind = is_folder ? path_kind::folder : path_kind::regular;
    }
    if (identity != nullptr) {
        *identity = found;
    }
    CloseHandle(handle);
    return ok;
}

std::string join_path(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '\\' || folder.back() == '/' || folder.back() == ':') {
        return folder + name;
    }
    return folder + '\\' + name;
}

open_status open_folder_at(const file_place& place, open_folder* folder) {
    const HANDLE handle = open_handle(place, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, share_all,
                                      FILE_FLAG_BACKUP_SEMANTICS);
    if (handle == INVALID_HANDLE_VALUE) {
        return open_status::failed;
    }
    std::uint64_t size = 0, links = 0;
    bool is_folder = false;
    if (!describe_handle(handle, &folder->identity, &size, &links, &is_folder)) {
        const int error = errno;
        CloseHandle(handle);
        errno = error;
        return open_status::failed;
    }
    if (place.parent != nullptr && is_reparse_point(handle)) {
        CloseHandle(handle);
        return open_status::link;  // a junction or link, made since the folder was listed
    }
    if (!is_folder) {
        CloseHandle(handle);
        return open_status::not_regular;
    }
    // Held open while the folder is walked: it cannot be removed or renamed meanwhile.
    folder->handle = handle;
    folder->path = place.path;
    return open_status::opened;
}

bool list_folder(const open_folder& folder, folder_listing* listing) {
    listing->clear();
    const std::string pattern = join_path(folder.path, "*");
    WIN32_FIND_DATAW found;
    const HANDLE search =
        FindFirstFileExW(windows_path(pattern.c_str()).c_str(), FindExInfoBasic, &found,
                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) {
        errno = errno_for(GetLastError());
        return false;
    }
    try {
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
            listing->add(utf16_to_utf8(utf16.data(), utf16.size()).c_str(), kind);
        } while (FindNextFileW(search, &found));
    } catch (...) {
        FindClose(search);
        throw;
    }
    const DWORD error = GetLastError();
    FindClose(search);
    if (error != ERROR_NO_MORE_FILES) {
        errno = errno_for(error);
        return false;
    }
    listing->sort();
    return true;
}

void close_folder(open_folder& folder) {
    if (folder.handle != nullptr) {
        CloseHandle(static_cast<HANDLE>(folder.handle));
        folder.handle = nullptr;
    }
}

std::size_t open_folders() {
    return 0;
}

open_status open_file_at(const file_place& place, open_file* file, file_access) {
    // Opened for reading alone, whatever the access: open_for_update reopens it with the share
    // mode that keeps writers out.
    file->writable = false;
    const HANDLE handle = open_handle(place, GENERIC_READ, share_all, FILE_ATTRIBUTE_NORMAL);
    if (handle == INVALID_HANDLE_VALUE) {
        return open_status::failed;
    }
    if (!describe_disk_file(handle, file)) {
        return open_status::not_regular;
    }
    if (place.parent != nullptr && is_reparse_point(handle)) {
        CloseHandle(handle);
        return open_status::link;
    }
    file->fd = descriptor_for(handle, _O_RDONLY);
    return file->fd >= 0 ? open_status::opened : open_status::failed;
}

open_status open_named_file(const char* path, open_file* file) {
    return open_file_at({nullptr, nullptr, path}, file);  // \\?\ paths reach any length
}

bool current_folder(std::string* folder) {
    const DWORD needed = GetCurrentDirectoryW(0, nullptr);
    std::wstring wide(needed, L'\0');
    const DWORD length = needed != 0 ? GetCurrentDirectoryW(needed, &wide[0]) : 0;
    if (length == 0 || length >= needed) {
        errno = length == 0 ? errno_for(GetLastError()) : EAGAIN;
        return false;
    }
    const std::u16string utf16(wide.begin(), wide.begin() + length);
    *folder = utf16_to_utf8(utf16.data(), utf16.size());
    return true;
}

bool is_absolute_path(const char* path) {
    // C:\..., \\server\share\... and \\?\...; also \... and /..., from the current drive's root.
    return path[0] == '\\' || path[0] == '/' ||
           (path[0] != '\0' && path[1] == ':' && (path[2] == '\\' || path[2] == '/'));
}

open_status open_for_update(const file_place& place, open_file* file) {
    const HANDLE reading = reinterpret_cast<HANDLE>(_get_osfhandle(file->fd));
    // The same file again, whatever its name names now; sharing reading only keeps writers out.
    HANDLE handle = ReOpenFile(reading, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, 0);
    DWORD error = handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (handle == INVALID_HANDLE_VALUE && error != ERROR_SHARING_VIOLATION &&
        error != ERROR_ACCESS_DENIED) {
        // No ReOpenFile here: by name, then make sure it is the same file.
        handle = open_handle(place, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                             FILE_ATTRIBUTE_NORMAL);
        error = handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        if (handle != INVALID_HANDLE_VALUE) {
            file_identity identity;
            std::uint64_t size = 0, links = 0;
            bool is_folder = false;
            if (!describe_handle(handle, &identity, &size, &links, &is_folder) ||
                !(identity == file->identity)) {
                CloseHandle(handle);
                errno = ENOENT;  // its name names another file by now
                return open_status::failed;
            }
        }
    }
    if (handle == INVALID_HANDLE_VALUE) {
        errno = errno_for(error);
        return error == ERROR_SHARING_VIOLATION ? open_status::in_use : open_status::failed;
    }
    const int fd = descriptor_for(handle, _O_RDWR);
    if (fd < 0) {
        return open_status::failed;
    }
    _close(file->fd);
    file->fd = fd;
    file->writable = true;
    return open_status::opened;
}

std::size_t open_files_allowed() {
    return 8192;  // the C runtime's descriptors
}

std::size_t open_files_left() {
    // The C runtime does not say how many of its descriptors are taken: the standard streams are.
    return open_files_allowed() - 3;
}

void advise_will_read(const open_file&, std::uint64_t) {
    // No such hint for a file on Windows, short of mapping it: the reads themselves ask.
}

open_status open_journal_file(const char* path, open_file* file, bool* created) {
    file->writable = false;
    // Sharing reading only keeps other writers out, as while a file is patched; and
    // as no one may delete or rename it meanwhile, its name names it until it is closed.
    const HANDLE handle =
        CreateFileW(windows_path(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    *created = handle != INVALID_HANDLE_VALUE && GetLastError() != ERROR_ALREADY_EXISTS;
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        errno = errno_for(error);
        const DWORD attributes = GetFileAttributesW(windows_path(path).c_str());
        if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return open_status::not_regular;  // a folder cannot be opened as a file
        }
        return error == ERROR_SHARING_VIOLATION ? open_status::in_use : open_status::failed;
    }
    if (!describe_disk_file(handle, file)) {
        return open_status::not_regular;
    }
    file->fd = descriptor_for(handle, _O_RDWR);
    if (file->fd < 0) {
        return open_status::failed;
    }
    file->writable = true;
    return open_status::opened;
}

void remove_created_file(const char* path, open_file& file) {
    close_file(file);
    DeleteFileW(windows_path(path).c_str());
}

bool flush_to_disk(const open_file& file) {
    if (!FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(file.fd)))) {
        errno = errno_for(GetLastError());
        return false;
    }
    return true;
}

bool current_size(const open_file& file, std::uint64_t* size) {
    LARGE_INTEGER length;
    if (!GetFileSizeEx(reinterpret_cast<HANDLE>(_get_osfhandle(file.fd)), &length)) {
        errno = errno_for(GetLastError());
        return false;
    }
    *size = static_cast<std::uint64_t>(length.QuadPart);
    return true;
}

const char* in_use_reason() {
    return "another program has it open (sharing violation)";
}

long long read_once(int fd, std::uint64_t offset, unsigned char* data, std::size_t count) {
    if (_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) < 0) {
        return -1;
    }
    return _read(fd, data, static_cast<unsigned>(count));
}

long long write_once(int fd, std::uint64_t offset, const unsigned char* data, std::size_t count) {
    if (_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) < 0) {
        return -1;
    }
    return _write(fd, data, static_cast<unsigned>(count));
}

bool close_file(open_file& file) {
    const int fd = file.fd;
    file.fd = -1;
    return _close(fd) == 0;
}

}  // namespace img_whiten

#endif
