// patch-benchmark --tool IMG_WHITEN --floor READ_FLOOR [--size-mib N] [--runs N]
//                 [--seed S] [--dir DIR]
//
// Writes a realistic sample archive and measures, side by side on a warm page
// cache, img-whiten against the least any program on the same I/O can do:
//   steady state: an archive already patched (read and walk, nothing written)
//                 against read-floor, which only reads the same model entries;
//   fresh copy:   an unpatched copy (read, walk, write back) against read-floor
//                 writing back the same entries whole, as img-whiten did
//                 before it wrote only the sectors that changed; timed alone
//                 and with an fsync of the archive after the run, and with
//                 the bytes each handed to the OS for the archive;
//   undo journal: the same fresh copy with --undo-log, against it without,
//                 and then --undo of that journal, which must give back the
//                 original bytes.
// Runs alternate and each figure is the median. It prints the ratios and
// each program's peak resident memory beside the largest model entry, and
// exits non-zero if a run failed or printed what it should not have; the
// timings themselves are reported, never asserted.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archive.h"
#include "archive_builder.h"
#include "process.h"

namespace {

namespace fs = std::filesystem;

struct options {
    std::string tool, floor, dir = "bench-work";
    unsigned long long size_mib = 1536, runs = 5, seed = 1;
};

struct sample {
    double seconds;
    long rss_kib;
    std::uint64_t archive_bytes_written;  // handed to write calls, less stdout and stderr
    double synced_seconds;                // the run and then an fsync of the archive
};

bool checks_passed = true;

void check(bool condition, const std::string& what) {
    if (!condition) {
        std::printf("check failed: %s\n", what.c_str());
        checks_passed = false;
    }
}

double median_seconds(std::vector<sample> samples, double sample::*field = &sample::seconds) {
    std::sort(samples.begin(), samples.end(),
              [field](const sample& a, const sample& b) { return a.*field < b.*field; });
    return samples[samples.size() / 2].*field;
}

long peak_rss(const std::vector<sample>& samples) {
    long peak = 0;
    for (const sample& s : samples) {
        peak = std::max(peak, s.rss_kib);
    }
    return peak;
}

double mib(double bytes) {
    return bytes / (1024.0 * 1024.0);
}

// Forces `file` to disk, so that no writeback of it overlaps a timed run; returns the seconds it
// took.
double settle(const fs::path& file) {
    const auto start = std::chrono::steady_clock::now();
    const int fd = open(file.c_str(), O_RDONLY);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void fresh_copy(const fs::path& from, const fs::path& to) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    settle(to);
}

void warm(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> block(1 << 20);
    while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
    }
}

// One '1' or '0' per model line of the tool's stdout: whether it changed the entry.
std::string write_mask(const std::string& out) {
    std::string mask;
    for (std::size_t at = 0; (at = out.find(" patched ", at)) != std::string::npos; ++at) {
        mask.push_back(out.compare(at, 11, " patched 0 ") == 0 ? '0' : '1');
    }
    return mask;
}

std::string zero_counts(const std::string& out) {
    std::string zeros;
    std::size_t start = 0;
    for (std::size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = out.substr(start, end - start);
        zeros += line.substr(0, line.find(" patched ")) + " patched 0 materials\n";
    }
    return zeros;
}

sample timed(const std::vector<std::string>& argv, const std::string& expected_out) {
    const process_result result = run_process(argv);
    check(result.exit_status == 0,
          argv[0] + " exited with " + std::to_string(result.exit_status) + ": " + result.err);
    check(expected_out.empty() || result.out == expected_out,
          argv[0] + " printed unexpected lines");
    return {result.seconds, result.peak_rss_kib, bytes_written_to_files(result), result.seconds};
}

// A fresh-copy run, then an fsync of the archive it wrote.
sample timed_and_synced(const std::vector<std::string>& argv, const fs::path& archive,
                        const std::string& expected_out) {
    sample s = timed(argv, expected_out);
    s.synced_seconds = s.seconds + settle(archive);
    return s;
}

// Sectors in which `a` and `b` differ: the sectors that hold a changed colour word.
std::uint64_t differing_sectors(const fs::path& a, const fs::path& b) {
    std::ifstream in_a(a, std::ios::binary), in_b(b, std::ios::binary);
    std::vector<char> block_a(2048), block_b(2048);
    std::uint64_t count = 0;
    while (in_a.read(block_a.data(), 2048) && in_b.read(block_b.data(), 2048)) {
        count += block_a != block_b;
    }
    return count;
}

std::uint64_t max_written(const std::vector<sample>& samples) {
    std::uint64_t most = 0;
    for (const sample& s : samples) {
        most = std::max(most, s.archive_bytes_written);
    }
    return most;
}

bool parse(int argc, char** argv, options& o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const char* value = argv[i + 1];
        if (flag == "--tool") {
            o.tool = value;
        } else if (flag == "--floor") {
            o.floor = value;
        } else if (flag == "--dir") {
            o.dir = value;
        } else if (flag == "--size-mib") {
            o.size_mib = std::strtoull(value, nullptr, 10);
        } else if (flag == "--runs") {
            o.runs = std::strtoull(value, nullptr, 10);
        } else if (flag == "--seed") {
            o.seed = std::strtoull(value, nullptr, 10);
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && !o.tool.empty() && !o.floor.empty() && o.size_mib > 0 && o.runs > 0;
}

}  // namespace

int main(int argc, char** argv) {
    options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: patch-benchmark --tool PATH --floor PATH [--size-mib N] [--runs N] "
                     "[--seed S] [--dir DIR]\n");
        return 2;
    }
    const fs::path dir = o.dir;
    fs::create_directories(dir);
    const fs::path original = dir / "original.img", patched = dir / "patched.img",
                   fresh_tool = dir / "fresh-tool.img", fresh_floor = dir / "fresh-floor.img",
                   fresh_journaled = dir / "fresh-journaled.img", journal = dir / "undo.log",
                   mask_file = dir / "write-mask";
    const std::string tool = fs::absolute(o.tool).string(), floor = fs::absolute(o.floor).string();

    // The archive is written by a child process: a child's peak memory counts
    // its parent's at fork, so this process stays small for the measurements.
    img_whiten::build::sample_options sample_options;
    sample_options.target_bytes = o.size_mib << 20;
    sample_options.seed = o.seed;
    const pid_t writer = fork();
    if (writer == 0) {
        std::FILE* file = std::fopen(original.c_str(), "wb");
        const bool written =
            file != nullptr && img_whiten::build::write_archive(
                                   file, img_whiten::build::sample_entries(sample_options));
        _exit(file != nullptr && std::fclose(file) == 0 && written ? 0 : 1);
    }
    int writer_status = 0;
    if (writer < 0 || waitpid(writer, &writer_status, 0) != writer || writer_status != 0) {
        std::fprintf(stderr, "patch-benchmark: cannot write %s\n", original.c_str());
        return 1;
    }
    std::size_t entries = 0, models = 0, largest_model = 0;
    {
        std::ifstream in(original, std::ios::binary);
        unsigned char header[8];
        in.read(reinterpret_cast<char*>(header), sizeof header);
        entries = static_cast<std::size_t>(img_whiten::decode_archive_header(header).entry_count);
        std::vector<unsigned char> directory(entries * img_whiten::archive_entry_size);
        in.read(reinterpret_cast<char*>(directory.data()),
                static_cast<std::streamsize>(directory.size()));
        for (std::size_t i = 0; i < entries; ++i) {
            const img_whiten::archive_entry e =
                img_whiten::decode_archive_entry(&directory[i * img_whiten::archive_entry_size]);
            if (img_whiten::is_model_entry(e.name)) {
                ++models;
                largest_model = std::max(
                    largest_model, static_cast<std::size_t>(img_whiten::entry_data_length(e)));
            }
        }
    }
    settle(original);
    fresh_copy(original, patched);
    const process_result first = run_process({tool, patched.string()});
    settle(patched);
    check(first.exit_status == 0 && first.err.empty(), "first run failed: " + first.err);
    const std::string mask = write_mask(first.out);
    check(mask.size() == models, "one line per model entry");
    check(mask.find('1') != std::string::npos, "the sample has grey materials");
    std::ofstream(mask_file) << mask;
    const std::string steady_out = zero_counts(first.out);
    warm(original);
    warm(patched);

    std::vector<sample> steady_tool, steady_floor, fresh_tool_runs, fresh_floor_runs,
        journaled_runs;
    for (unsigned long long run = 0; run < o.runs; ++run) {
        const bool tool_first = run % 2 == 1;
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn == 0) == tool_first) {
                steady_tool.push_back(timed({tool, patched.string()}, steady_out));
            } else {
                steady_floor.push_back(timed({floor, patched.string()}, ""));
            }
        }
    }
    // Each of the three comes first, second and third in turn.
    for (unsigned long long run = 0; run < o.runs; ++run) {
        for (unsigned long long turn = 0; turn < 3; ++turn) {
            switch ((run + turn) % 3) {
                case 0:
                    fresh_copy(original, fresh_tool);
                    fresh_tool_runs.push_back(
                        timed_and_synced({tool, fresh_tool.string()}, fresh_tool, first.out));
                    break;
                case 1:
                    fresh_copy(original, fresh_floor);
                    fresh_floor_runs.push_back(timed_and_synced(
                        {floor, fresh_floor.string(), mask_file.string()}, fresh_floor, ""));
                    break;
                default:
                    fresh_copy(original, fresh_journaled);
                    fs::remove(journal);
                    journaled_runs.push_back(timed_and_synced(
                        {tool, "--undo-log", journal.string(), fresh_journaled.string()},
                        fresh_journaled, first.out));
                    break;
            }
        }
    }
    const std::uint64_t journal_bytes = fs::file_size(journal);
    const process_result undone = run_process({tool, "--undo", journal.string()});
    check(undone.exit_status == 0 && undone.err.empty(), "--undo failed: " + undone.err);
    check(differing_sectors(original, fresh_journaled) == 0 &&
              fs::file_size(original) == fs::file_size(fresh_journaled),
          "--undo gave back the original bytes");
    check(fs::file_size(fresh_tool) == fs::file_size(patched), "length kept");

    const double steady_ratio = median_seconds(steady_tool) / median_seconds(steady_floor);
    const double fresh_ratio = median_seconds(fresh_tool_runs) / median_seconds(fresh_floor_runs);
    const double synced_tool = median_seconds(fresh_tool_runs, &sample::synced_seconds);
    const double synced_floor = median_seconds(fresh_floor_runs, &sample::synced_seconds);
    const std::uint64_t changed_sectors = differing_sectors(original, patched);
    const std::uint64_t tool_written = max_written(fresh_tool_runs);
    check(tool_written <= changed_sectors * 2048,
          "img-whiten wrote more than the sectors that hold a changed word");
    const long tool_rss = std::max(peak_rss(steady_tool), peak_rss(fresh_tool_runs));
    const long floor_rss = std::max(peak_rss(steady_floor), peak_rss(fresh_floor_runs));
    std::printf(
        "archive: %.1f MiB, %zu entries, %zu models (%zu written), largest model entry %.2f MiB\n",
        mib(static_cast<double>(fs::file_size(original))), entries, models,
        static_cast<std::size_t>(std::count(mask.begin(), mask.end(), '1')),
        mib(static_cast<double>(largest_model)));
    std::printf("%llu runs each, alternating, warm page cache; medians:\n", o.runs);
    std::printf("  steady state  read-floor           %8.3f s\n", median_seconds(steady_floor));
    std::printf("                img-whiten           %8.3f s  ratio %.3f (target <= 1.05)\n",
                median_seconds(steady_tool), steady_ratio);
    std::printf(
        "  fresh copy    whole-entry writes   %8.3f s  (read-floor writing whole entries)\n",
        median_seconds(fresh_floor_runs));
    std::printf("                img-whiten           %8.3f s  ratio %.3f (target <= 0.85)\n",
                median_seconds(fresh_tool_runs), fresh_ratio);
    std::printf("  fresh copy    whole-entry writes   %8.3f s\n", synced_floor);
    std::printf("  + fsync       img-whiten           %8.3f s  ratio %.3f (target <= 0.50)\n",
                synced_tool, synced_tool / synced_floor);
    const double journaled = median_seconds(journaled_runs);
    std::printf(
        "  fresh copy    with --undo-log      %8.3f s  ratio %.3f to img-whiten without "
        "(target <= 1.05); journal %.1f KiB\n",
        journaled, journaled / median_seconds(fresh_tool_runs),
        static_cast<double>(journal_bytes) / 1024);
    std::printf("  + fsync       with --undo-log      %8.3f s  ratio %.3f\n",
                median_seconds(journaled_runs, &sample::synced_seconds),
                median_seconds(journaled_runs, &sample::synced_seconds) / synced_tool);
    std::printf("  --undo of that journal             %8.3f s\n", undone.seconds);
    std::printf(
        "bytes written to the archive: img-whiten %.2f MiB, whole-entry writes %.2f MiB; "
        "%llu sectors hold a changed word: %.2f MiB (target: img-whiten at most that)\n",
        mib(static_cast<double>(tool_written)),
        mib(static_cast<double>(max_written(fresh_floor_runs))),
        static_cast<unsigned long long>(changed_sectors),
        mib(static_cast<double>(changed_sectors * 2048)));
    std::printf(
        "peak resident memory: img-whiten %.2f MiB, read-floor %.2f MiB; largest model entry "
        "%.2f MiB + 4 MiB = %.2f MiB (target)\n",
        static_cast<double>(tool_rss) / 1024.0, static_cast<double>(floor_rss) / 1024.0,
        mib(static_cast<double>(largest_model)), mib(static_cast<double>(largest_model)) + 4);
    std::printf("checks: %s\n", checks_passed ? "ok" : "FAILED");
    fs::remove(fresh_tool);
    fs::remove(fresh_floor);
    fs::remove(fresh_journaled);
    fs::remove(journal);
    return checks_passed ? 0 : 1;
}
