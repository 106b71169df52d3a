// tree-benchmark --tool IMG_WHITEN --floor READ_FLOOR [--models N] [--runs N]
//                [--seed S] [--dir DIR] [--keep] [--cold [--jobs N] [--fadvise]]
//
// Writes a tree of N loose models of realistic small sizes in nested folders,
// beside a few archives, as a modded installation keeps them, patches it
// once, and then measures steady-state runs (everything already patched,
// warm page cache) of img-whiten on the tree against `read-floor --tree`,
// which walks the same folders and reads each selected file once. Runs
// alternate and each figure is the median. It prints the ratio and
// img-whiten's peak resident memory on the whole tree and on a tenth of it,
// and exits non-zero when a run failed; the timings are reported, never
// asserted.
//
// With --cold the page cache holds none of the tree before each timed run:
// as root the whole cache is dropped, otherwise (or with --fadvise) each
// file's pages are, which leaves folders and inodes cached. It then prints a
// table of img-whiten cold (default jobs, --jobs 1, and --jobs N if given)
// against the floor with one reader and with 16, cold on an unpatched copy
// of the tree restored before each such run, and warm against the floor with
// one reader.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "process.h"
#include "scheduler.h"

namespace {

namespace fs = std::filesystem;
using namespace img_whiten::build;

struct options {
    std::string tool, floor, dir = "bench-tree";
    unsigned long long models = 20000, runs = 7, seed = 1;
    unsigned long long jobs = 0;  // with --cold: a row for img-whiten --jobs N too; 0: none
    bool cold = false, fadvise = false;
    bool keep = false;  // leave DIR in place afterwards, to time other runs on it by hand
};

void write(const fs::path& path, const bytes& data) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
}

// `count` models in folders of about 100, two levels deep, and three archives.
void make_tree(const fs::path& root, unsigned long long count, std::uint64_t seed) {
    sample_options options;
    options.seed = seed;
    options.vertex_kib_min = 1;  // mod models: a few KiB to some tens of KiB each
    options.vertex_kib_max = 24;
    options.other_kib_min = 4;
    options.other_kib_max = 64;
    unsigned long long made = 0;
    for (std::uint64_t batch = 0; made < count; ++batch) {
        options.target_bytes = 8u << 20;
        options.seed = seed + batch;
        const std::vector<entry> entries = sample_entries(options);
        for (const entry& e : entries) {
            if (made == count) {
                break;
            }
            const std::string name = e.name;
            if (name.size() < 4 || (name.substr(name.size() - 4) != ".dff" &&
                                    name.substr(name.size() - 4) != ".DFF")) {
                continue;
            }
            const fs::path folder = root / ("mod" + std::to_string(made / 1000)) /
                                    ("set" + std::to_string(made / 100 % 10));
            write(folder / ("m" + std::to_string(made) + "_" + name), e.data);
            ++made;
        }
        if (batch < 3) {
            const bytes whole = archive(entries);
            write(root / ("archive" + std::to_string(batch) + ".img"), whole);
        }
    }
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

bool parse(int argc, char** argv, options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--cold" || flag == "--fadvise" || flag == "--keep") {
            (flag == "--cold" ? o.cold : flag == "--fadvise" ? o.fadvise : o.keep) = true;
            continue;
        }
        if (i + 1 == argc) {
            return false;
        }
        const std::string value = argv[++i];
        if (flag == "--tool") {
            o.tool = value;
        } else if (flag == "--floor") {
            o.floor = value;
        } else if (flag == "--dir") {
            o.dir = value;
        } else if (flag == "--models") {
            o.models = std::strtoull(value.c_str(), nullptr, 10);
        } else if (flag == "--runs") {
            o.runs = std::strtoull(value.c_str(), nullptr, 10);
        } else if (flag == "--seed") {
            o.seed = std::strtoull(value.c_str(), nullptr, 10);
        } else if (flag == "--jobs") {
            o.jobs = std::strtoull(value.c_str(), nullptr, 10);
            if (o.jobs < 1 || o.jobs > 256) {
                return false;
            }
        } else {
            return false;
        }
    }
    return !o.tool.empty() && !o.floor.empty() && o.models >= 10 && o.runs > 0 &&
           (o.cold || (o.jobs == 0 && !o.fadvise));
}

// Runs `work` in a child and tells whether it finished: a child's peak memory
// counts its parent's at the fork, so what holds much memory runs in one.
bool in_child(const std::function<void()>& work) {
    const pid_t child = fork();
    if (child == 0) {
        work();
        _exit(0);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

// Empties the whole page cache, dirty data written first; false when we may not.
bool drop_page_cache() {
    sync();
    const int fd = open("/proc/sys/vm/drop_caches", O_WRONLY | O_CLOEXEC);
    const bool dropped = fd >= 0 && ::write(fd, "3\n", 2) == 2;
    if (fd >= 0) {
        close(fd);
    }
    return dropped;
}

// Drops the cached pages of each file under `root`, dirty data written first.
bool evict_files(const fs::path& root) {
    sync();
    bool ok = true;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        if (!item.is_regular_file()) {
            continue;
        }
        const int fd = open(item.path().c_str(), O_RDONLY | O_CLOEXEC);
        ok &= fd >= 0 && posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
        if (fd >= 0) {
            close(fd);
        }
    }
    return ok;
}

// Pages of the files under `root` that are in the page cache, and all their pages.
std::pair<std::uint64_t, std::uint64_t> cached_pages(const fs::path& root) {
    const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    std::uint64_t cached = 0, all = 0;
    std::vector<unsigned char> resident;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        const std::uint64_t size = item.is_regular_file() ? item.file_size() : 0;
        const int fd = size != 0 ? open(item.path().c_str(), O_RDONLY | O_CLOEXEC) : -1;
        if (fd < 0) {
            continue;
        }
        // Mapped and never touched, so looking reads nothing in.
        void* map = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
        resident.assign((size + page - 1) / page, 0);
        if (map != MAP_FAILED && mincore(map, size, resident.data()) == 0) {
            all += resident.size();
            for (const unsigned char bits : resident) {
                cached += bits & 1u;
            }
        }
        if (map != MAP_FAILED) {
            munmap(map, size);
        }
        close(fd);
    }
    return {cached, all};
}

// Img-whiten and the floors run on one tree, each after the cache was emptied.
class cold_runs {
public:
    cold_runs(const options& o, const fs::path& root, const fs::path& pristine)
        : o_(o), root_(root), pristine_(pristine) {}

    // Empties the cache once and tells how, and how much of the tree it left.
    bool prepare() {
        whole_cache_ = !o_.fadvise && geteuid() == 0 && drop_page_cache();
        if (!empty()) {
            return false;
        }
        const auto pages = cached_pages(root_);
        std::printf("cache emptied by %s; afterwards %llu of the tree's %llu pages were cached\n",
                    whole_cache_ ? "dropping the whole page cache"
                                 : "posix_fadvise on each file (folders and inodes stay cached)",
                    static_cast<unsigned long long>(pages.first),
                    static_cast<unsigned long long>(pages.second));
        // Cold runs would not be cold: say so rather than print their figures as such.
        return pages.first * 20 <= pages.second;
    }

    bool empty() const { return whole_cache_ ? drop_page_cache() : evict_files(root_); }

    // Puts the unpatched tree back in place.
    bool restore() const {
        return in_child([this] {
            fs::remove_all(root_);
            fs::copy(pristine_, root_, fs::copy_options::recursive);
        });
    }

private:
    const options& o_;
    fs::path root_, pristine_;
    bool whole_cache_ = false;
};

struct timings {
    std::vector<double> seconds;
    long peak_rss_kib = 0;

    void add(const process_result& result) {
        seconds.push_back(result.seconds);
        peak_rss_kib = std::max(peak_rss_kib, result.peak_rss_kib);
    }
};

// Runs the rows of the cold table side by side and prints it; false when a run failed.
bool run_cold(const options& o, const fs::path& root, const fs::path& pristine,
              unsigned long long files) {
    cold_runs cache(o, root, pristine);
    if (!cache.prepare()) {
        std::printf("the cache could not be emptied of the tree: no cold figures\n");
        return false;
    }
    const std::string tree = root.string(), jobs = std::to_string(o.jobs);
    const std::string visited = "Visited " + std::to_string(files) + " files: ";
    const std::string unchanged = " models changed, 0 materials whitened\n";
    timings floor_one, floor_many, floor_warm, tool, tool_one, tool_jobs, fresh, warm;
    bool ok = true;
    const auto run = [&](timings& into, const std::vector<std::string>& argv, bool cold,
                         bool patches) {
        ok &= !cold || cache.empty();
        const process_result result = run_process(argv);
        ok &= result.exit_status == 0;
        if (argv[0] == o.tool) {
            ok &= result.out.find(visited) != std::string::npos;
            ok &= (result.out.find(unchanged) == std::string::npos) == patches;
        }
        into.add(result);
    };
    std::vector<std::pair<timings*, std::vector<std::string>>> cold = {
        {&floor_one, {o.floor, "--tree", tree}},
        {&floor_many, {o.floor, "--tree", tree, "--jobs", "16"}},
        {&tool, {o.tool, tree}},
        {&tool_one, {o.tool, "--jobs", "1", tree}}};
    if (o.jobs != 0) {
        cold.push_back({&tool_jobs, {o.tool, "--jobs", jobs, tree}});
    }
    for (unsigned long long round = 0; round < o.runs; ++round) {
        // Each round starts one later, so that no run always comes first.
        for (std::size_t i = 0; i < cold.size(); ++i) {
            const auto& next = cold[(round + i) % cold.size()];
            run(*next.first, next.second, true, false);
        }
        // The tree is in the cache now, from the run before.
        for (unsigned i = 0; i < 2; ++i) {
            if ((i + round) % 2 == 0) {
                run(floor_warm, {o.floor, "--tree", tree}, false, false);
            } else {
                run(warm, {o.tool, tree}, false, false);
            }
        }
        // Patches the tree again, for the next round's steady state.
        ok &= cache.restore();
        run(fresh, {o.tool, tree}, true, true);
    }
    const double one = median(floor_one.seconds), many = median(floor_many.seconds);
    const double one_warm = median(floor_warm.seconds);
    std::printf(
        "read-floor --tree: cold one reader %.3f s, cold 16 readers %.3f s, warm one "
        "reader %.3f s\n\n",
        one, many, one_warm);
    std::printf("%-30s %9s %9s %10s %11s  %s\n", "img-whiten run", "seconds", "peak MiB",
                "/1 reader", "/16 readers", "target");
    // Cold rows: the target, when there is one, is against 16 readers.
    const auto row = [&](const std::string& name, const timings& t, double target) {
        const double seconds = median(t.seconds);
        std::string aim = "-";
        if (target > 0) {
            aim = "<= " + std::to_string(target).substr(0, 4) +
                  "x 16 readers: " + (seconds / many <= target ? "met" : "missed");
        }
        std::printf("%-30s %9.3f %9.2f %9.2fx %10.2fx  %s\n", name.c_str(), seconds,
                    static_cast<double>(t.peak_rss_kib) / 1024, seconds / one, seconds / many,
                    aim.c_str());
    };
    const std::string picked = std::to_string(img_whiten::default_jobs(tree.c_str()));
    row("cold, default jobs (" + picked + ")", tool, 1.15);
    row("cold, --jobs 1", tool_one, 0);
    if (o.jobs != 0) {
        row("cold, --jobs " + jobs, tool_jobs, 0);
    }
    row("cold fresh (also writes)", fresh, 0);
    std::printf("%-30s %9.3f %9.2f %9.2fx %11s  <= 1.00x 1 reader (warm): %s\n",
                ("warm, default jobs (" + picked + ")").c_str(), median(warm.seconds),
                static_cast<double>(warm.peak_rss_kib) / 1024, median(warm.seconds) / one_warm, "-",
                median(warm.seconds) <= one_warm ? "met" : "missed");
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(
            stderr,
            "usage: tree-benchmark --tool IMG_WHITEN --floor READ_FLOOR [--models N] "
            "[--runs N] [--seed S] [--dir DIR] [--keep] [--cold [--jobs N] [--fadvise]]\n");
        return 2;
    }
    const fs::path root = fs::path(o.dir) / "tree", tenth = fs::path(o.dir) / "tenth";
    const fs::path pristine = fs::path(o.dir) / "pristine";
    fs::remove_all(o.dir);
    const bool written = in_child([&] {
        if (o.cold) {
            make_tree(pristine, o.models, o.seed);
            fs::copy(pristine, root, fs::copy_options::recursive);
        } else {
            make_tree(root, o.models, o.seed);
            make_tree(tenth, o.models / 10, o.seed);
        }
    });
    std::uint64_t tree_bytes = 0;
    unsigned long long files = 0;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        tree_bytes += item.is_regular_file() ? item.file_size() : 0;
        files += item.is_regular_file() ? 1u : 0u;
    }
    bool ok = written;
    // The first runs patch; every later one finds the tree already patched.
    for (const fs::path& tree : {root, tenth}) {
        if (tree == root || !o.cold) {
            const process_result first = run_process({o.tool, tree.string()});
            ok &= first.exit_status == 0;
        }
    }
    if (o.cold) {
        std::printf("tree: %llu loose models and %llu archives, %.1f MiB; medians of %llu runs\n",
                    o.models, files - o.models, static_cast<double>(tree_bytes) / (1 << 20),
                    o.runs);
        ok &= run_cold(o, root, pristine, files);
        if (!ok) {
            std::printf("a run failed, or a run found what it should not have\n");
        }
        if (!o.keep) {
            fs::remove_all(o.dir);
        }
        return ok ? 0 : 1;
    }
    std::vector<double> tool_seconds, floor_seconds;
    long tool_rss = 0, tenth_rss = 0, floor_rss = 0;
    for (unsigned long long run = 0; run < o.runs; ++run) {
        const process_result tool = run_process({o.tool, root.string()});
        const process_result floor = run_process({o.floor, "--tree", root.string()});
        const process_result small = run_process({o.tool, tenth.string()});
        ok &= tool.exit_status == 0 && floor.exit_status == 0 && small.exit_status == 0;
        ok &= tool.out.find(" models changed, 0 materials whitened\n") != std::string::npos;
        tool_seconds.push_back(tool.seconds);
        floor_seconds.push_back(floor.seconds);
        tool_rss = std::max(tool_rss, tool.peak_rss_kib);
        floor_rss = std::max(floor_rss, floor.peak_rss_kib);
        tenth_rss = std::max(tenth_rss, small.peak_rss_kib);
    }
    const double tool_median = median(tool_seconds), floor_median = median(floor_seconds);
    std::printf("tree: %llu loose models and 3 archives, %.1f MiB; medians of %llu runs\n",
                o.models, static_cast<double>(tree_bytes) / (1 << 20), o.runs);
    const std::string picked = std::to_string(img_whiten::default_jobs(root.string().c_str()));
    std::printf(
        "steady state, default jobs (%s): img-whiten %.3f s, read-floor --tree %.3f s, ratio "
        "%.2f (target <= 1.00)\n",
        picked.c_str(), tool_median, floor_median, tool_median / floor_median);
    std::printf(
        "peak memory: img-whiten %.2f MiB on the tree, %.2f MiB on a tenth of it; "
        "read-floor %.2f MiB (target <= 8 MiB, not growing with the files)\n",
        static_cast<double>(tool_rss) / 1024, static_cast<double>(tenth_rss) / 1024,
        static_cast<double>(floor_rss) / 1024);
    if (!ok) {
        std::printf("a run failed, or the steady-state run changed something\n");
    }
    if (!o.keep) {
        fs::remove_all(o.dir);
    }
    return ok ? 0 : 1;
}
