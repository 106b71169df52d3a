// End to end: runs the real executable on archive files and compares what it
// printed, its exit status and every byte of the file afterwards.
//
//   end_to_end_tests --exe PATH [--launcher PROGRAM]... [--crlf]
//                    [--reference PATH] [--hold-file PATH]
//
// --launcher runs the tool through another program (such as wine); --crlf
// expects stdout lines to end in "\r\n", as a Windows console's do;
// --reference names another build whose stdout and bytes must match;
// --hold-file names a program, run by the launcher, that holds a file open
// (hold-file.exe, for Windows share modes).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "archive.h"
#include "archive_builder.h"
#include "byte_order.h"
#include "invariants.h"
#include "process.h"

namespace {

using namespace img_whiten::build;

struct tool_config {
    std::string exe;
    std::vector<std::string> launcher;
    bool crlf = false;
    std::string reference;  // another build whose stdout and bytes must match
    std::string hold_file;  // a Windows program that holds a file open, for share modes
} config;

constexpr std::size_t sector = 2048;

bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    ASSERT_TRUE(out.good()) << path;
}

struct progress_line {
    std::string name;
    long long count;
};

// The stdout the tool prints for these lines, in the platform's line ending.
std::string progress(const std::vector<progress_line>& lines) {
    std::string out;
    for (const progress_line& line : lines) {
        out += "Patching " + line.name + " patched " + std::to_string(line.count) + " materials";
        out += config.crlf ? "\r\n" : "\n";
    }
    return out;
}

// `data` with the colour word at each of `offsets` turned white.
bytes whitened(bytes data, const std::vector<std::size_t>& offsets) {
    for (std::size_t offset : offsets) {
        set_le32(data, offset, 0xFFFFFFFF);
    }
    return data;
}

std::size_t le32_at(const bytes& data, std::size_t at) {
    return img_whiten::load_le32(&data[at]);
}

// Offsets of every grey colour word that lies wholly in file[from, to).
std::vector<std::size_t> grey_words_between(const bytes& file, std::size_t from, std::size_t to) {
    std::vector<std::size_t> found;
    for (std::size_t i = from; i + 4 <= to; ++i) {
        if (img_whiten::invariants::is_grey_at(&file[i])) {
            found.push_back(i);
        }
    }
    return found;
}

// Offsets in `file` of every grey colour word in the data of entry `index`.
std::vector<std::size_t> grey_words(const bytes& file, std::size_t index) {
    const std::size_t offset = le32_at(file, entry_record_offset(index)) * sector;
    const std::size_t length = le32_at(file, entry_record_offset(index) + 4) * sector;
    return grey_words_between(file, offset, offset + length);
}

// Keeps `file` unwritable while it lives: mode 0444 and, for root, who
// ignores permission bits, the immutable attribute.
class unwritable_file {
public:
    explicit unwritable_file(const std::string& file) : file_(file) {
        chmod(file.c_str(), 0444);
        fd_ = open(file.c_str(), O_RDONLY);
        immutable_ = geteuid() == 0 && ioctl(fd_, FS_IOC_GETFLAGS, &flags_) == 0 &&
                     (flags_ |= FS_IMMUTABLE_FL, ioctl(fd_, FS_IOC_SETFLAGS, &flags_) == 0);
    }
    ~unwritable_file() {
        if (immutable_) {
            flags_ &= ~FS_IMMUTABLE_FL;
            ioctl(fd_, FS_IOC_SETFLAGS, &flags_);
        }
        close(fd_);
        chmod(file_.c_str(), 0644);
    }
    unwritable_file(const unwritable_file&) = delete;
    unwritable_file& operator=(const unwritable_file&) = delete;

    // False when running as root on a file system without the immutable attribute.
    bool holds() const { return geteuid() != 0 || immutable_; }

private:
    std::string file_;
    int fd_ = -1;
    int flags_ = 0;
    bool immutable_ = false;
};

// Nanosecond modification time: a write of the same bytes would still move it.
std::pair<long, long> modified(const std::string& file) {
    struct stat info {};
    EXPECT_EQ(stat(file.c_str(), &info), 0) << file;
    return {info.st_mtim.tv_sec, info.st_mtim.tv_nsec};
}

class end_to_end : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "img-whiten-e2e-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr) << std::strerror(errno);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    process_result run(const std::vector<std::string>& args, const process_limits& limits = {}) {
        std::vector<std::string> argv = config.launcher;
        argv.push_back(config.exe);
        argv.insert(argv.end(), args.begin(), args.end());
        return run_process(argv, limits);
    }

    // Writes `archive` to a file, runs the tool on it, and returns the result;
    // the file's bytes afterwards are left in `after`.
    process_result patch(const bytes& archive, bytes* after = nullptr) {
        const std::string file = path("test.img");
        write_file(file, archive);
        process_result result = run({file});
        if (after != nullptr) {
            *after = read_file(file);
        }
        return result;
    }

    std::string dir_;
};

// A sound run: exit status 0, nothing on stderr, and exactly this stdout and these bytes.
void expect_clean(const process_result& result, const std::string& out, const bytes& after,
                  const bytes& expected) {
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, out);
    EXPECT_EQ(after.size(), expected.size());
    EXPECT_TRUE(after == expected) << "file bytes differ";
}

// A damaged run: exit status 1, one message naming this failure, and exactly this stdout and bytes.
void expect_reported(const process_result& result, const std::string& out,
                     const std::string& message, const bytes& after, const bytes& expected) {
    EXPECT_EQ(result.exit_status, 1) << result.err;
    EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
    EXPECT_EQ(result.err.rfind("img-whiten: ", 0), 0u) << result.err;
    EXPECT_EQ(result.out, out);
    EXPECT_EQ(after.size(), expected.size());
    EXPECT_TRUE(after == expected) << "file bytes differ";
}

// --- Sound archives: byte-exact stdout, untouched bytes, exit 0 ---

TEST_F(end_to_end, one_grey_material_in_a_two_sector_archive) {
    const bytes before = archive({{"car.dff", material(grey)}});
    ASSERT_EQ(before.size(), 2 * sector);
    bytes after;
    const process_result result = patch(before, &after);
    expect_clean(result, progress({{"car.dff", 1}}), after, whitened(before, {sector + 28}));
}

TEST_F(end_to_end, only_reached_grey_words_change) {
    const bytes two = clump({geometry({material(grey), material({149, 149, 149, 254})}, 64),
                             geometry({material(white), material(grey, "tex")}, 64)});
    const bytes none = clump({geometry({material(white)}, 64)});
    const bytes hidden = chunk(chunk_type::world, material(grey));
    const bytes before = archive({{"two.dff", two},
                                  {"a.txd", material(grey)},
                                  {"m.dff", none},
                                  {"M.DFF", two},
                                  {"w.dff", hidden},
                                  {"empty.dff", {}}});
    // Every grey word of the reachable models; the one in the World stays.
    const std::vector<std::size_t> two_greys = grey_words(before, 0);
    const std::vector<std::size_t> upper_greys = grey_words(before, 3);
    ASSERT_EQ(two_greys.size(), 2u);
    ASSERT_EQ(upper_greys.size(), 2u);
    std::vector<std::size_t> changed = two_greys;
    changed.insert(changed.end(), upper_greys.begin(), upper_greys.end());
    bytes after;
    const process_result result = patch(before, &after);
    expect_clean(
        result,
        progress({{"two.dff", 2}, {"m.dff", 0}, {"M.DFF", 2}, {"w.dff", 0}, {"empty.dff", 0}}),
        after, whitened(before, changed));
}

TEST_F(end_to_end, silent_exit_0_when_there_is_nothing_to_do) {
    bytes empty_directory = archive({});
    bytes not_models = archive({{"a.txd", material(grey)}, {"b.col", material(grey)}});
    bytes wrong_magic = archive({{"car.dff", material(grey)}});
    wrong_magic[3] = '3';
    bytes lower_magic = archive({{"car.dff", material(grey)}});
    lower_magic[0] = 'v';
    bytes negative_count = archive({{"car.dff", material(grey)}});
    set_le32(negative_count, 4, 0x80000000);
    const struct {
        const char* name;
        bytes file;
    } cases[] = {
        {"entry_count 0", empty_directory},
        {"no model entries", not_models},
        {"magic VER3", wrong_magic},
        {"magic vER2", lower_magic},
        {"negative entry_count", negative_count},
        {"empty file", {}},
        {"seven bytes", bytes{'V', 'E', 'R', '2', 1, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bytes after;
        expect_clean(patch(c.file, &after), "", after, c.file);
    }
}

TEST_F(end_to_end, argument_handling) {
    const bytes before = archive({{"car.dff", material(grey)}});
    const std::string file = path("args.img");
    write_file(file, before);

    const process_result none = run({});
    EXPECT_EQ(none.exit_status, 0);
    EXPECT_EQ(none.out + none.err, "");

    const process_result extra = run({file, "--verbose", path("missing.img")});
    expect_clean(extra, progress({{"car.dff", 1}}), read_file(file),
                 whitened(before, {sector + 28}));
}

TEST_F(end_to_end, second_run_finds_nothing_and_writes_nothing) {
    sample_options options;
    options.target_bytes = 2u << 20;
    const bytes before = archive(sample_entries(options));
    const std::string file = path("twice.img");
    write_file(file, before);
    const process_result first = run({file});
    ASSERT_EQ(first.exit_status, 0) << first.err;
    const bytes once = read_file(file);
    ASSERT_NE(once, before);

    struct stat before_second {};
    ASSERT_EQ(stat(file.c_str(), &before_second), 0);
    const process_result second = run({file});
    std::string zero_counts;
    for (std::size_t start = 0; start < first.out.size();) {
        const std::size_t end = first.out.find('\n', start);
        const std::string line = first.out.substr(start, end + 1 - start);
        zero_counts += line.substr(0, line.find(" patched ")) + " patched 0 materials" +
                       (config.crlf ? "\r\n" : "\n");
        start = end + 1;
    }
    expect_clean(second, zero_counts, read_file(file), once);
    struct stat after_second {};
    ASSERT_EQ(stat(file.c_str(), &after_second), 0);
    // Nanosecond times: a write of the same bytes would still move them.
    EXPECT_EQ(after_second.st_mtim.tv_sec, before_second.st_mtim.tv_sec);
    EXPECT_EQ(after_second.st_mtim.tv_nsec, before_second.st_mtim.tv_nsec);
}

TEST_F(end_to_end, name_without_zero_byte_is_exactly_24_bytes) {
    // Regression: the next record's sector_offset ("XYZ!") must not be printed as part of the name.
    bytes before = archive({{"abcdefghijklmnopqrst.dff", material(grey)}, {"next.txd", {}}});
    set_le32(before, entry_record_offset(1), 0x215A5958);
    set_le32(before, entry_record_offset(1) + 4, 0);
    bytes after;
    expect_clean(patch(before, &after), progress({{"abcdefghijklmnopqrst.dff", 1}}), after,
                 whitened(before, {sector + 28}));
}

TEST_F(end_to_end, entries_sharing_sectors_see_earlier_writes) {
    bytes before = archive({{"first.dff", material(grey)}, {"second.dff", material(grey)}});
    // Point the second entry at the first one's sector.
    set_le32(before, entry_record_offset(1), 1);
    bytes after;
    expect_clean(patch(before, &after), progress({{"first.dff", 1}, {"second.dff", 0}}), after,
                 whitened(before, {sector + 28}));
}

// --- Options: --help, --version, --dry-run ---

std::string lines(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c == '\n' && config.crlf ? std::string("\r\n") : std::string(1, c);
    }
    return out;
}

TEST_F(end_to_end, help_and_version_open_nothing) {
    // An archive named like each option sits in the working directory and must stay as it is.
    const bytes before = archive({{"car.dff", material(grey)}});
    const std::string previous = std::filesystem::current_path().string();
    std::filesystem::current_path(dir_);
    for (const char* name : {"--help", "-h", "--version"}) {
        write_file(path(name), before);
    }
    const struct {
        std::vector<std::string> args;
        const char* starts;
    } cases[] = {
        {{"--help"}, "Usage: img-whiten ARCHIVE\n"},
        {{"-h", "--version"}, "Usage: img-whiten ARCHIVE\n"},
        {{"--version"}, "img-whiten " IMG_WHITEN_VERSION "\n"},
        {{"--version", "-h"}, "img-whiten " IMG_WHITEN_VERSION "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        const process_result result = run(c.args);
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out.rfind(lines(c.starts), 0), 0u) << result.out;
    }
    const process_result help = run({"--help"});
    for (const char* mention : {"--dry-run", "-n,", "--version", "./--help", "Exit status:"}) {
        EXPECT_NE(help.out.find(mention), std::string::npos) << mention;
    }
    EXPECT_EQ(run({"--version"}).out, lines("img-whiten " IMG_WHITEN_VERSION "\n"));
    for (const char* name : {"--help", "-h", "--version"}) {
        EXPECT_TRUE(read_file(path(name)) == before) << name;
    }
    // Reached as a path, the file named like an option is patched.
    const process_result patched = run({"./--help"});
    std::filesystem::current_path(previous);
    expect_clean(patched, progress({{"car.dff", 1}}), read_file(path("--help")),
                 whitened(before, {sector + 28}));
}

TEST_F(end_to_end, dry_run_without_an_archive_is_a_usage_error) {
    for (const char* option : {"--dry-run", "-n"}) {
        const process_result result = run({option});
        EXPECT_EQ(result.exit_status, 2) << option;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err.rfind(std::string("img-whiten: ") + option + ": no archive given", 0),
                  0u)
            << result.err;
    }
}

// Archives on which a dry run must print exactly what a real run then prints.
std::vector<std::pair<std::string, bytes>> dry_run_archives() {
    sample_options options;
    options.target_bytes = 1u << 20;
    options.seed = 3;
    bytes shared = archive({{"first.dff", material(grey)}, {"second.dff", material(grey)}});
    set_le32(shared, entry_record_offset(1), 1);  // the second entry reads the first one's sector
    bytes overlapping = archive({{"head.dff", {}}, {"car.dff", material(grey)}});
    set_le32(overlapping, entry_record_offset(0), 0);
    set_le32(overlapping, entry_record_offset(0) + 4, 1);
    bytes cut =
        archive({{"a.dff", material(grey)}, {"b.dff", clump({geometry({material(grey)}, 4096)})}});
    cut.resize(cut.size() - 3000);
    return {{"sample", archive(sample_entries(options))},
            {"entries sharing a sector", shared},
            {"entry overlapping the directory", overlapping},
            {"entry cut by the end of the file", cut},
            {"no models", archive({{"a.txd", material(grey)}})},
            {"not an archive", bytes{'V', 'E', 'R', '3', 1, 0, 0, 0}}};
}

TEST_F(end_to_end, dry_run_writes_nothing_and_prints_what_a_real_run_prints) {
    for (const auto& [name, before] : dry_run_archives()) {
        SCOPED_TRACE(name);
        const std::string file = path("dry.img");
        write_file(file, before);
        const auto mtime = modified(file);
        const process_result dry = run({"--dry-run", file});
        const process_result short_option = run({"-n", file});
        EXPECT_TRUE(read_file(file) == before) << "a dry run changed the file";
        EXPECT_EQ(modified(file), mtime);
        const process_result real = run({file});
        EXPECT_EQ(dry.out, real.out);
        EXPECT_EQ(dry.err, real.err);
        EXPECT_EQ(dry.exit_status, real.exit_status);
        EXPECT_EQ(short_option.out, real.out);
        EXPECT_EQ(short_option.exit_status, real.exit_status);
    }
}

TEST_F(end_to_end, dry_run_works_on_a_file_that_cannot_be_written) {
    const bytes before = archive({{"car.dff", material(grey)}, {"m.dff", material(white)}});
    const std::string file = path("readonly.img");
    write_file(file, before);
    const unwritable_file locked(file);
    if (!locked.holds()) {
        GTEST_SKIP() << "running as root on a file system without the immutable attribute";
    }
    const process_result result = run({"--dry-run", file});
    expect_clean(result, progress({{"car.dff", 1}, {"m.dff", 0}}), read_file(file), before);
}

// --- Other writers: an archive held elsewhere is left alone ---

TEST_F(end_to_end, archive_locked_by_another_run_is_in_use) {
    if (!config.launcher.empty()) {
        GTEST_SKIP() << "a Windows program keeps writers out by share mode, not flock";
    }
    const bytes before = archive({{"car.dff", material(grey)}});
    const std::string file = path("locked.img");
    write_file(file, before);
    // Another run's lock: flock on a separate open file description.
    const int holder = open(file.c_str(), O_RDONLY);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0) << std::strerror(errno);
    const process_result locked = run({file});
    // Readers are not blocked: a dry run takes no lock.
    const process_result reader = run({"--dry-run", file});
    close(holder);
    expect_reported(locked, "", "in use by another program: ", read_file(file), before);
    EXPECT_EQ(locked.err.rfind("img-whiten: " + file + ": in use by another program: ", 0), 0u);
    expect_clean(reader, progress({{"car.dff", 1}}), read_file(file), before);
    // Once the lock is gone the archive patches as usual.
    const process_result unlocked = run({file});
    expect_clean(unlocked, progress({{"car.dff", 1}}), read_file(file),
                 whitened(before, {sector + 28}));
}

TEST_F(end_to_end, archive_held_open_for_writing_by_a_windows_program_is_in_use) {
    if (config.hold_file.empty()) {
        GTEST_SKIP() << "needs --hold-file, the Windows program that holds a file open";
    }
    const bytes before = archive({{"car.dff", material(grey)}});
    const std::string file = path("held.img");
    write_file(file, before);
    // Holds `file` open in another Windows process while the tool runs.
    auto while_held = [&](const char* access, const std::vector<std::string>& args) {
        int to_holder[2], from_holder[2];
        EXPECT_EQ(pipe2(to_holder, O_CLOEXEC), 0);  // no child keeps the other ends
        EXPECT_EQ(pipe2(from_holder, O_CLOEXEC), 0);
        std::vector<std::string> argv = config.launcher;
        argv.insert(argv.end(), {config.hold_file, file, access});
        const int pid = start_process(argv, to_holder[0], from_holder[1], -1);
        close(to_holder[0]);
        close(from_holder[1]);
        std::string said;
        char c = 0;
        while (said.find("held") == std::string::npos && read(from_holder[0], &c, 1) == 1) {
            said += c;
        }
        EXPECT_NE(said.find("held"), std::string::npos) << said;
        const process_result result = run(args);
        close(to_holder[1]);  // the holder closes the file at the end of its input
        close(from_holder[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        return result;
    };
    const process_result writer = while_held("write", {file});
    expect_reported(writer, "", "in use by another program", read_file(file), before);
    const process_result dry = while_held("write", {"--dry-run", file});
    expect_clean(dry, progress({{"car.dff", 1}}), read_file(file), before);
    const process_result reader = while_held("read", {file});
    expect_clean(reader, progress({{"car.dff", 1}}), read_file(file),
                 whitened(before, {sector + 28}));
}

// --- Paths in any script: Cyrillic, CJK and an emoji outside the BMP ---

TEST_F(end_to_end, unicode_paths_open_and_are_named_in_messages) {
    const std::string folder = path("Документы 模型 \xF0\x9F\x9A\x97");
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    const bytes before = archive({{"car.dff", material(grey)}, {"bus.dff", material(white)}});
    const std::string files[] = {folder + "/модели.img", folder + "/車 \xF0\x9F\x9A\x8C.img",
                                 path("plain.img")};
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        write_file(file, before);
        const process_result result = run({file});
        expect_clean(result, progress({{"car.dff", 1}, {"bus.dff", 0}}), read_file(file),
                     whitened(before, {sector + 28}));
    }
    const std::string missing = folder + "/нет \xF0\x9F\x9A\x97.img";
    const process_result result = run({missing});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("img-whiten: " + missing + ": cannot open for update: ", 0), 0u)
        << result.err;
}

TEST_F(end_to_end, same_output_and_bytes_as_the_reference_build) {
    if (config.reference.empty()) {
        GTEST_SKIP() << "needs --reference, another build of the tool to compare with";
    }
    sample_options options;
    options.target_bytes = 4u << 20;
    options.seed = 11;
    bytes cut = archive(sample_entries(options));
    cut.resize(cut.size() / 2 + 1001);  // damaged: the reports must match too
    const std::string folder = path("Документы 模型 \xF0\x9F\x9A\x97");
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    for (const auto& [name, before] : std::vector<std::pair<std::string, bytes>>{
             {"sample", archive(sample_entries(options))}, {"cut sample", cut}}) {
        SCOPED_TRACE(name);
        const std::string mine = folder + "/модели.img", theirs = path("reference.img");
        write_file(mine, before);
        write_file(theirs, before);
        const process_result tested = run({mine});
        const process_result reference = run_process({config.reference, theirs});
        std::string out = tested.out;
        for (std::size_t at; (at = out.find("\r\n")) != std::string::npos;) {
            out.erase(at, 1);
        }
        EXPECT_EQ(out, reference.out);
        EXPECT_EQ(tested.exit_status, reference.exit_status);
        EXPECT_TRUE(read_file(mine) == read_file(theirs)) << "file bytes differ";
    }
}

// --- Write-back: only the sectors that hold a replaced word reach the file ---

TEST_F(end_to_end, writes_only_the_sectors_that_hold_a_replaced_word) {
    if (!config.launcher.empty()) {
        GTEST_SKIP() << "the write count of a launched program includes the launcher's own";
    }
    // Grey in the last of four sectors, behind 6 KiB of vertex data.
    const bytes late = clump({geometry({material(white)}, 6 << 10), geometry({material(grey)}, 0)});
    // A colour word at entry bytes 2046..2049, across the first sector boundary.
    const bytes straddling = cat({chunk(chunk_type::struct_data, bytes(2006, 0)), material(grey)});
    // Grey in the second sector, which the file's end cuts 100 bytes in.
    const bytes cut = cat({chunk(chunk_type::struct_data, bytes(2024, 0)), material(grey)});
    bytes cut_archive = archive({{"cut.dff", cut}});
    cut_archive.resize(2 * sector + 100);
    const struct {
        const char* name;
        bytes file;
        std::uint64_t written;  // bytes the run may hand to the OS for the archive
        int status;
    } cases[] = {
        {"one sector of four", archive({{"late.dff", late}}), sector, 0},
        {"a word across two sectors", archive({{"across.dff", straddling}}), 2 * sector, 0},
        {"a sector cut by the end of the file", cut_archive, 100, 1},
        {"second run",
         whitened(archive({{"late.dff", late}}), grey_words(archive({{"late.dff", late}}), 0)), 0,
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bytes after;
        const process_result result = patch(c.file, &after);
        EXPECT_EQ(result.exit_status, c.status) << result.err;
        EXPECT_TRUE(after == whitened(c.file, grey_words_between(c.file, 0, c.file.size())))
            << "file bytes differ";
        EXPECT_EQ(bytes_written_to_files(result), c.written);  // the archive is the only file
    }
}

// --- Damaged archives: reported on stderr, exit 1, only read grey words changed ---

TEST_F(end_to_end, archive_that_cannot_be_opened) {
    const process_result missing = run({path("missing.img")});
    EXPECT_EQ(missing.exit_status, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err.rfind("img-whiten: " + path("missing.img") + ": cannot open", 0), 0u)
        << missing.err;

    const process_result directory = run({dir_});
    EXPECT_EQ(directory.exit_status, 1);
    EXPECT_EQ(directory.out, "");
    EXPECT_NE(directory.err.find("cannot open"), std::string::npos) << directory.err;
    EXPECT_FALSE(std::filesystem::exists(path("missing.img")));  // never created
}

TEST_F(end_to_end, archive_without_write_permission) {
    const bytes before = archive({{"car.dff", material(grey)}});
    const std::string file = path("readonly.img");
    write_file(file, before);
    const unwritable_file locked(file);
    if (!locked.holds()) {
        GTEST_SKIP() << "running as root on a file system without the immutable attribute";
    }
    const process_result result = run({file});
    expect_reported(result, "", "cannot open for update: ", read_file(file), before);
}

TEST_F(end_to_end, entry_running_past_the_end_is_patched_as_far_as_read) {
    // Two sectors of grey materials declared, the file cut after the first.
    bytes model = material(grey);
    model.resize(sector, 0);
    append(model, material(grey));
    bytes before = archive({{"cut.dff", model}});
    before.resize(2 * sector);
    bytes after;
    expect_reported(patch(before, &after), progress({{"cut.dff", 1}}),
                    "cut.dff: data runs past the end of the file: read 2048 of 4096 bytes", after,
                    whitened(before, {sector + 28}));
}

TEST_F(end_to_end, entry_starting_past_the_end_is_not_visited) {
    bytes before = archive({{"gone.dff", material(grey)}, {"car.dff", material(grey)}});
    set_le32(before, entry_record_offset(0), 0xFFFFFFFF);  // sector_offset far past the end
    bytes after;
    expect_reported(patch(before, &after), progress({{"gone.dff", 0}, {"car.dff", 1}}),
                    "gone.dff: data starts past the end of the file", after,
                    whitened(before, {2 * sector + 28}));
}

TEST_F(end_to_end, directory_running_past_the_end_visits_whole_records) {
    bytes before =
        archive({{"a.dff", material(grey)}, {"b.dff", material(grey)}, {"c.dff", material(grey)}});
    before.resize(entry_record_offset(2) + 10);  // the third record is cut short
    bytes after;
    const process_result result = patch(before, &after);
    expect_reported(result, progress({{"a.dff", 0}, {"b.dff", 0}}),
                    "directory runs past the end of the file: 2 of 3 entries present", after,
                    before);
    EXPECT_NE(result.err.find("a.dff: data starts past the end of the file"), std::string::npos);
}

TEST_F(end_to_end, entry_overlapping_the_header_or_directory_is_not_written) {
    // Regression: an entry at sector 0 would be walked over the header and directory.
    bytes before = archive({{"head.dff", {}}, {"car.dff", material(grey)}});
    set_le32(before, entry_record_offset(0), 0);                     // head.dff: sector 0,
    set_le32(before, entry_record_offset(0) + 4, 1);                 // one sector long
    std::copy_n(material(grey).begin(), 64, before.begin() + 1024);  // grey bytes inside sector 0
    bytes after;
    expect_reported(patch(before, &after), progress({{"head.dff", 0}, {"car.dff", 1}}),
                    "head.dff: data overlaps the archive header or directory", after,
                    whitened(before, {sector + 28}));
}

TEST_F(end_to_end, refused_write_stops_the_run) {
    // Three models, one per sector; writes past the second sector are refused (EFBIG).
    const bytes before =
        archive({{"a.dff", material(grey)}, {"b.dff", material(grey)}, {"c.dff", material(grey)}});
    const std::string file = path("limited.img");
    write_file(file, before);
    process_limits limits;
    limits.file_size_limit = 2 * sector;
    const process_result result = run({file}, limits);
    expect_reported(result, progress({{"a.dff", 1}, {"b.dff", 1}}),
                    "b.dff: cannot write: ", read_file(file), whitened(before, {sector + 28}));
    EXPECT_NE(result.err.find("later entries not visited"), std::string::npos) << result.err;
}

// --- Fault injection: every cut of an archive, hostile numbers ---

// Whether the run must report damage for `file`: a directory or a model entry cut short.
bool cut_short(const bytes& file) {
    if (file.size() < 8 || std::memcmp(file.data(), "VER2", 4) != 0) {
        return false;
    }
    const std::size_t count = le32_at(file, 4);
    if (count == 0 || count > 0x7FFFFFFF) {
        return false;
    }
    if (8 + 32 * count > file.size()) {
        return true;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = entry_record_offset(i);
        const std::string name(reinterpret_cast<const char*>(&file[at + 8]),
                               strnlen(reinterpret_cast<const char*>(&file[at + 8]), 24));
        const std::size_t end = (le32_at(file, at) + le32_at(file, at + 4)) * sector;
        if (img_whiten::is_model_entry(name.c_str()) && end > file.size()) {
            return true;
        }
    }
    return false;
}

TEST_F(end_to_end, every_truncation_of_a_sample_archive) {
    sample_options options;  // a sample archive in miniature: about 60 sectors
    options.target_bytes = 96u << 10;
    options.seed = 7;
    options.vertex_kib_min = 1;
    options.vertex_kib_max = 4;
    options.other_kib_min = 1;
    options.other_kib_max = 12;
    const std::vector<entry> entries = sample_entries(options);
    const bytes full = archive(entries);
    std::vector<std::size_t> cuts = {1, 4, 7, 9, 12, 8 + 32 + 5, 8 + 32 * entries.size() - 1};
    for (std::size_t cut = 0; cut <= full.size(); cut += sector) {
        cuts.push_back(cut);
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        cuts.push_back(le32_at(full, entry_record_offset(i)) * sector + 1001);  // inside each entry
    }
    std::size_t reported = 0;
    for (std::size_t cut : cuts) {
        SCOPED_TRACE("cut at byte " + std::to_string(cut));
        const bytes before(full.begin(), full.begin() + static_cast<long>(cut));
        bytes after;
        const process_result result = patch(before, &after);
        ASSERT_EQ(result.signal, 0);
        ASSERT_EQ(after.size(), before.size());
        std::size_t whitened = 0;
        ASSERT_TRUE(img_whiten::invariants::changed_only_grey_words(before.data(), after.data(),
                                                                    before.size(), &whitened));
        ASSERT_EQ(result.exit_status, cut_short(before) ? 1 : 0) << result.err;
        ASSERT_EQ(result.err.empty(), result.exit_status == 0)
            << "stdout: " << result.out << "\nstderr: " << result.err;
        reported += result.exit_status == 1;
    }
    std::printf("  %zu cuts of a %zu-byte archive, %zu reported as damaged\n", cuts.size(),
                full.size(), reported);
}

TEST_F(end_to_end, hostile_numbers_cost_no_memory_or_time) {
    const bytes sound = archive({{"car.dff", material(white)}, {"b.dff", material(white)}});
    // Peak memory of a run over a tiny sound archive: what the process costs anyway.
    const long baseline_kib = patch(sound).peak_rss_kib;

    bytes count_max = sound;
    set_le32(count_max, 4, 0x7FFFFFFF);
    bytes sector_count_max = sound;
    set_le32(sector_count_max, entry_record_offset(0) + 4, 0xFFFFFFFF);
    bytes sector_offset_max = sound;
    set_le32(sector_offset_max, entry_record_offset(0), 0xFFFFFFFF);
    bytes size_max = archive(
        {{"car.dff", cat({chunk_header(chunk_type::struct_data, 0xFFFFFFFF), material(grey)})}});
    bytes size_wrap = archive(
        {{"car.dff", cat({chunk_header(chunk_type::struct_data, 0xFFFFFFF4), material(grey)})}});
    const struct {
        const char* name;
        const bytes& file;
        int status;
    } cases[] = {
        {"entry_count 2^31-1", count_max, 1},
        {"sector_count 0xFFFFFFFF", sector_count_max, 1},
        {"sector_offset 0xFFFFFFFF", sector_offset_max, 1},
        {"chunk size 0xFFFFFFFF", size_max, 0},
        {"chunk size 0xFFFFFFF4", size_wrap, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bytes after;
        const process_result result = patch(c.file, &after);
        std::printf("  %-26s %.3f s, peak %ld KiB (a tiny sound archive: %ld KiB)\n", c.name,
                    result.seconds, result.peak_rss_kib, baseline_kib);
        EXPECT_EQ(result.signal, 0) << "killed: spinning or crashed";
        EXPECT_EQ(result.exit_status, c.status) << result.err;
        EXPECT_LE(result.peak_rss_kib, baseline_kib + 4096);
        EXPECT_TRUE(after == c.file);
    }
}

// --- Archives past 2 GiB and 4 GiB, as sparse files ---

TEST_F(end_to_end, models_past_2_gib_and_4_gib) {
    const std::uint64_t offsets[] = {std::uint64_t{1} << 31, (std::uint64_t{1} << 32) + 2 * sector,
                                     (std::uint64_t{9} << 29)};  // 2 GiB, 4 GiB + 4 KiB, 4.5 GiB
    bytes head = archive({{"low.dff", {}}, {"high.dff", {}}, {"top.dff", {}}});
    for (std::size_t i = 0; i < 3; ++i) {
        set_le32(head, entry_record_offset(i), static_cast<std::uint32_t>(offsets[i] / sector));
        set_le32(head, entry_record_offset(i) + 4, 1);
    }
    const std::string file = path("sparse.img");
    const std::uint64_t length = offsets[2] + sector;
    {
        std::FILE* out = std::fopen(file.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        ASSERT_EQ(std::fwrite(head.data(), 1, head.size(), out), head.size());
        ASSERT_EQ(std::fclose(out), 0);
    }
    const bytes model = material(grey);
    int fd = open(file.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    for (std::uint64_t offset : offsets) {
        ASSERT_EQ(pwrite(fd, model.data(), model.size(), static_cast<off_t>(offset)),
                  static_cast<ssize_t>(model.size()));
    }
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(length)), 0);
    close(fd);
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    if (static_cast<std::uint64_t>(info.st_blocks) * 512 > (64u << 20)) {
        GTEST_SKIP() << "this file system does not keep the 4.5 GiB test archive sparse";
    }

    const process_result result = run({file});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, progress({{"low.dff", 1}, {"high.dff", 1}, {"top.dff", 1}}));
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(info.st_size), length);
    fd = open(file.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    for (std::uint64_t offset : offsets) {
        bytes data(model.size());
        ASSERT_EQ(pread(fd, data.data(), data.size(), static_cast<off_t>(offset)),
                  static_cast<ssize_t>(data.size()));
        EXPECT_EQ(data, whitened(model, {28})) << "at byte " << offset;
    }
    bytes first(head.size());
    ASSERT_EQ(pread(fd, first.data(), first.size(), 0), static_cast<ssize_t>(first.size()));
    EXPECT_EQ(first, head);
    close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--exe" && i + 1 < argc) {
            config.exe = argv[++i];
        } else if (arg == "--launcher" && i + 1 < argc) {
            config.launcher.push_back(argv[++i]);
        } else if (arg == "--crlf") {
            config.crlf = true;
        } else if (arg == "--reference" && i + 1 < argc) {
            config.reference = argv[++i];
        } else if (arg == "--hold-file" && i + 1 < argc) {
            config.hold_file = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: end_to_end_tests --exe PATH [--launcher PROGRAM]... [--crlf] "
                         "[--reference PATH] [--hold-file PATH]\n");
            return 2;
        }
    }
    if (config.exe.empty()) {
        std::fprintf(stderr, "end_to_end_tests: --exe is required\n");
        return 2;
    }
    // Some tests run the tool from another working directory.
    config.exe = std::filesystem::absolute(config.exe).string();
    return RUN_ALL_TESTS();
}
