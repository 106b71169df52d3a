#include "program.h"

#if defined(_WIN32)
#include <string>
#include <vector>

#include "console.h"
#include "drop_run.h"
#include "output.h"
#include "utf16.h"

// The C runtime expands no argument: a toolchain built to would, before ours, with [ ] too.
extern "C" {
int _dowildcard = 0;
}

// Wide arguments, so that any path opens whatever the system's code page.
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> utf8(static_cast<std::size_t>(argc));
    std::vector<char*> args;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const std::u16string utf16(argv[i], argv[i] + std::char_traits<wchar_t>::length(argv[i]));
        utf8[i] = img_whiten::utf16_to_utf8(utf16.data(), utf16.size());
        args.push_back(utf8[i].data());
    }
    args.push_back(nullptr);
    // Started by a double-click or a drop on the exe: keep the window and its result.
    const bool keep_window = img_whiten::console_closes_with_process(img_whiten::query_console());
    int status = img_whiten::exit_usage;
    if (argc < 2 && keep_window) {
        // No path, said in words for whoever double-clicked rather than with --help.
        img_whiten::write_message(
            stderr,
            "img-whiten: drop IMG archives, .dff models or folders on img-whiten.exe to "
            "turn their grey materials white, or run img-whiten PATH... in a console.\n");
        img_whiten::wait_for_enter(stderr);
    } else if (keep_window) {
        status = img_whiten::run_dropped(argc, args.data(), stdin, stderr);
    } else {
        status = img_whiten::patch_archive(argc, args.data());
    }
    return status;
}
#else
int main(int argc, char** argv) {
    return img_whiten::patch_archive(argc, argv);
}
#endif
