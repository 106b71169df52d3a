// The command line: options anywhere before "--", and the paths to patch.
#ifndef IMG_WHITEN_COMMAND_LINE_H
#define IMG_WHITEN_COMMAND_LINE_H

#include <cstdio>
#include <string>
#include <vector>

namespace img_whiten {

enum class command {
    patch,      // PATH..., or a --files-from list, with the options
    undo,       // --undo FILE: put back what the journal FILE recorded
    help,       // --help, -h, and /? on Windows
    version,    // --version
    no_path,    // neither a path nor --files-from
    bad_option  // an option unknown, ambiguous, without its value or given twice
};

struct command_line {
    command what = command::no_path;
    bool dry_run = false;
    std::vector<const char*> paths;     // for patch, in the order given
    std::vector<std::string> excludes;  // the patterns of --exclude, in the order given
    const char* files_from = nullptr;   // --files-from FILE; "-" is standard input
    bool null_separated = false;        // -0, --null: that list is NUL-separated
    bool check = false;                 // --check: a dry run whose status says if any would change
    bool list = false;                  // -l, --list
    bool quiet = false;                 // -q, --quiet
    bool json = false;                  // --json
    bool progress = true;               // --no-progress turns it off
    unsigned jobs = 0;                  // -j, --jobs N; 0: as suits the disk
    const char* undo_log = nullptr;     // --undo-log FILE: the journal a real run appends to
    const char* undo = nullptr;         // --undo FILE: the journal to put back
    std::string option;                 // for bad_option: the option at fault
    std::string problem;                // for bad_option: what is wrong with it
};

// Options may come anywhere before "--", as GNU getopt_long takes them when
// it permutes: short ones bundled (-nh), long ones shortened to any
// unambiguous prefix (--dry), values as --opt=VALUE or --opt VALUE (or -oVALUE
// and -o VALUE). "-" alone is a path. The first of --help and --version ends
// the parse, and so does the first fault. Nothing is opened.
command_line parse_command_line(int argc, char** argv);

// The same under Windows' rules, where an argument "/?" is --help, or not.
command_line parse_command_line(int argc, char** argv, bool windows_rules);

// Which of `names` (long options, without "--") `given` names: the index of
// the one it equals or else of the only one it begins, or -1. When it begins
// several, `candidates` lists them: "--exclude or --extra".
int find_long_option(const std::string& given, const std::vector<const char*>& names,
                     std::string* candidates);

void print_help(std::FILE* out);
void print_version(std::FILE* out);

}  // namespace img_whiten

#endif
