// End to end: --undo-log and --undo. A journaled run undone gives back every
// file byte for byte, run after run; files changed since are left alone; a
// cut or damaged journal puts back exactly what its sound records hold.
#include "support.h"

#include "json_oracle.h"

#include <sys/file.h>

#include <algorithm>
#include <map>

namespace {

using namespace e2e;
using img_whiten::invariants::printed_name;

// Files below a root, by relative path, with their bytes.
using tree = std::map<std::string, bytes>;

tree sample_tree() {
    sample_options options;
    options.target_bytes = 1u << 20;
    options.seed = 5;
    return {
        {"main.img", archive(sample_entries(options))},
        {"mods/a.img",
         archive({{"car.dff", clump({geometry({material(grey), material(grey)}, 3000)}, "odd")},
                  {"bus.dff", material(white)}})},
        {"mods/cars/clean.dff", material(white)},
        {"mods/cars/taxi.dff", clump({geometry({material(grey)}, 5000)}, "taxi")},
        {"mods/peds/\xD0\x9C.dff", material(grey)},  // М.dff
    };
}

void write_tree(const std::string& root, const tree& files) {
    for (const auto& [name, data] : files) {
        std::filesystem::create_directories(std::filesystem::path(root + "/" + name).parent_path());
        write_file(root + "/" + name, data);
    }
}

tree read_tree(const std::string& root, const tree& like) {
    tree now;
    for (const auto& file : like) {
        now[file.first] = read_file(root + "/" + file.first);
    }
    return now;
}

// Colour words that differ between two versions of a file: 3 changed bytes each.
std::size_t words_changed(const bytes& a, const bytes& b) {
    std::size_t differing = 0;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        differing += a[i] != b[i];
    }
    return differing / 3;
}

// Bytes of the 2048-byte sectors in which `a` and `b` differ.
std::uint64_t changed_sector_bytes(const bytes& a, const bytes& b) {
    std::uint64_t total = 0;
    for (std::size_t at = 0; at < a.size(); at += sector) {
        const std::size_t end = std::min(at + sector, a.size());
        total += std::equal(a.begin() + static_cast<long>(at), a.begin() + static_cast<long>(end),
                            b.begin() + static_cast<long>(at))
                     ? 0
                     : end - at;
    }
    return total;
}

// Offsets of the colour words a run turned from grey to white.
std::vector<std::size_t> whitened_words(const bytes& before, const bytes& after) {
    std::vector<std::size_t> words;
    for (std::size_t at : grey_words_between(before, 0, before.size())) {
        if (le32_at(after, at) == 0xFFFFFFFF) {
            words.push_back(at);
        }
    }
    return words;
}

std::string restoring(const std::string& path, std::size_t count) {
    return "Restoring " + path + " restored " + std::to_string(count) + " materials\n";
}

// An undo run with --json, its stdout read back as the text run's: a line
// per restore object and the summary line from the summary object, which
// comes last; each error object is the message at its place on stderr.
process_result as_text(process_result run) {
    std::string text, messages;
    const std::vector<json_object> objects = parse_json_lines(run.out);
    for (std::size_t i = 0; i < objects.size(); ++i) {
        const json_object& object = objects[i];
        const std::string type = object.at("type").text;
        if (type == "restore") {
            text += restoring(printed_name(json_name(object, "file")),
                              static_cast<std::size_t>(object.at("restored").number_value));
        } else if (type == "error") {
            EXPECT_EQ(object.at("entry").kind, json_value::null);
            messages += "img-whiten: " + printed_name(json_name(object, "file")) + ": " +
                        object.at("message").text + "\n";
        } else {
            EXPECT_EQ(type, "summary");
            EXPECT_EQ(i + 1, objects.size()) << "the summary is not last";
            EXPECT_EQ(object.at("format_version").number_value, 1);
            const bool dry = object.at("dry_run").boolean_value;
            const long long files = object.at("files").number_value,
                            restored = object.at("restored").number_value;
            text += (dry ? "Checked " : "Restored ") + std::to_string(files) +
                    (files == 1 ? " file: " : " files: ") + std::to_string(restored) +
                    (restored == 1 ? " material " : " materials ") +
                    (dry ? "would be put back (dry run: nothing was written)" : "put back");
            if (run.exit_status != 0) {
                text += ", " + std::to_string(object.at("failed").number_value) + " failed";
            }
            text += "\n";
        }
    }
    EXPECT_FALSE(objects.empty()) << "no summary";
    EXPECT_EQ(run.err.find(lines(messages)), 0u) << run.err;
    // What it wrote to its files stays what bytes_written_to_files() says.
    run.written_bytes -= run.out.size();
    run.out = lines(text);
    run.written_bytes += run.out.size();
    return run;
}

// One record of a journal, read here on its own terms.
struct record_read {
    std::size_t begin, end;
    std::string path;
    std::vector<std::uint64_t> positions;
};

std::vector<record_read> records_of(const bytes& journal) {
    std::vector<record_read> records;
    for (std::size_t at = 0; at + 56 <= journal.size();) {
        const std::size_t length = le32_at(journal, at + 12);
        record_read record{at, at + length, {}, {}};
        const std::size_t path_length = le32_at(journal, at + 40);
        const std::size_t folder_length = le32_at(journal, at + 48);
        record.path.assign(journal.begin() + static_cast<long>(at + 56),
                           journal.begin() + static_cast<long>(at + 56 + path_length));
        for (std::size_t p = at + 56 + path_length + folder_length; p + 4 < at + length; p += 8) {
            record.positions.push_back(le32_at(journal, p) | std::uint64_t{le32_at(journal, p + 4)}
                                                                 << 32);
        }
        records.push_back(record);
        at += length;
    }
    return records;
}

class undo : public end_to_end {};

TEST_F(undo, a_journaled_run_over_a_tree_is_undone_byte_for_byte) {
    const std::string root = path("tree");
    tree before = sample_tree();
    if (config.launcher.empty()) {
        before["mods/peds/bad\xFF.dff"] = material(grey);  // a path that is not UTF-8
    }
    for (const char* jobs : {"1", "3"}) {
        SCOPED_TRACE(std::string("--jobs ") + jobs);
        // The undo's own lines as JSON Lines, read back: every count as the text run's.
        const bool json = std::string(jobs) == "3";
        auto undo_run = [&](std::vector<std::string> args) {
            if (json) {
                args.push_back("--json");
            }
            return json ? as_text(run(args)) : run(args);
        };
        write_tree(root, before);
        // Inside the walked folder and named like a model: passed over by its identity,
        // and said. New for one job, an empty file for the other: both begin a journal.
        const std::string journal = root + "/mods/journal.dff";
        std::filesystem::remove(journal);
        if (std::string(jobs) == "3") {
            write_file(journal, {});
        }
        const process_result patching = run({"--undo-log", journal, "--jobs", jobs, root});
        EXPECT_EQ(patching.exit_status, 0) << patching.err;
        EXPECT_EQ(patching.out.find("journal.dff"), std::string::npos) << patching.out;
        EXPECT_EQ(patching.err, lines("img-whiten: " + in_tree(root, "mods/journal.dff") +
                                      ": the undo journal of this run: passed over\n"));
        EXPECT_NE(patching.out.find("Visited " + std::to_string(before.size()) + " files: "),
                  std::string::npos)
            << patching.out;
        const tree patched = read_tree(root, before);
        EXPECT_NE(patched, before);
        const std::string files_changed =
            std::to_string(std::count_if(before.begin(), before.end(), [&](const auto& file) {
                return file.second != patched.at(file.first);
            }));

        // Regression: words whose write failed were counted as put back.
        if (config.launcher.empty() && std::system("command -v strace >/dev/null") == 0) {
            // Leak checking stops under a tracer; everything else the sanitizers check stays on.
            const char* asan = std::getenv("ASAN_OPTIONS");
            std::vector<std::string> argv{
                "env",
                std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") + ":detect_leaks=0",
                "strace",
                "-f",
                "-qq",
                "-o",
                "/dev/null",
                "-e",
                "trace=pwrite64",
                "-e",
                "inject=pwrite64:error=ENOSPC"};
            for (const std::string& arg :
                 command(json ? std::vector<std::string>{"--undo", journal, "--json"}
                              : std::vector<std::string>{"--undo", journal})) {
                argv.push_back(arg);
            }
            const process_result failed = json ? as_text(run_process(argv)) : run_process(argv);
            EXPECT_EQ(failed.exit_status, 1);
            EXPECT_NE(failed.err.find(": cannot write: No space left on device\n"),
                      std::string::npos)
                << failed.err;
            EXPECT_NE(
                failed.out.find("Restored " + files_changed + " files: 0 materials put back, " +
                                files_changed + " failed\n"),
                std::string::npos)
                << failed.out;
            EXPECT_TRUE(read_tree(root, before) == patched);
        }

        const process_result dry = run({"--undo", journal, "--dry-run"});
        EXPECT_EQ(as_text(run({"--undo", journal, "--dry-run", "--json"})).out, dry.out);
        EXPECT_EQ(as_text(run({"--undo", journal, "-nq", "--json"})).out,
                  dry.out.substr(dry.out.rfind("Checked ")));
        EXPECT_EQ(read_tree(root, before), patched) << "a dry run wrote";
        const process_result undone = undo_run({"--undo", journal});
        EXPECT_EQ(undone.exit_status, 0) << undone.err;
        EXPECT_EQ(undone.err, "");
        EXPECT_TRUE(read_tree(root, before) == before) << "not given back byte for byte";

        // A line per file that was written, newest record first; in walk order with one job.
        std::string lines_out;
        std::size_t total = 0;
        std::uint64_t sector_bytes = 0;
        for (auto file = before.rbegin(); file != before.rend(); ++file) {
            const std::size_t count = words_changed(file->second, patched.at(file->first));
            total += count;
            sector_bytes += changed_sector_bytes(file->second, patched.at(file->first));
            if (count > 0) {
                lines_out += restoring(in_tree(root, file->first), count);
            }
        }
        if (std::string(jobs) == "1") {
            EXPECT_EQ(undone.out, lines(lines_out + "Restored " + files_changed + " files: " +
                                        std::to_string(total) + " materials put back\n"));
        }
        EXPECT_EQ(dry.out.substr(0, dry.out.rfind("Checked ")),
                  undone.out.substr(0, undone.out.rfind("Restored ")));
        EXPECT_NE(undone.out.find(lines("Restored " + files_changed + " files: " +
                                        std::to_string(total) + " materials put back\n")),
                  std::string::npos)
            << undone.out;
        EXPECT_NE(
            dry.out.find(lines("Checked " + files_changed + " files: " + std::to_string(total) +
                               " materials would be put back (dry run: nothing was "
                               "written)\n")),
            std::string::npos)
            << dry.out;
        // Exactly the sectors that hold a word put back (Wine writes files of its own).
        if (config.launcher.empty()) {
            EXPECT_EQ(bytes_written_to_files(undone), sector_bytes);
        }

        // Undone again: nothing is white any more, nothing is written.
        const process_result again = undo_run({"--undo", journal});
        EXPECT_EQ(again.exit_status, 0) << again.err;
        EXPECT_TRUE(bytes_written_to_files(again) == 0 || !config.launcher.empty());
        EXPECT_TRUE(read_tree(root, before) == before);
    }
}

TEST_F(undo, two_runs_are_undone_in_turn_or_from_one_journal) {
    const std::string root = path("tree");
    const tree before = sample_tree();
    const std::string a = root + "/mods/a.img";
    // A mod update puts back one grey word between the runs.
    auto regrey = [&] {
        bytes file = read_file(a);
        const std::vector<std::size_t> words = whitened_words(before.at("mods/a.img"), file);
        ASSERT_FALSE(words.empty());
        set_le32(file, words[0], 0xFF959595);
        write_file(a, file);
    };
    for (bool one_journal : {false, true}) {
        SCOPED_TRACE(one_journal ? "one journal" : "a journal each");
        write_tree(root, before);
        const std::string first = path("first.log"),
                          second = one_journal ? first : path("second.log");
        std::filesystem::remove(first);
        std::filesystem::remove(second);
        EXPECT_EQ(run({"--undo-log", first, a, root + "/mods/cars"}).exit_status, 0);
        regrey();
        const tree between = read_tree(root, before);
        EXPECT_EQ(run({"--undo-log", second, root}).exit_status, 0);
        if (!one_journal) {
            EXPECT_EQ(run({"--undo", second}).exit_status, 0);
            EXPECT_TRUE(read_tree(root, before) == between) << "the second run not undone";
        }
        const process_result undone = run({"--undo", first});
        EXPECT_EQ(undone.exit_status, 0) << undone.err;
        EXPECT_TRUE(read_tree(root, before) == before) << "not given back byte for byte";
        // One line per file, however many records it has, named as its newest record names it.
        const std::string line_for_a =
            "Restoring " + (one_journal ? in_tree(root, "mods/a.img") : a) + " restored ";
        const std::size_t first_line = undone.out.find(line_for_a);
        EXPECT_NE(first_line, std::string::npos) << undone.out;
        EXPECT_EQ(undone.out.find(line_for_a, first_line + 1), std::string::npos) << undone.out;
    }
}

TEST_F(undo, files_changed_since_the_run_are_left_alone_and_the_others_restored) {
    const std::string root = path("tree");
    tree before = sample_tree();
    // Removed below; its name is not UTF-8 where the file system allows it.
    const std::string van = config.launcher.empty() ? "mods/cars/van\xFF.dff" : "mods/cars/van.dff";
    before[van] = material(grey);
    write_tree(root, before);
    const std::string journal = path("whiten.log");
    ASSERT_EQ(run({"--undo-log", journal, root}).exit_status, 0);
    const tree patched = read_tree(root, before);
    // Regression (undo wrote into a file the run never touched): replaced by
    // a file of the same length (on ext4 often under the same inode number)
    // that holds other bytes. Made longer. Removed.
    const std::string taxi = root + "/mods/cars/taxi.dff", peds = root + "/mods/peds/\xD0\x9C.dff";
    const bytes other(patched.at("mods/cars/taxi.dff").size(), 0x5A);
    std::filesystem::remove(taxi);
    write_file(taxi, other);
    bytes longer = patched.at("mods/peds/\xD0\x9C.dff");
    longer.push_back(0);
    write_file(peds, longer);
    std::filesystem::remove(root + "/" + van);
    // Regression (undo wrote over another program's write): in a.img, a byte
    // beside a whitened word rewritten.
    const std::string a = root + "/mods/a.img";
    bytes a_now = patched.at("mods/a.img");
    a_now[whitened_words(before.at("mods/a.img"), a_now).back() - 1] ^= 1;
    write_file(a, a_now);
    // In main.img, one whitened word recoloured since, one left part white as a cut write leaves
    // it.
    const std::vector<std::size_t> words =
        whitened_words(before.at("main.img"), patched.at("main.img"));
    ASSERT_GE(words.size(), 2u);
    bytes main = patched.at("main.img");
    set_le32(main, words[0], 0xFF1E140A);  // 10, 20, 30, 255
    set_le32(main, words[1], 0xFF9595FF);  // red white, green and blue grey
    // As the tool names them: found by the walk.
    const std::string taxi_name = in_tree(root, "mods/cars/taxi.dff"),
                      peds_name = in_tree(root, "mods/peds/\xD0\x9C.dff");

    const std::size_t restored = words.size() - 1;
    char recoloured[64];
    std::snprintf(recoloured, sizeof recoloured, "the colour word at byte %zu is now", words[0]);
    const std::string other_bytes =
        ": not the file the journal recorded (its bytes around the recorded words are not what "
        "the run left there): left alone\n";
    // Each refusal an error object too: the text run's lines and messages, read back.
    for (const bool json : {false, true}) {
        SCOPED_TRACE(json ? "--json" : "text");
        write_file(root + "/main.img", main);
        const process_result undone =
            json ? as_text(run({"--undo", journal, "--json"})) : run({"--undo", journal});
        EXPECT_EQ(undone.exit_status, 1);
        for (const std::string& message :
             {"img-whiten: " + peds_name + ": its length is now " + std::to_string(longer.size()) +
                  " bytes, was " + std::to_string(longer.size() - 1) +
                  " when recorded: left alone\n",
              "img-whiten: " + taxi_name + other_bytes,
              "img-whiten: " + in_tree(root, "mods/a.img") + other_bytes,
              "img-whiten: " + printed_name(in_tree(root, van)) +
                  ": cannot open for update: No such file or directory\n",
              // Regression: a word recoloured since was passed over in silence, with exit 0.
              "img-whiten: " + in_tree(root, "main.img") + ": " + recoloured +
                  " 0A 14 1E FF, neither white nor grey: changed since the run, left alone\n"}) {
            EXPECT_NE(undone.err.find(lines(message)), std::string::npos) << undone.err;
        }
        EXPECT_EQ(undone.out, lines(restoring(in_tree(root, "main.img"), restored) +
                                    "Restored 1 file: " + std::to_string(restored) +
                                    " materials put back, 5 failed\n"));
        EXPECT_TRUE(read_file(root + "/main.img") == [&] {
            bytes expected = before.at("main.img");
            set_le32(expected, words[0], 0xFF1E140A);
            return expected;
        }()) << "a word changed by hand was not left alone, or a word was not put back";
        EXPECT_TRUE(read_file(a) == a_now);
        EXPECT_TRUE(read_file(taxi) == other);
        EXPECT_TRUE(read_file(peds) == longer);
    }
}

// Regression: a path a walk reached past PATH_MAX could be patched but not
// undone ("File name too long"); and of a journal two runs from two folders
// appended to, undone from the first folder, only the newest record's path
// was tried, from the current folder: the file stayed white.
TEST_F(undo, every_path_a_run_reached_is_undone_from_any_folder) {
    const std::string root = path("tree"), journal = path("whiten.log");
    const tree before = sample_tree();
    write_tree(root, before);
    const bytes model = material(grey);
    const bool deep = config.launcher.empty();  // Wine maps paths of its own
    int folder = open(root.c_str(), O_RDONLY | O_DIRECTORY);
    std::string deep_path = root;
    while (deep && deep_path.size() <= PATH_MAX) {
        const std::string name(200, 'd');
        ASSERT_EQ(mkdirat(folder, name.c_str(), 0755), 0) << std::strerror(errno);
        const int next = openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY);
        close(folder);
        folder = next;
        deep_path += "/" + name;
    }
    auto deep_model = [&](const bytes* put) {
        const int fd =
            openat(folder, "m.dff", put != nullptr ? O_WRONLY | O_CREAT : O_RDONLY, 0644);
        bytes data(model.size());
        EXPECT_EQ(put != nullptr ? pwrite(fd, put->data(), put->size(), 0)
                                 : pread(fd, data.data(), data.size(), 0),
                  static_cast<ssize_t>(model.size()));
        close(fd);
        return data;
    };
    if (deep) {
        deep_model(&model);
    }
    const std::filesystem::path started = std::filesystem::current_path();
    std::filesystem::current_path(root + "/mods");
    EXPECT_EQ(run({"--undo-log", journal, "a.img"}).exit_status, 0);
    // A mod update puts back one grey word between the runs: the second run records a.img too.
    bytes a = read_file(root + "/mods/a.img");
    set_le32(a, whitened_words(before.at("mods/a.img"), a).at(0), 0xFF959595);
    write_file(root + "/mods/a.img", a);
    std::filesystem::current_path(root);
    EXPECT_EQ(run({"--undo-log", journal, "."}).exit_status, 0);
    EXPECT_TRUE(!deep || deep_model(nullptr) == whitened(model, {28}));
    std::filesystem::current_path(root + "/mods");
    const process_result undone = run({"--undo", journal});
    std::filesystem::current_path(started);
    EXPECT_EQ(undone.exit_status, 0) << undone.err;
    EXPECT_TRUE(read_tree(root, before) == before) << "not given back byte for byte";
    EXPECT_TRUE(!deep || deep_model(nullptr) == model);
    close(folder);
    if (deep) {
        EXPECT_EQ(std::system(("rm -rf '" + root + "'").c_str()), 0);  // past PATH_MAX
    }
}

// A small journal, cut at every byte and with every byte flipped in turn: the
// sound records are put back, and nothing outside their words is written.
TEST_F(undo, cut_and_damaged_journals_put_back_exactly_their_sound_records) {
    const tree before = {
        {"a.img", archive({{"car.dff", material(grey)},
                           {"bus.dff", clump({geometry({material(grey), material(grey)}, 64)})}})},
        {"m.dff", material(grey)},
    };
    const std::string root = path("small"), journal = path("whiten.log");
    write_tree(root, before);
    ASSERT_EQ(run({"--undo-log", journal, "--jobs", "1", root}).exit_status, 0);
    const tree patched = read_tree(root, before);
    const bytes whole = read_file(journal);
    const std::vector<record_read> records = records_of(whole);
    ASSERT_EQ(records.size(), 3u);  // two entries, one loose model
    ASSERT_EQ(records.back().end, whole.size());

    // What the files must hold once the records for which `sound` says so are put back.
    auto expected = [&](auto sound) {
        tree files = patched;
        for (const record_read& record : records) {
            if (sound(record)) {
                std::string name = record.path.substr(root.size() + 1);
                std::replace(name.begin(), name.end(), '\\', '/');
                bytes& file = files.at(name);
                for (std::uint64_t position : record.positions) {
                    std::fill_n(file.begin() + static_cast<long>(position), 3, 149);
                }
            }
        }
        return files;
    };
    const std::string damaged = path("damaged.log");
    for (std::size_t k = 0; k < 2 * whole.size(); ++k) {
        const bool cutting = k < whole.size();
        const std::size_t at = cutting ? k : k - whole.size();
        SCOPED_TRACE((cutting ? "cut at byte " : "flipped byte ") + std::to_string(at));
        bytes journal_bytes = whole;
        if (cutting) {
            journal_bytes.resize(at);
        } else {
            journal_bytes[at] ^= 0x40;
        }
        write_file(damaged, journal_bytes);
        write_tree(root, patched);
        const process_result undone = run({"--undo", damaged});
        const bool at_boundary =
            cutting && std::any_of(records.begin(), records.end(),
                                   [&](const record_read& r) { return r.begin == at; });
        EXPECT_EQ(undone.exit_status, at_boundary ? 0 : 1) << undone.err;
        if (!at_boundary) {
            EXPECT_NE(undone.err.find(": bytes "), std::string::npos) << undone.err;
        }
        EXPECT_TRUE(read_tree(root, before) == expected([&](const record_read& r) {
                        return cutting ? r.end <= at : !(r.begin <= at && at < r.end);
                    }))
            << "not exactly the sound records were put back";
    }

    // The same records as 1.3.0 wrote them (version 1) still undo, under
    // 1.3.0's rule: the file recorded is the one of that device and inode.
    if (config.launcher.empty()) {
        bytes old_journal;
        for (const record_read& record : records) {
            struct stat info {};
            ASSERT_EQ(stat(record.path.c_str(), &info), 0);
            const bool stranger = record.begin == records.back().begin;
            append(old_journal,
                   journal_record({record.path, info.st_dev, info.st_ino + (stranger ? 1 : 0),
                                   static_cast<std::uint64_t>(info.st_size), record.positions, 1}));
        }
        write_file(damaged, old_journal);
        write_tree(root, patched);
        const process_result undone = run({"--undo", damaged});
        EXPECT_EQ(undone.exit_status, 1);
        EXPECT_NE(undone.err.find(": not the file the journal recorded (another file has this name "
                                  "now): left alone\n"),
                  std::string::npos)
            << undone.err;
        EXPECT_TRUE(read_tree(root, before) == expected([&](const record_read& r) {
                        return r.begin != records.back().begin;
                    }));
    }

    // Regression: an append the disk could not take whole (full, or past a
    // file-size limit) left its record cut short at the journal's end, and
    // every undo after reported it and exited 1.
    if (config.launcher.empty()) {
        write_tree(root, before);
        const std::string full = path("full.log");
        process_limits limits;
        limits.file_size_limit = 100;  // the loose model fits below it, its record does not
        EXPECT_EQ(run({"--undo-log", full, root + "/m.dff"}, limits).exit_status, 1);
        EXPECT_EQ(read_file(full).size(), 0u) << "the record cut short was left";
        const process_result undone = run({"--undo", full});
        EXPECT_EQ(undone.exit_status, 0) << undone.err;
    }
}

}  // namespace
