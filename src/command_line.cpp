#include "command_line.h"

#include <cstring>

#ifndef IMG_WHITEN_VERSION
#error "IMG_WHITEN_VERSION must be defined by the build"
#endif

namespace img_whiten {

command_line parse_command_line(int argc, char** argv) {
    if (argc < 2) {
        return {command::nothing, nullptr};
    }
    const char* first = argv[1];
    if (std::strcmp(first, "--help") == 0 || std::strcmp(first, "-h") == 0) {
        return {command::help, nullptr};
    }
    if (std::strcmp(first, "--version") == 0) {
        return {command::version, nullptr};
    }
    if (std::strcmp(first, "--dry-run") == 0 || std::strcmp(first, "-n") == 0) {
        return argc < 3 ? command_line{command::missing_path, nullptr}
                        : command_line{command::dry_run, argv[2]};
    }
    return {command::patch, first};
}

void print_help(std::FILE* out) {
    std::fputs(
        "Usage: img-whiten ARCHIVE\n"
        "       img-whiten --dry-run ARCHIVE\n"
        "       img-whiten --help | --version\n"
        "\n"
        "Turns every grey (149, 149, 149, 255) material colour of the .dff models in a\n"
        "version-2 IMG archive into opaque white, in place, and prints one line per model.\n"
        "\n"
        "Options, recognised only as the first argument:\n"
        "  -n, --dry-run ARCHIVE  open ARCHIVE read-only, change nothing, and print what\n"
        "                         a real run would print\n"
        "  -h, --help             show this help and exit\n"
        "      --version          show the version and exit\n"
        "\n"
        "Arguments after ARCHIVE are ignored. An archive whose name starts with '-' is\n"
        "reached through a path: img-whiten ./--help\n"
        "\n"
        "Exit status:\n"
        "  0  done; also with no argument, or a file that is not a VER2 archive\n"
        "  1  a failure was reported on standard error\n"
        "  2  --dry-run was given without an archive\n",
        out);
}

void print_version(std::FILE* out) {
    std::fputs("img-whiten " IMG_WHITEN_VERSION "\n", out);
}

}  // namespace img_whiten
