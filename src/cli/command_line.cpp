#include "command_line.h"

#include <cstring>
#include <utility>

#include "exclude.h"

#ifndef IMG_WHITEN_VERSION
#error "IMG_WHITEN_VERSION must be defined by the build"
#endif

namespace img_whiten {

namespace {

enum class option_id {
    check,
    dry_run,
    exclude,
    files_from,
    help,
    jobs,
    json,
    list,
    no_progress,
    null,
    quiet,
    undo,
    undo_log,
    version
};

struct known_option {
    char short_name;  // '\0': none
    const char* long_name;
    bool takes_value;
    option_id id;
};

constexpr known_option known_options[] = {
    {'\0', "check", false, option_id::check},
    {'n', "dry-run", false, option_id::dry_run},
    {'\0', "exclude", true, option_id::exclude},
    {'\0', "files-from", true, option_id::files_from},
    {'h', "help", false, option_id::help},
    {'j', "jobs", true, option_id::jobs},
    {'\0', "json", false, option_id::json},
    {'l', "list", false, option_id::list},
    {'\0', "no-progress", false, option_id::no_progress},
    {'0', "null", false, option_id::null},
    {'q', "quiet", false, option_id::quiet},
    {'\0', "undo", true, option_id::undo},
    {'\0', "undo-log", true, option_id::undo_log},
    {'\0', "version", false, option_id::version},
};

// Jobs at most: more would only queue on the same disk.
constexpr unsigned most_jobs = 256;

const std::vector<const char*>& long_names() {
    static const std::vector<const char*> names = [] {
        std::vector<const char*> all;
        for (const known_option& option : known_options) {
            all.push_back(option.long_name);
        }
        return all;
    }();
    return names;
}

const known_option* find_short_option(char name) {
    for (const known_option& option : known_options) {
        if (option.short_name != '\0' && option.short_name == name) {
            return &option;
        }
    }
    return nullptr;
}

// Ends the parse on a fault.
command_line& fault(command_line& line, std::string option, std::string problem) {
    line.what = command::bad_option;
    line.option = std::move(option);
    line.problem = std::move(problem);
    return line;
}

std::string long_form(const known_option& option) {
    return std::string("--") + option.long_name;
}

// Takes one option in; false when it ends the parse.
bool take_option(command_line& line, const known_option& option, const char* value) {
    switch (option.id) {
        case option_id::help:
            line.what = command::help;
            return false;
        case option_id::version:
            line.what = command::version;
            return false;
        case option_id::dry_run:
            line.dry_run = true;
            return true;
        case option_id::exclude:
            if (const char* why = pattern_fault(value)) {
                fault(line, long_form(option),
                      "'" + std::string(value) + "' can match nothing: " + why);
                return false;
            }
            line.excludes.emplace_back(value);
            return true;
        case option_id::files_from:
            if (line.files_from != nullptr) {
                fault(line, long_form(option), "given more than once");
                return false;
            }
            line.files_from = value;
            return true;
        case option_id::null:
            line.null_separated = true;
            return true;
        case option_id::undo:
        case option_id::undo_log: {
            const char*& journal = option.id == option_id::undo ? line.undo : line.undo_log;
            if (journal != nullptr) {
                fault(line, long_form(option), "given more than once");
                return false;
            }
            journal = value;
            return true;
        }
        case option_id::check:
            line.check = true;
            line.dry_run = true;
            return true;
        case option_id::quiet:
            line.quiet = true;
            return true;
        case option_id::json:
            line.json = true;
            return true;
        case option_id::list:
            line.list = true;
            return true;
        case option_id::no_progress:
            line.progress = false;
            return true;
        case option_id::jobs: {
            unsigned jobs = 0;
            const char* at = value;
            for (; *at >= '0' && *at <= '9' && jobs <= most_jobs; ++at) {
                jobs = jobs * 10 + static_cast<unsigned>(*at - '0');
            }
            if (*at != '\0' || at == value || jobs < 1 || jobs > most_jobs) {
                fault(line, long_form(option),
                      "wants a whole number of jobs from 1 to " + std::to_string(most_jobs));
                return false;
            }
            line.jobs = jobs;
            return true;
        }
    }
    return true;
}

// What the options given cannot be combined with, once all are read;
// false (with the fault set) when they cannot be.
bool check_combination(command_line& line) {
    if (line.undo != nullptr) {
        if (!line.paths.empty() || line.files_from != nullptr) {
            fault(line, "--undo", "takes no path: the journal names the files");
            return false;
        }
        const struct {
            bool given;
            const char* option;
        } others[] = {{line.undo_log != nullptr, "--undo-log"},
                      {line.check, "--check"},
                      {line.list, "--list"},
                      {!line.excludes.empty(), "--exclude"},
                      {line.null_separated, "--null"},
                      {line.jobs != 0, "--jobs"}};
        for (const auto& other : others) {
            if (other.given) {
                fault(line, "--undo", std::string("cannot be used with ") + other.option);
                return false;
            }
        }
    }
    // Without any path the run is a usage error anyway, said as such.
    if (line.null_separated && line.files_from == nullptr && !line.paths.empty()) {
        fault(line, "--null", "is only for the list of --files-from");
        return false;
    }
    if (line.list && line.quiet) {
        fault(line, "--list", "cannot be used with --quiet");
        return false;
    }
    if (line.undo_log != nullptr && line.dry_run) {
        // A dry run writes nothing, so there would be nothing to record.
        fault(line, "--undo-log",
              std::string("cannot be used with ") + (line.check ? "--check" : "--dry-run"));
        return false;
    }
    return true;
}

}  // namespace

int find_long_option(const std::string& given, const std::vector<const char*>& names,
                     std::string* candidates) {
    int found = -1;
    int count = 0;
    std::string begun;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (given == names[i]) {
            candidates->clear();
            return static_cast<int>(i);
        }
        if (!given.empty() && std::strncmp(names[i], given.c_str(), given.size()) == 0) {
            found = static_cast<int>(i);
            begun += std::string(count++ == 0 ? "--" : " or --") + names[i];
        }
    }
    *candidates = count > 1 ? begun : "";
    return count == 1 ? found : -1;
}

command_line parse_command_line(int argc, char** argv) {
#if defined(_WIN32)
    return parse_command_line(argc, argv, true);
#else
    return parse_command_line(argc, argv, false);
#endif
}

command_line parse_command_line(int argc, char** argv, bool windows_rules) {
    command_line line;
    bool options_ended = false;
    for (int at = 1; at < argc; ++at) {
        const char* arg = argv[at];
        if (options_ended || arg[0] != '-' || arg[1] == '\0') {
            if (!options_ended && windows_rules && std::strcmp(arg, "/?") == 0) {
                line.what = command::help;
                return line;
            }
            line.paths.push_back(arg);
            continue;
        }
        if (std::strcmp(arg, "--") == 0) {
            options_ended = true;
            continue;
        }
        if (arg[1] == '-') {
            const char* name = arg + 2;
            const char* equals = std::strchr(name, '=');
            const std::string given(name, equals != nullptr ? equals : name + std::strlen(name));
            std::string candidates;
            const int index = find_long_option(given, long_names(), &candidates);
            if (index < 0 && candidates.empty()) {
                return fault(line, arg, "unknown option");
            }
            if (index < 0) {
                return fault(line, "--" + given, "ambiguous option: " + candidates);
            }
            const known_option& option = known_options[static_cast<std::size_t>(index)];
            const char* value = nullptr;
            if (!option.takes_value && equals != nullptr) {
                return fault(line, long_form(option), "takes no value");
            }
            if (option.takes_value) {
                value = equals != nullptr ? equals + 1 : at + 1 < argc ? argv[++at] : "";
                if (*value == '\0') {
                    return fault(line, long_form(option), "needs a value");
                }
            }
            if (!take_option(line, option, value)) {
                return line;
            }
            continue;
        }
        // Short options, bundled; one that takes a value takes the rest, or the next argument.
        for (const char* c = arg + 1; *c != '\0'; ++c) {
            const known_option* option = find_short_option(*c);
            if (option == nullptr) {
                // "-n-" names no option "--"
                return fault(line, *c == '-' ? std::string(arg) : std::string("-") + *c,
                             "unknown option");
            }
            const char* value = nullptr;
            if (option->takes_value) {
                value = c[1] != '\0' ? c + 1 : at + 1 < argc ? argv[++at] : "";
                if (*value == '\0') {
                    return fault(line, std::string("-") + *c, "needs a value");
                }
            }
            if (!take_option(line, *option, value)) {
                return line;
            }
            if (value != nullptr) {
                break;
            }
        }
    }
    if (!check_combination(line)) {
        return line;
    }
    if (line.undo != nullptr) {
        line.what = command::undo;
    } else {
        line.what =
            line.paths.empty() && line.files_from == nullptr ? command::no_path : command::patch;
    }
    return line;
}

// How the example quotes: cmd passes single quotes along as part of the value.
#if defined(_WIN32)
#define IMG_WHITEN_HELP_QUOTE "\""
#else
#define IMG_WHITEN_HELP_QUOTE "'"
#endif

void print_help(std::FILE* out) {
    std::fputs(
        "Usage: img-whiten [OPTION]... [--] PATH...\n"
        "       img-whiten [OPTION]... --files-from FILE [PATH]...\n"
        "       img-whiten [-n] [-q] [--json] --undo FILE\n"
        "       img-whiten --help | --version\n"
        "\n"
        "Turns every grey (149, 149, 149, 255) material colour of .dff models into\n"
        "opaque white, in place, and prints one line per model. Each PATH is:\n"
        "  - a version-2 IMG archive (a file that begins with VER2, whatever its name):\n"
        "    every entry whose last extension starts with dff, in any case, is patched;\n"
        "  - a loose model (a file whose name ends in .dff, in any case): patched as\n"
        "    one model;\n"
        "  - a folder: searched recursively, in name order, for files named *.img that\n"
        "    are archives and for loose models; links inside it are not followed.\n"
        "Any other file is left alone.\n"
        "\n"
        "Options, before, between or after the paths:\n"
        "  -n, --dry-run          open files read-only, change nothing, print what a\n"
        "                         real run would print, and end with a summary line\n"
        "      --exclude=PATTERN  inside the folders given and in the list of\n"
        "                         --files-from, pass over the files and folders that\n"
        "                         PATTERN matches (see below); repeatable\n"
        "      --files-from=FILE  patch the paths listed in FILE, one a line, after the\n"
        "                         paths given; - reads the list from standard input\n"
        "  -0, --null             the list of --files-from is separated by NUL bytes, as\n"
        "                         find -print0 writes it; only with --files-from\n"
        "      --check            a dry run whose exit status says whether anything would\n"
        "                         be whitened: 0 nothing, 3 something, 1 a failure\n"
        "  -l, --list             print only the models that have grey materials (in a\n"
        "                         dry run: would have), each followed by a line per\n"
        "                         grey material: its geometry, its index in that\n"
        "                         geometry's material list and its texture's name\n"
        "  -q, --quiet            no line per model and no headings: the summary and\n"
        "                         the failures stay\n"
        "      --json             JSON Lines on standard output: an object per model\n"
        "                         (per file with --undo), per failure and for the run\n"
        "                         (see man img-whiten)\n"
        "      --no-progress      no progress display on a terminal's standard error\n"
        "  -j, --jobs=N           patch up to N files at once (1 to 256); by default one\n"
        "                         per processor (2 to 16), or 1 where the disk is a\n"
        "                         rotational one (not virtual)\n"
        "      --undo-log=FILE    before writing to a file, append to the journal FILE\n"
        "                         where each word about to be whitened lies; FILE is\n"
        "                         created if missing, else must be empty or a journal\n"
        "                         (not with --dry-run or --check)\n"
        "      --undo=FILE        put back to grey every word the journal FILE recorded\n"
        "                         that is white now, newest first, and print one line\n"
        "                         per file; -n shows it without writing; no PATH\n"
        "  -h, --help             show this help and exit\n"
        "      --version          show the version and exit\n"
        "  --                     end of options: every argument after it is a path\n"
        "Short options may be bundled (-nh), and long ones shortened while no other\n"
        "option starts the same (--dry). On Windows, /? is --help too.\n"
        "\n"
        "PATTERN follows rsync's rules: * matches any characters but /, ** any\n"
        "characters, ? one character but /, [a-z] or [[:digit:]] one of a class\n"
        "([!a-z] one not in it); case counts. Where a pattern holds * ? or [, \\ makes\n"
        "the next character itself; elsewhere it is itself. A pattern without a / (but\n"
        "a trailing one) and without ** is matched against each name; any other against\n"
        "the path below the folder given and each of its tails after a /; a leading /\n"
        "ties it to that folder, a trailing / matches folders only, and dir/*** matches\n"
        "dir and all in it. A path of a --files-from list is matched as written there;\n"
        "a path named is never passed over. Separate folders with / on Windows too.\n"
        "Example:\n"
        "  img-whiten --exclude " IMG_WHITEN_HELP_QUOTE "backup/" IMG_WHITEN_HELP_QUOTE
        " --exclude " IMG_WHITEN_HELP_QUOTE "*.old.dff" IMG_WHITEN_HELP_QUOTE
        " mods\n"
        "\n"
        "A file named like an option is reached after -- or through a path:\n"
        "img-whiten ./--help\n"
        "\n"
        "The safe routine: img-whiten --undo-log whiten.log mods/, and to go back,\n"
        "img-whiten --undo whiten.log. A run killed at any moment leaves a journal\n"
        "that covers every word it changed; man img-whiten says what a power loss\n"
        "can lose.\n"
        "\n"
        "With several paths or a folder, each archive's lines follow a line\n"
        "'==> PATH <==', and a summary line ends the run, as it ends every dry run.\n"
        "Control characters in names are printed escaped (\\n, \\t, \\x1b, and then \\\\\n"
        "for a backslash).\n"
        "\n"
        "Exit status:\n"
        "  0  done, also when nothing needed patching\n"
        "  1  a failure was reported on standard error\n"
        "  2  a wrong command line: no path, an unknown or ambiguous option, an option\n"
        "     without its value, options that do not go together, a pattern that could\n"
        "     match nothing, a --files-from list that cannot be read, or an undo\n"
        "     journal that cannot be opened or read, or is refused (not a journal, or\n"
        "     named as a path to patch); nothing was patched or put back\n"
        "  3  with --check: something would be whitened, and no failure was reported\n",
        out);
}

void print_version(std::FILE* out) {
    std::fputs("img-whiten " IMG_WHITEN_VERSION "\n", out);
}

}  // namespace img_whiten
