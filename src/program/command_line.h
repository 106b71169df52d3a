// The command line: options first, then the paths to patch.
#ifndef IMG_WHITEN_COMMAND_LINE_H
#define IMG_WHITEN_COMMAND_LINE_H

#include <cstdio>
#include <vector>

namespace img_whiten {

enum class command {
    nothing,    // no argument: a silent exit 0
    patch,      // [--dry-run] PATH...
    help,       // --help, -h
    version,    // --version
    no_path,    // --dry-run or -n with no path after it
    bad_option  // an option the tool does not know
};

struct command_line {
    command what = command::nothing;
    bool dry_run = false;
    std::vector<const char*> paths;  // for patch
    const char* option = nullptr;    // the option at fault, for no_path and bad_option
};

// Options come first: -n/--dry-run, -h/--help and --version; "--" ends them.
// Every argument after them is a path, whatever it looks like.
command_line parse_command_line(int argc, char** argv);

void print_help(std::FILE* out);
void print_version(std::FILE* out);

}  // namespace img_whiten

#endif
