// tree-benchmark --tool IMG_WHITEN --floor READ_FLOOR [--models N] [--runs N]
//                [--seed S] [--dir DIR]
//
// Writes a tree of N loose models of realistic small sizes in nested folders,
// beside a few archives, as a modded installation keeps them, patches it
// once, and then measures steady-state runs (everything already patched,
// warm page cache) of img-whiten on the tree against `read-floor --tree`,
// which walks the same folders and reads each selected file once. Runs
// alternate and each figure is the median. It prints the ratio and
// img-whiten's peak resident memory on the whole tree and on a tenth of it.
// Then it patches fresh copies of the tree with and without --undo-log, side
// by side, and undoes the last journal, which must give back the tree as it
// was. It exits non-zero when a run failed; the timings are reported, never
// asserted.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "process.h"

namespace {

namespace fs = std::filesystem;
using namespace img_whiten::build;

struct options {
    std::string tool, floor, dir = "bench-tree";
    unsigned long long models = 20000, runs = 7, seed = 1;
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

// Forces what was written under `dir` to disk, so that no writeback overlaps a timed run.
void settle(const fs::path& dir) {
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        syncfs(fd);
        close(fd);
    }
}

bytes read_whole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// How many files below `copy` differ from those below `original`; with
// `put_back`, their 4 KiB blocks that differ are written back, and the copy
// is settled. Cheaper and steadier than copying the tree again, which frees
// and allocates every block of it.
std::size_t differing_files(const fs::path& original, const fs::path& copy, bool put_back) {
    std::size_t differing = 0;
    for (const auto& item : fs::recursive_directory_iterator(original)) {
        if (!item.is_regular_file()) {
            continue;
        }
        const fs::path other = copy / fs::relative(item.path(), original);
        const bytes want = read_whole(item.path()), have = read_whole(other);
        if (want == have) {
            continue;
        }
        ++differing;
        if (put_back && want.size() == have.size()) {
            std::fstream out(other, std::ios::in | std::ios::out | std::ios::binary);
            for (std::size_t at = 0; at < want.size(); at += 4096) {
                const std::size_t count = std::min<std::size_t>(4096, want.size() - at);
                if (!std::equal(want.begin() + static_cast<long>(at),
                                want.begin() + static_cast<long>(at + count),
                                have.begin() + static_cast<long>(at))) {
                    out.seekp(static_cast<std::streamoff>(at));
                    out.write(reinterpret_cast<const char*>(want.data() + at),
                              static_cast<std::streamsize>(count));
                }
            }
        }
    }
    if (put_back) {
        settle(copy);
    }
    return differing;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

bool parse(int argc, char** argv, options& o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i], value = argv[i + 1];
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
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && !o.tool.empty() && !o.floor.empty() && o.models >= 10 && o.runs > 0;
}

}  // namespace

int main(int argc, char** argv) {
    options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: tree-benchmark --tool IMG_WHITEN --floor READ_FLOOR [--models N] "
                     "[--runs N] [--seed S] [--dir DIR]\n");
        return 2;
    }
    const fs::path root = fs::path(o.dir) / "tree", tenth = fs::path(o.dir) / "tenth",
                   pristine = fs::path(o.dir) / "pristine", journal = fs::path(o.dir) / "undo.log";
    fs::remove_all(o.dir);
    // Written by a child: a child's peak memory counts its parent's at the fork.
    const pid_t writer = fork();
    if (writer == 0) {
        make_tree(root, o.models, o.seed);
        make_tree(tenth, o.models / 10, o.seed);
        make_tree(pristine, o.models, o.seed);
        _exit(0);
    }
    int written = 0;
    waitpid(writer, &written, 0);
    std::uint64_t tree_bytes = 0;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        tree_bytes += item.is_regular_file() ? item.file_size() : 0;
    }
    bool ok = true;
    // The first runs patch; every later one finds the tree already patched.
    for (const fs::path& tree : {root, tenth}) {
        const process_result first = run_process({o.tool, tree.string()});
        ok &= first.exit_status == 0;
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
    // Fresh copies, with and without a journal, each first in turn and on
    // each of two copies of the tree in turn, put back as they were before each run.
    const fs::path copies[] = {fs::path(o.dir) / "copy0", fs::path(o.dir) / "copy1"};
    for (const fs::path& copy : copies) {
        fs::copy(pristine, copy, fs::copy_options::recursive);
        settle(copy);
    }
    std::vector<double> fresh_seconds, journaled_seconds;
    fs::path journaled;
    for (unsigned long long run = 0; run < o.runs; ++run) {
        for (unsigned long long turn = 0; turn < 2; ++turn) {
            const bool with_journal = (turn + run) % 2 == 1;
            const fs::path& copy = copies[(with_journal + run / 2) % 2];
            differing_files(pristine, copy, true);
            std::vector<std::string> args{o.tool, copy.string()};
            if (with_journal) {
                fs::remove(journal);
                args.insert(args.begin() + 1, {"--undo-log", journal.string()});
                journaled = copy;
            }
            const process_result result = run_process(args);
            ok &= result.exit_status == 0 &&
                  result.out.find(" materials whitened\n") != std::string::npos;
            (with_journal ? journaled_seconds : fresh_seconds).push_back(result.seconds);
        }
    }
    const std::uint64_t journal_bytes = fs::file_size(journal);
    const process_result undone = run_process({o.tool, "--undo", journal.string()});
    ok &= undone.exit_status == 0 && differing_files(pristine, journaled, false) == 0;
    const double tool_median = median(tool_seconds), floor_median = median(floor_seconds);
    std::printf("tree: %llu loose models and 3 archives, %.1f MiB; medians of %llu runs\n",
                o.models, static_cast<double>(tree_bytes) / (1 << 20), o.runs);
    std::printf(
        "steady state: img-whiten %.3f s, read-floor --tree %.3f s, ratio %.2f (target <= "
        "1.30)\n",
        tool_median, floor_median, tool_median / floor_median);
    std::printf(
        "peak memory: img-whiten %.2f MiB on the tree, %.2f MiB on a tenth of it; "
        "read-floor %.2f MiB (target <= 8 MiB, not growing with the files)\n",
        static_cast<double>(tool_rss) / 1024, static_cast<double>(tenth_rss) / 1024,
        static_cast<double>(floor_rss) / 1024);
    std::printf(
        "fresh copy: img-whiten %.3f s, with --undo-log %.3f s, ratio %.3f (target <= 1.05); "
        "journal %.1f KiB; --undo of it %.3f s\n",
        median(fresh_seconds), median(journaled_seconds),
        median(journaled_seconds) / median(fresh_seconds),
        static_cast<double>(journal_bytes) / 1024, undone.seconds);
    if (!ok) {
        std::printf(
            "a run failed, the steady-state run changed something, or the undo did not give "
            "back the tree\n");
    }
    fs::remove_all(o.dir);
    return ok ? 0 : 1;
}
