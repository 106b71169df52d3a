// End to end on several paths, loose models and folders: what is visited, in
// which order, with which lines; every file's bytes are those that patching it
// alone gives; links, FIFOs and unreadable folders are handled as promised.
#include "support.h"

#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "reference_run.h"

namespace {

using namespace e2e;
namespace reference = img_whiten::reference;

// One file of a test tree, and what a run must leave in it.
struct tree_file {
    std::string path;  // below the tree's root
    bytes before;
    enum { archive_file, loose_model, left_alone } role;
};

// The tree, under `root`: archives, loose models (one a hard link of another,
// one that is really an archive), files that are neither, nested and
// Unicode-named folders and, on Unix, a link loop, a link out of the tree, a
// FIFO named like a model and an unreadable folder.
std::vector<tree_file> make_tree(const std::string& root, bool unix_entries) {
    const bytes grey_model = material(grey);
    const std::vector<tree_file> files = {
        {"a.img", archive({{"car.dff", grey_model}, {"x.txd", grey_model}}),
         tree_file::archive_file},
        {"b.IMG", archive({{"BUS.DFF", clump({geometry({material(grey), material(grey)}, 64)})}}),
         tree_file::archive_file},
        {"loose/CLEAN.DFF", clump({geometry({material(white)}, 64)}, "body"),
         tree_file::loose_model},
        {"loose/car.dff", clump({geometry({material(grey)}, 100)}, "car_body"),
         tree_file::loose_model},
        {"loose/notes.txt", grey_model, tree_file::left_alone},
        {"loose/ver2.dff", archive({{"inner.dff", grey_model}}), tree_file::archive_file},
        {"nested/deeper/m.Dff", grey_model, tree_file::loose_model},
        {"notarchive.img", bytes{'N', 'O', 'P', 'E', 1, 0, 0, 0}, tree_file::left_alone},
        // Regression: an archive without entries had a heading and was counted.
        {"empty.img", archive({}), tree_file::left_alone},
        {"\xD0\x94\xD0\xBE\xD0\xBA/\xD0\xBC\xD0\xBE\xD0\xB4.dff", grey_model,  // Док/мод.dff
         tree_file::loose_model},
    };
    for (const tree_file& file : files) {
        std::filesystem::create_directories(
            std::filesystem::path(root + "/" + file.path).parent_path());
        write_file(root + "/" + file.path, file.before);
    }
    // Read-only and not an archive: never opened for writing, so no error either.
    EXPECT_EQ(chmod((root + "/notarchive.img").c_str(), 0444), 0);
    EXPECT_EQ(link((root + "/loose/car.dff").c_str(), (root + "/loose/car-link.dff").c_str()), 0);
    if (unix_entries) {
        std::filesystem::create_directory_symlink(root, root + "/link-loop");
        write_file(root + "/../outside.dff", grey_model);
        std::filesystem::create_symlink(root + "/../outside.dff", root + "/link-out.dff");
        EXPECT_EQ(mkfifo((root + "/pipe.dff").c_str(), 0644), 0);
        std::filesystem::create_directory(root + "/unreadable");
        write_file(root + "/unreadable/x.dff", grey_model);
        EXPECT_EQ(chmod((root + "/unreadable").c_str(), 0), 0);
    }
    return files;
}

// What patching the file alone makes of it.
bytes patched_alone(const tree_file& file) {
    bytes after = file.before;
    if (file.role == tree_file::archive_file) {
        reference::patch_archive(after);
    } else if (file.role == tree_file::loose_model) {
        reference::walk(after.data(), after.size());
    }
    return after;
}

// Lines a run prints: the heading of an archive's entries, and a model's line.
std::string heading(const std::string& file) {
    return "==> " + file + " <==\n";
}
std::string line(const std::string& name, int count) {
    return "Patching " + name + " patched " + std::to_string(count) + " materials\n";
}

// Names of the files in the folder `watch` watches that were closed after
// being open for writing.
std::string closed_after_writing(int watch) {
    std::string names;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t got; (got = read(watch, buffer, sizeof buffer)) > 0;) {
        for (const char* at = buffer; at < buffer + got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            names += event->len > 0 ? std::string(event->name) + "\n" : "";
            at += sizeof(inotify_event) + event->len;
        }
    }
    return names;
}

class paths : public end_to_end {
protected:
    void TearDown() override {
        chmod(path("tree/unreadable").c_str(), 0755);  // so that it can be removed
        end_to_end::TearDown();
    }
};

TEST_F(paths, a_folder_is_searched_in_name_order_and_every_file_patched_as_if_alone) {
    // Links, FIFOs and permissions only as Unix has them (Wine runs as us, maybe root).
    const bool unix_entries = config.launcher.empty();
    const std::string root = path("tree");
    const std::vector<tree_file> files = make_tree(root, unix_entries);
    const process_limits limits = permissions_apply();
    const std::string out =
        lines(heading(in_tree(root, "a.img")) + line("car.dff", 1) +  //
              heading(in_tree(root, "b.IMG")) + line("BUS.DFF", 2) +  //
              line(in_tree(root, "loose/CLEAN.DFF"), 0) +             //
              line(in_tree(root, "loose/car-link.dff"), 1) +  // car.dff, the same file, is not
              heading(in_tree(root, "loose/ver2.dff")) + line("inner.dff", 1) +
              line(in_tree(root, "nested/deeper/m.Dff"), 1) +
              line(in_tree(root, "\xD0\x94\xD0\xBE\xD0\xBA/\xD0\xBC\xD0\xBE\xD0\xB4.dff"), 1));

    // The unreadable folder is a failure, which the summary counts.
    const std::string failed = unix_entries ? ", 1 failed" : "";
    const process_result dry = run({"--dry-run", root}, limits);
    EXPECT_EQ(dry.out, out + lines("Visited 7 files: 6 models would change, 7 materials would "
                                   "be whitened (dry run: nothing was written)" +
                                   failed + "\n"));
    for (const tree_file& file : files) {
        EXPECT_TRUE(read_file(root + "/" + file.path) == file.before) << file.path;
    }

    // Regression: files were opened for writing before their first bytes said they were archives.
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    EXPECT_GE(inotify_add_watch(watch, root.c_str(), IN_CLOSE_WRITE), 0);
    const process_result result = run({root}, limits);
    EXPECT_EQ(result.signal, 0) << "hung or crashed";
    const std::string written = closed_after_writing(watch);
    close(watch);
    EXPECT_EQ(written.find("notarchive.img"), std::string::npos) << written;
    EXPECT_EQ(written.find("empty.img"), std::string::npos) << written;
    EXPECT_NE(written.find("a.img"), std::string::npos) << written;
    EXPECT_EQ(result.out, out + lines("Visited 7 files: 6 models changed, 7 materials whitened" +
                                      failed + "\n"));
    for (const tree_file& file : files) {
        EXPECT_TRUE(read_file(root + "/" + file.path) == patched_alone(file)) << file.path;
    }
    if (unix_entries) {
        // The unreadable folder is reported, and listed again after the summary.
        const std::string unreadable = "img-whiten: " + in_tree(root, "unreadable") +
                                       ": cannot read the folder: Permission denied\n" +
                                       "img-whiten: failed: " + in_tree(root, "unreadable") + "\n";
        EXPECT_EQ(result.err, unreadable);
        EXPECT_EQ(dry.err, unreadable);
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_TRUE(read_file(path("outside.dff")) == material(grey)) << "a link was followed";
    } else {
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.exit_status, 0);
    }
}

TEST_F(paths, each_file_is_patched_once_whatever_paths_reach_it) {
    const std::string root = path("tree");
    const std::vector<tree_file> files = make_tree(root, false);
    const std::string car = root + "/loose/car.dff";
    // Named, then inside a named folder, then named again; and its hard link in that folder.
    // Regression: a missing path named twice, another failure between, was counted and listed
    // twice.
    const process_result result =
        run({path("missing.dff"), car, root + "/loose", path("gone.dff"), car, root + "/a.img",
             root + "/loose/car-link.dff", path("missing.dff")});
    EXPECT_EQ(result.out,
              lines(line(car, 1) + line(in_tree(root + "/loose", "CLEAN.DFF"), 0) +
                    heading(in_tree(root + "/loose", "ver2.dff")) + line("inner.dff", 1) +
                    heading(root + "/a.img") + line("car.dff", 1) +
                    "Visited 4 files: 3 models changed, 3 materials whitened, 2 failed\n"));
    const auto missing = [&](const char* name) {
        return "img-whiten: " + path(name) +
               ": cannot open for update: No such file or directory\n";
    };
    EXPECT_EQ(result.err,
              lines(missing("missing.dff") + missing("gone.dff") + missing("missing.dff") +
                    "img-whiten: failed: " + path("missing.dff") +
                    "\nimg-whiten: failed: " + path("gone.dff") + "\n"));
    EXPECT_EQ(result.exit_status, 1);
    for (const tree_file& file : files) {
        const bool reached = file.path.rfind("loose/", 0) == 0 || file.path == "a.img";
        EXPECT_TRUE(read_file(root + "/" + file.path) ==
                    (reached ? patched_alone(file) : file.before))
            << file.path;
    }
}

// How the form of the output follows the paths named: two files are several
// (a heading each, a summary), one folder with one file is counted in the
// singular, a named link is followed, and a folder named twice is walked once.
TEST_F(paths, the_output_follows_what_the_named_paths_are) {
    const bool unix_entries = config.launcher.empty();
    const std::string root = path("tree");
    make_tree(root, unix_entries);
    std::filesystem::create_directories(path("one"));
    write_file(path("one/only.img"), archive({{"car.dff", material(grey)}}));
    const process_limits limits = permissions_apply();
    const std::string a = in_tree(root, "a.img"), b = in_tree(root, "b.IMG");
    process_result result = run({"-n", a, b}, limits);
    EXPECT_EQ(result.out, lines(heading(a) + line("car.dff", 1) + heading(b) + line("BUS.DFF", 2) +
                                "Visited 2 files: 2 models would change, 3 materials would be "
                                "whitened (dry run: nothing was written)\n"));
    result = run({path("one")}, limits);
    EXPECT_EQ(result.out, lines(heading(in_tree(path("one"), "only.img")) + line("car.dff", 1) +
                                "Visited 1 file: 1 model changed, 1 material whitened\n"));
    if (!unix_entries) {
        // cmd's wildcards, expanded by the Windows build in name order, in paths but never in
        // option values (z.dff here would take the place of --exclude's *.dff).
        const bytes grey_archive = archive({{"car.dff", material(grey)}});
        for (const char* name : {"wild/a.img", "wild/b.img"}) {
            write_file(path(name), grey_archive);
        }
        write_file(path("wild/c.dff"), material(grey));
        write_file(path("z.dff"), material(grey));
        write_file(path("wild/w.log"), {});
        const std::string previous = std::filesystem::current_path().string();
        std::filesystem::current_path(dir_);
        const std::string both = heading("wild\\a.img") + line("car.dff", 1) +
                                 heading("wild\\b.img") + line("car.dff", 1);
        const std::string would =
            "would change, 2 materials would be whitened (dry run: "
            "nothing was written)\n";
        const struct {
            std::vector<std::string> args;
            std::string out, err;
        } wildcards[] = {
            {{"-n", "wild\\*.img"}, both + "Visited 2 files: 2 models " + would, ""},
            {{"-n", "wild\\?.IMG"}, both + "Visited 2 files: 2 models " + would, ""},
            {{"-n", "--exclude", "*.dff", "wi*"}, both + "Visited 2 files: 2 models " + would, ""},
            {{"-n", "--", "wild\\*.img"}, both + "Visited 2 files: 2 models " + would, ""},
            // Regression: a C runtime built to expand arguments did it first, [ab] a class too.
            {{"-n", "wild\\[ab].img"},
             "Visited 0 files: 0 models would change, 0 materials would be whitened (dry run: "
             "nothing was written), 1 failed\n",
             "img-whiten: wild\\[ab].img: cannot open for reading: No such file or directory\n"
             "img-whiten: failed: wild\\[ab].img\n"},
            // Regression: the journal a wildcard matched was refused as if named, and the run
            // patched nothing.
            {{"--undo-log", "wild\\w.log", "wild\\*.log"},
             "",
             "img-whiten: wild\\w.log: the undo journal of this run: passed over\n"},
            // Last: the other paths are patched.
            {{"wild\\*.none", "wild\\a.img"},
             heading("wild\\a.img") + line("car.dff", 1) +
                 "Visited 1 file: 1 model changed, 1 material whitened, 1 failed\n",
             "img-whiten: wild\\*.none: no file or folder matches this pattern\n"
             "img-whiten: failed: wild\\*.none\n"},
        };
        for (const auto& c : wildcards) {
            SCOPED_TRACE(c.args.back());
            result = run(c.args);
            EXPECT_EQ(result.out, lines(c.out));
            EXPECT_EQ(result.err, lines(c.err));
            EXPECT_EQ(result.exit_status, c.err.find("failed: ") == std::string::npos ? 0 : 1);
        }
        std::filesystem::current_path(previous);
        EXPECT_TRUE(read_file(path("wild/a.img")) == whitened(grey_archive, {sector + 28}));
        EXPECT_TRUE(read_file(path("wild/b.img")) == grey_archive);
        return;
    }
    // Named links are followed, to an archive and to a model.
    std::filesystem::create_symlink(a, path("link.img"));
    std::filesystem::create_symlink(root + "/loose/car.dff", path("link.dff"));
    result = run({"-n", path("link.img"), path("link.dff")}, limits);
    EXPECT_EQ(result.out,
              lines(heading(path("link.img")) + line("car.dff", 1) + line(path("link.dff"), 1) +
                    "Visited 2 files: 2 models would change, 2 materials would be "
                    "whitened (dry run: nothing was written)\n"));
    // Named twice: its unreadable folder is met, and reported, once.
    result = run({"-n", root, root}, limits);
    const std::string unreadable = "cannot read the folder: Permission denied";
    EXPECT_NE(result.err.find(unreadable), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find(unreadable), result.err.rfind(unreadable)) << result.err;
}

TEST_F(paths, one_loose_model_by_name_prints_just_its_line) {
    const bytes model = clump({geometry({material(grey), material(white)}, 300)}, "odd");
    const std::string file = path("Car.DFF");
    write_file(file, model);
    const process_result result = run({file});
    bytes expected = model;
    reference::walk(expected.data(), expected.size());
    expect_clean(result, lines("Patching " + file + " patched 1 materials\n"), read_file(file),
                 expected);
    // Any other file given by name is left alone, silently.
    write_file(path("model.txt"), model);
    const process_result other = run({path("model.txt")});
    expect_clean(other, "", read_file(path("model.txt")), model);
}

TEST_F(paths, models_deeper_than_260_characters_are_found_and_patched) {
    // Windows' old limit on a path's length is 260 characters.
    std::string deep = path("long");
    while (deep.size() < 320) {
        deep += "/folder-with-a-rather-long-name";
    }
    std::filesystem::create_directories(deep);
    const bytes model = material(grey);
    write_file(deep + "/m.dff", model);
    const process_result result = run({path("long")});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_TRUE(read_file(deep + "/m.dff") == whitened(model, {28})) << deep;
    // The line names the model by its whole path, as the walk reached it.
    std::string shown = deep.substr(path("long").size()) + "/m.dff";
    if (!config.launcher.empty()) {
        std::replace(shown.begin(), shown.end(), '/', '\\');
    }
    EXPECT_EQ(result.out, lines("Patching " + in_tree(path("long"), shown.substr(1)) +
                                " patched 1 materials\nVisited 1 file: 1 model changed, 1 "
                                "material whitened\n"));
}

// Regression: a folder entry swapped for a link, between the folder's listing
// and its visit, was followed: files outside the folder were patched. So were
// they when the folder itself was renamed and a link put in its place (on
// Windows, whose entries were opened by their paths).
TEST_F(paths, entries_swapped_after_the_listing_never_lead_outside_the_folder) {
    const bool unix_links = config.launcher.empty();  // Wine sees through them: none to swap in
    const std::string root = path("race"), moved = path("moved"), outside = path("outside");
    std::filesystem::create_directories(root + "/zz");
    std::filesystem::create_directories(outside + "/zz");
    const bytes grey_model = material(grey);
    // Twice the lines the tool holds back (64 KiB) before the z entries: it
    // waits on the pipe long before it reaches them.
    const std::size_t models = 2 * 65536 / line(root + "/a0000.dff", 0).size() + 1;
    for (std::size_t i = 0; i < models; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "/a%04zu.dff", i);
        write_file(root + name, {});
    }
    const char* const swapped[] = {"/z.dff", "/zfifo.dff", "/zz/m.dff"};
    for (const char* name : swapped) {
        write_file(root + name, grey_model);
        write_file(outside + name, grey_model);
    }

    paused_run walk(command({root}), 1);
    ASSERT_TRUE(walk.wait_until_blocked());
    std::filesystem::rename(root, moved);
    std::filesystem::create_directory_symlink(outside, root);
    if (unix_links) {
        // Listed as a model, a folder and a model; now links out of the tree and a FIFO.
        std::filesystem::remove(moved + "/z.dff");
        std::filesystem::create_symlink(outside + "/z.dff", moved + "/z.dff");
        std::filesystem::remove_all(moved + "/zz");
        std::filesystem::create_directory_symlink(outside + "/zz", moved + "/zz");
        std::filesystem::remove(moved + "/zfifo.dff");
        ASSERT_EQ(mkfifo((moved + "/zfifo.dff").c_str(), 0644), 0);
    }
    const process_result result = walk.finish();

    EXPECT_EQ(result.signal, 0) << "hung or crashed";
    for (const char* name : swapped) {
        EXPECT_TRUE(read_file(outside + name) == grey_model) << name << ": a link was followed";
    }
    if (unix_links) {
        EXPECT_EQ(result.exit_status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out.find(root + "/z"), std::string::npos) << "a swapped entry was visited";
        EXPECT_NE(result.out.find("\nVisited " + std::to_string(models) + " files: 0 models"),
                  std::string::npos);
    } else {
        // Wine looks a file's name up again to describe or reopen it: the
        // folder's own files may be reported rather than patched, never others.
        EXPECT_EQ(result.exit_status, result.err.empty() ? 0 : 1) << result.err;
    }
}

// Regression: a model was left grey when another name of it, one the run does
// not patch, was met first: a hard link named like an archive, sorted before
// it, or a link to it named before its folder.
TEST_F(paths, a_model_met_first_under_another_name_is_still_patched) {
    const std::string root = path("names");
    std::filesystem::create_directory(root);
    const std::string car = root + "/car.dff";
    write_file(car, material(grey));
    ASSERT_EQ(link(car.c_str(), (root + "/alias.img").c_str()), 0);
    std::filesystem::create_symlink(car, path("car-link"));
    const process_result result = run({path("car-link"), root});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out, lines(line(in_tree(root, "car.dff"), 1) +
                                "Visited 1 file: 1 model changed, 1 material whitened\n"));
    EXPECT_TRUE(read_file(car) == whitened(material(grey), {28}));
}

// The most address space the process `pid` has had, in KiB.
long long peak_address_space_kib(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string key; in >> key;) {
        long long kib = 0;
        if (key == "VmPeak:" && in >> kib) {
            return kib;
        }
    }
    return 0;
}

// Regression: memory running out aborted the run (SIGABRT), as under `ulimit
// -v` over a folder of very many names; now that folder is reported and
// skipped, and later paths are still patched.
TEST_F(paths, a_folder_too_large_for_the_memory_left_is_reported_and_skipped) {
    if (!config.launcher.empty()) {
        GTEST_SKIP() << "the limit would bind the launcher";
    }
    // The address space the tool takes anyway: measured while it waits to
    // report a missing path.
    long long idle_kib = 0;
    {
        paused_run idle(command({path("missing.dff")}), 2);
        ASSERT_TRUE(idle.wait_until_blocked());
        idle_kib = peak_address_space_kib(idle.pid());
        idle.finish();
    }
    ASSERT_GT(idle_kib, 0);
    if (idle_kib > (1 << 20)) {
        GTEST_SKIP() << "the tool reserves " << idle_kib / 1024
                     << " MiB of address space from the start (a sanitizer build)";
    }
    // 20,000 names of 200 bytes (links to one file): a listing of 4 MiB, which
    // cannot grow to that within the 4 MiB left to it.
    const std::string root = path("many");
    std::filesystem::create_directory(root);
    write_file(root + "/file", {});
    for (int i = 0; i < 20000; ++i) {
        const std::string name = root + "/" + std::to_string(100000 + i) + std::string(194, 'x');
        ASSERT_EQ(link((root + "/file").c_str(), name.c_str()), 0) << std::strerror(errno);
    }
    const std::string later = path("later.dff");
    write_file(later, material(grey));
    process_limits limits;
    limits.address_space_limit = static_cast<std::uint64_t>(idle_kib + 4096) << 10;
    const process_result result = run({root, later}, limits);
    EXPECT_EQ(result.signal, 0) << "crashed";
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "img-whiten: " + root + ": cannot read the folder: " +
                              std::strerror(ENOMEM) + "\nimg-whiten: failed: " + root + "\n");
    EXPECT_EQ(result.out,
              line(later, 1) + "Visited 1 file: 1 model changed, 1 material whitened, 1 failed\n");
    EXPECT_TRUE(read_file(later) == whitened(material(grey), {28}));

    // A model whose second window holds a hundred thousand grey words.
    const bytes first = material(grey);
    bytes model = cat({first, chunk(chunk_type::struct_data, bytes(4 << 20, 0))});
    for (std::size_t i = 0; i < (3 << 20) / first.size(); ++i) {
        append(model, first);
    }
    const std::string big = path("big.dff");
    limits.address_space_limit = static_cast<std::uint64_t>(idle_kib + 5632) << 10;
    const std::string not_patched =
        "img-whiten: " + big + ": not patched further: " + std::strerror(ENOMEM) + "\n";
    const struct {
        std::vector<std::string> options;
        std::string out, err;
        bytes after;
    } rows[] = {
        // Regression: a listing that outgrew memory in a model's second window lost
        // the model's line and the count of the words its first window wrote.
        {{"--list"},
         line(big, 1) + "  no geometry, no material list, no texture\n",
         not_patched,
         whitened(model, {28})},
        // Regression: so did a dry run's note of the words it would whiten.
        {{"--dry-run"},
         line(big, 1) +
             "Visited 1 file: 1 model would change, 1 material would be whitened (dry run: "
             "nothing was written), 1 failed\n",
         not_patched + "img-whiten: failed: " + big + "\n",
         model},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.options[0]);
        write_file(big, model);
        std::vector<std::string> args = row.options;
        args.insert(args.end(), {"--jobs", "1", big});
        const process_result limited = run(args, limits);
        EXPECT_EQ(limited.signal, 0) << "crashed";
        EXPECT_EQ(limited.exit_status, 1);
        EXPECT_EQ(limited.err, row.err);
        EXPECT_EQ(limited.out, row.out);
        EXPECT_TRUE(read_file(big) == row.after);
    }
}

// Bind mounts and loop devices, which only root may make, taken down again after the test.
class mounts : public paths {
protected:
    void TearDown() override {
        for (auto at = mounted_.rbegin(); at != mounted_.rend(); ++at) {
            umount2(at->c_str(), MNT_DETACH);
        }
        for (const std::string& device : loops_) {
            EXPECT_EQ(std::system(("losetup -d " + device).c_str()), 0) << device;
        }
        paths::TearDown();
    }

    // Attaches the file system image `image` to a free loop device, noted in
    // *device, and mounts it at `onto`; returns why that cannot be done, or "".
    std::string mount_loop(const std::string& image, const std::string& onto, std::string* device) {
        if (geteuid() != 0) {
            return "loop devices need root";
        }
        FILE* attach = popen(("losetup -f --show '" + image + "' 2>/dev/null").c_str(), "r");
        char name[64] = "";
        const bool read = attach != nullptr && std::fgets(name, sizeof name, attach) != nullptr;
        if (attach == nullptr || pclose(attach) != 0 || !read) {
            return "no loop device to attach a file system image to";
        }
        *device = std::string(name, std::strcspn(name, "\n"));
        loops_.push_back(*device);
        if (mount(device->c_str(), onto.c_str(), "ext4", 0, nullptr) != 0) {
            return "cannot mount " + *device + ": " + std::strerror(errno);
        }
        mounted_.push_back(onto);
        return "";
    }

    // Mounts `from` at `onto` as well, read-only if asked; returns why that
    // cannot be done, or "".
    std::string bind(const std::string& from, const std::string& onto, bool read_only) {
        if (geteuid() != 0) {
            return "bind mounts need root";
        }
        if (mount(from.c_str(), onto.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            return std::string("cannot bind-mount: ") + std::strerror(errno);
        }
        mounted_.push_back(onto);
        if (read_only &&
            mount(nullptr, onto.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
            return std::string("cannot make a bind mount read-only: ") + std::strerror(errno);
        }
        return "";
    }

    std::vector<std::string> mounted_;
    std::vector<std::string> loops_;
};

// Regression: a file bind-mounted over another (one link, two paths) was
// patched twice, and a dry run counted it twice.
TEST_F(mounts, a_file_bind_mounted_in_the_tree_is_patched_once) {
    if (!config.launcher.empty()) {
        GTEST_SKIP() << "mounts as Linux has them";
    }
    const std::string root = path("bound");
    std::filesystem::create_directory(root);
    write_file(root + "/a.dff", material(grey));
    write_file(root + "/b.dff", {});
    const std::string why = bind(root + "/a.dff", root + "/b.dff", false);
    if (!why.empty()) {
        SKIP_UNLESS_CI(why);
    }
    const process_result dry = run({"--dry-run", root});
    EXPECT_EQ(dry.exit_status, 0) << dry.err;
    EXPECT_EQ(dry.out, line(root + "/a.dff", 1) +
                           "Visited 1 file: 1 model would change, 1 material would be whitened "
                           "(dry run: nothing was written)\n");
    const process_result result = run({root});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out,
              line(root + "/a.dff", 1) + "Visited 1 file: 1 model changed, 1 material whitened\n");
    EXPECT_TRUE(read_file(root + "/a.dff") == whitened(material(grey), {28}));
}

// Regression: a run over read-only media failed even with nothing to whiten.
TEST_F(mounts, read_only_media_fail_a_run_only_where_a_word_is_grey) {
    if (!config.launcher.empty()) {
        GTEST_SKIP() << "mounts as Linux has them";
    }
    const std::string source = path("media"), root = path("mounted");
    std::filesystem::create_directory(source);
    std::filesystem::create_directory(root);
    write_file(source + "/a.img", archive({{"car.dff", material(white)}}));
    write_file(source + "/white.dff", material(white));
    const std::string why = bind(source, root, true);
    if (!why.empty()) {
        SKIP_UNLESS_CI(why);
    }
    const process_result white_only = run({root});
    EXPECT_EQ(white_only.exit_status, 0) << white_only.err;
    EXPECT_EQ(white_only.err, "");
    EXPECT_EQ(white_only.out, heading(root + "/a.img") + line("car.dff", 0) +
                                  line(root + "/white.dff", 0) +
                                  "Visited 2 files: 0 models changed, 0 materials whitened\n");

    write_file(source + "/grey.dff", material(grey));  // seen through the mount, read-only there
    const process_result grey_too = run({root});
    EXPECT_EQ(grey_too.exit_status, 1);
    EXPECT_EQ(grey_too.err, "img-whiten: " + root +
                                "/grey.dff: cannot open for update: Read-only file system\n" +
                                "img-whiten: failed: " + root + "/grey.dff\n");
    EXPECT_TRUE(read_file(source + "/grey.dff") == material(grey));
}

// Regression: undo refused the very file it patched once its disk came
// back under another device number (a USB disk plugged in again, a loop
// device, LVM after a reboot): "another file has this name now".
TEST_F(mounts, undone_after_the_disk_comes_back_under_another_device_number) {
    if (!config.launcher.empty()) {
        GTEST_SKIP() << "mounts as Linux has them";
    }
    const std::string image = path("disk.ext4"), root = path("disk"), journal = path("whiten.log");
    std::filesystem::create_directory(root);
    write_file(image, bytes(16u << 20, 0));
    if (std::system(("mkfs.ext4 -q -F '" + image + "' >/dev/null 2>&1").c_str()) != 0) {
        SKIP_UNLESS_CI("mkfs.ext4 (e2fsprogs) cannot make a file system image");
    }
    std::string first, second;
    std::string why = mount_loop(image, root, &first);
    if (!why.empty()) {
        SKIP_UNLESS_CI(why);
    }
    const bytes before = archive({{"car.dff", material(grey)}, {"bus.dff", material(grey)}});
    write_file(root + "/a.img", before);
    struct stat info {};
    ASSERT_EQ(stat((root + "/a.img").c_str(), &info), 0);
    const dev_t was = info.st_dev;
    ASSERT_EQ(run({"--undo-log", journal, root}).exit_status, 0);
    const bytes patched = read_file(root + "/a.img");
    ASSERT_FALSE(patched == before);
    ASSERT_EQ(umount(root.c_str()), 0) << std::strerror(errno);
    // The first device stays attached: the second is another.
    why = mount_loop(image, root, &second);
    if (!why.empty()) {
        SKIP_UNLESS_CI(why);
    }
    ASSERT_EQ(stat((root + "/a.img").c_str(), &info), 0);
    ASSERT_NE(info.st_dev, was) << first << " and " << second;
    const process_result undone = run({"--undo", journal});
    EXPECT_EQ(undone.exit_status, 0) << undone.err;
    EXPECT_EQ(undone.out,
              "Restoring " + root +
                  "/a.img restored 2 materials\nRestored 1 file: 2 materials put back\n");
    EXPECT_TRUE(read_file(root + "/a.img") == before) << "not given back byte for byte";
}

}  // namespace
