#include "file_io.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "file_io_platform.h"

namespace img_whiten {

namespace {

// One system call moves at most this much; larger transfers take several.
constexpr std::size_t largest_transfer = std::size_t{1} << 30;

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

std::size_t read_at(const open_file& file, std::uint64_t offset, unsigned char* data,
                    std::size_t length, int* error) {
    return carry_on(offset, length, true, error,
                    [&](std::uint64_t at, std::size_t done, std::size_t count) {
                        return read_once(file.fd, at, data + done, count);
                    });
}

std::size_t write_at(const open_file& file, std::uint64_t offset, const unsigned char* data,
                     std::size_t length, int* error) {
    return carry_on(offset, length, false, error,
                    [&](std::uint64_t at, std::size_t done, std::size_t count) {
                        return write_once(file.fd, at, data + done, count);
                    });
}

void folder_listing::clear() {
    names_.clear();
    starts_.clear();
}

void folder_listing::add(const char* name, path_kind kind) {
    starts_.push_back(names_.size());
    names_ += static_cast<char>(kind);
    names_.append(name, std::strlen(name) + 1);
}

void folder_listing::sort() {
    const char* names = names_.data();
    // strcmp compares as unsigned bytes: the order of the names' bytes.
    std::sort(starts_.begin(), starts_.end(), [names](std::uint64_t a, std::uint64_t b) {
        return std::strcmp(names + a + 1, names + b + 1) < 0;
    });
}

}  // namespace img_whiten
