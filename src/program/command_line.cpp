#include "command_line.h"

#include <cstring>

#ifndef IMG_WHITEN_VERSION
#error "IMG_WHITEN_VERSION must be defined by the build"
#endif

namespace img_whiten {

command_line parse_command_line(int argc, char** argv) {
    command_line line;
    int at = 1;
    for (; at < argc; ++at) {
        const char* arg = argv[at];
        if (std::strcmp(arg, "--") == 0) {
            ++at;
            break;
        }
        if (arg[0] != '-' || arg[1] == '\0') {
            break;  // the first path; "-" alone is a path too
        }
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            line.what = command::help;
            return line;
        }
        if (std::strcmp(arg, "--version") == 0) {
            line.what = command::version;
            return line;
        }
        if (std::strcmp(arg, "--dry-run") == 0 || std::strcmp(arg, "-n") == 0) {
            line.dry_run = true;
            line.option = arg;
            continue;
        }
        line.what = command::bad_option;
        line.option = arg;
        return line;
    }
    for (; at < argc; ++at) {
        line.paths.push_back(argv[at]);
    }
    if (!line.paths.empty()) {
        line.what = command::patch;
    } else if (line.dry_run) {
        line.what = command::no_path;
    }
    return line;
}

void print_help(std::FILE* out) {
    std::fputs(
        "Usage: img-whiten [--dry-run] [--] PATH...\n"
        "       img-whiten --help | --version\n"
        "\n"
        "Turns every grey (149, 149, 149, 255) material colour of .dff models into\n"
        "opaque white, in place, and prints one line per model. Each PATH is:\n"
        "  - a version-2 IMG archive (a file that begins with VER2, whatever its name):\n"
        "    every .dff entry in it is patched;\n"
        "  - a loose model (a file named *.dff, any case): patched as one model;\n"
        "  - a folder: searched recursively, in name order, for files named *.img that\n"
        "    are archives and for loose models; links inside it are not followed.\n"
        "Any other file is left alone.\n"
        "\n"
        "Options, before the first path:\n"
        "  -n, --dry-run  open files read-only, change nothing, and print what a real\n"
        "                 run would print\n"
        "  -h, --help     show this help and exit\n"
        "      --version  show the version and exit\n"
        "  --             end of options: every argument after it is a path\n"
        "\n"
        "A file named like an option is reached after -- or through a path:\n"
        "img-whiten ./--help\n"
        "\n"
        "With several paths or a folder, each archive's lines follow a line\n"
        "'==> PATH <==', and a summary line ends the run.\n"
        "\n"
        "Exit status:\n"
        "  0  done; also with no argument, or when nothing needed patching\n"
        "  1  a failure was reported on standard error\n"
        "  2  a wrong command line: an unknown option, or --dry-run without a path\n",
        out);
}

void print_version(std::FILE* out) {
    std::fputs("img-whiten " IMG_WHITEN_VERSION "\n", out);
}

}  // namespace img_whiten
