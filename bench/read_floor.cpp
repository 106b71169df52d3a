// The least a patch run can cost on the same I/O.
//
//   read-floor ARCHIVE [WRITE_MASK]
//   read-floor --tree FOLDER [--jobs N]
//
// On an archive it reads the header and the directory with one read each and
// every model entry with one read into one reused buffer, and does nothing
// else. With WRITE_MASK, a file holding one character per model entry in
// directory order, it also writes back each entry marked '1' with one write,
// as img-whiten 1.0 did for an entry it changed. With --tree it walks FOLDER
// as a run does (names sorted, depth first, links not followed) and reads
// each archive as above and each loose model whole, with one read. With
// --jobs N above 1 the walking thread only lists folders and queues the files
// it selects, in walk order, for N readers that each open and read one file
// at a time into a buffer of their own.
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "archive.h"
#include "file_io.h"
#include "walk.h"
#include "write_back.h"

namespace {

using namespace img_whiten;

int fail(const char* what, const std::string& path) {
    std::fprintf(stderr, "read-floor: %s: %s\n", path.c_str(), what);
    return 1;
}

std::string read_mask(const char* path) {
    std::string mask;
    if (std::FILE* file = std::fopen(path, "rb")) {
        for (int c; (c = std::fgetc(file)) != EOF;) {
            mask.push_back(static_cast<char>(c));
        }
        std::fclose(file);
    }
    return mask;
}

bool read_exactly(const open_file& file, std::uint64_t offset, unsigned char* data,
                  std::size_t length) {
    int error = 0;
    return read_at(file, offset, data, length, &error) == length;
}

int read_archive(const std::string& path, const std::string& mask,
                 std::vector<unsigned char>& buffer) {
    open_file file;
    const file_place place{nullptr, nullptr, path.c_str()};
    if (open_file_at(place, &file) != open_status::opened ||
        (!mask.empty() && open_for_update(place, &file) != open_status::opened)) {
        return fail("cannot open", path);
    }
    unsigned char header_bytes[archive_header_size];
    if (!read_exactly(file, 0, header_bytes, sizeof header_bytes)) {
        return fail("no header", path);
    }
    const archive_header header = decode_archive_header(header_bytes);
    if (header.magic != archive_magic || header.entry_count <= 0) {
        close_file(file);
        return 0;
    }
    const auto count = static_cast<std::size_t>(header.entry_count);
    std::vector<unsigned char> directory(count * archive_entry_size);
    if (!read_exactly(file, directory_offset, directory.data(), directory.size())) {
        return fail("short directory", path);
    }
    std::size_t model = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const archive_entry entry = decode_archive_entry(&directory[i * archive_entry_size]);
        if (!is_model_entry(entry.name)) {
            continue;
        }
        const auto length = static_cast<std::size_t>(entry_data_length(entry));
        if (!hold(buffer, length)) {
            return fail("out of memory", path);
        }
        if (!read_exactly(file, entry_data_offset(entry), buffer.data(), length)) {
            return fail("short entry", path);
        }
        if (model < mask.size() && mask[model] == '1') {
            int error = 0;
            if (write_at(file, entry_data_offset(entry), buffer.data(), length, &error) != length) {
                return fail("write failed", path);
            }
        }
        ++model;
    }
    return close_file(file) ? 0 : fail("close failed", path);
}

int read_model(const file_place& place, std::vector<unsigned char>& buffer) {
    const std::string path = place.path;
    open_file file;
    if (open_file_at(place, &file) != open_status::opened) {
        return fail("cannot open", path);
    }
    const auto size = static_cast<std::size_t>(file.size);
    if (!hold(buffer, size) || !read_exactly(file, 0, buffer.data(), size)) {
        return fail("cannot read", path);
    }
    return close_file(file) ? 0 : fail("close failed", path);
}

// A file the walk selected, waiting for a reader.
struct found_file {
    std::shared_ptr<const open_folder> folder;  // kept open until its files are read
    std::string name, path;
    bool model = false;  // a loose model, else an archive
};

// Files from the walk to the readers, in walk order.
struct file_queue {
    std::mutex mutex;
    std::condition_variable filled, room;
    std::deque<found_file> waiting;
    std::size_t most = 0;  // waiting files at most, so the walk keeps few folders open
    bool walked = false;
    int status = 0;
};

int read_found(const found_file& found, std::vector<unsigned char>& buffer) {
    if (found.model) {
        return read_model(file_place{found.folder.get(), found.name.c_str(), found.path.c_str()},
                          buffer);
    }
    return read_archive(found.path, "", buffer);
}

void read_queued(file_queue& queue) {
    std::vector<unsigned char> buffer;
    int status = 0;
    for (;;) {
        found_file next;
        {
            std::unique_lock<std::mutex> lock(queue.mutex);
            queue.filled.wait(lock, [&] { return queue.walked || !queue.waiting.empty(); });
            if (queue.waiting.empty()) {
                break;
            }
            next = std::move(queue.waiting.front());
            queue.waiting.pop_front();
        }
        queue.room.notify_one();
        status |= read_found(next, buffer);
    }
    std::lock_guard<std::mutex> lock(queue.mutex);
    queue.status |= status;
}

void close_and_free(open_folder* folder) {
    close_folder(*folder);
    delete folder;
}

// Reads each selected file itself, or with `queue` hands it to the readers.
int read_tree(const file_place& place, std::vector<unsigned char>& buffer, file_queue* queue) {
    std::shared_ptr<open_folder> folder(new open_folder, close_and_free);
    folder_listing listing;
    if (open_folder_at(place, folder.get()) != open_status::opened ||
        !list_folder(*folder, &listing)) {
        return fail("cannot list", place.path);
    }
    int status = 0;
    for (std::size_t i = 0; i < listing.size(); ++i) {
        const char* name = listing.name(i);
        const std::string path = join_path(folder->path, name);
        const file_place child{folder.get(), name, path.c_str()};
        const bool model = has_model_name(name);
        if (listing.kind(i) == path_kind::folder) {
            status |= read_tree(child, buffer, queue);
        } else if (listing.kind(i) != path_kind::regular || (!model && !has_archive_name(name))) {
            continue;
        } else if (queue != nullptr) {
            std::unique_lock<std::mutex> lock(queue->mutex);
            queue->room.wait(lock, [&] { return queue->waiting.size() < queue->most; });
            queue->waiting.push_back(found_file{folder, name, path, model});
            lock.unlock();
            queue->filled.notify_one();
        } else if (model) {
            status |= read_model(child, buffer);
        } else {
            status |= read_archive(path, "", buffer);
        }
    }
    return status;
}

int read_tree_with(const char* root, unsigned jobs) {
    std::vector<unsigned char> buffer;
    if (jobs == 1) {
        return read_tree(file_place{nullptr, nullptr, root}, buffer, nullptr);
    }
    file_queue queue;
    queue.most = std::size_t{4} * jobs;
    std::vector<std::thread> readers;
    for (unsigned i = 0; i < jobs; ++i) {
        readers.emplace_back([&queue] { read_queued(queue); });
    }
    const int status = read_tree(file_place{nullptr, nullptr, root}, buffer, &queue);
    {
        std::lock_guard<std::mutex> lock(queue.mutex);
        queue.walked = true;
    }
    queue.filled.notify_all();
    for (std::thread& reader : readers) {
        reader.join();
    }
    return status | queue.status;
}

// A count of jobs from 1 to 256, or 0.
unsigned parse_jobs(const char* text) {
    char* end = nullptr;
    const unsigned long jobs = std::strtoul(text, &end, 10);
    return *text >= '0' && *text <= '9' && *end == '\0' && jobs >= 1 && jobs <= 256
               ? static_cast<unsigned>(jobs)
               : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--tree") == 0) {
        const bool with_jobs = argc == 5 && std::strcmp(argv[3], "--jobs") == 0;
        const unsigned jobs = with_jobs ? parse_jobs(argv[4]) : 1;
        if ((argc == 3 || with_jobs) && jobs != 0) {
            return read_tree_with(argv[2], jobs);
        }
    } else if (argc >= 2) {
        std::vector<unsigned char> buffer;
        return read_archive(argv[1], argc > 2 ? read_mask(argv[2]) : "", buffer);
    }
    std::fprintf(stderr,
                 "usage: read-floor ARCHIVE [WRITE_MASK] | read-floor --tree FOLDER [--jobs N]\n");
    return 1;
}
