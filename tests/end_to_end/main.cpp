// The end-to-end tests' entry point: which build of the tool to run, and how.
#include <cstdio>
#include <filesystem>
#include <string>

#include "support.h"

using e2e::config;

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
        } else if (arg == "--launch" && i + 1 < argc) {
            config.launch = argv[++i];
        } else if (arg == "--short-io" && i + 1 < argc) {
            config.short_io = std::filesystem::absolute(argv[++i]).string();
        } else {
            std::fprintf(
                stderr,
                "usage: end_to_end_tests --exe PATH [--launcher PROGRAM]... [--crlf] "
                "[--reference PATH] [--hold-file PATH] [--launch PATH] [--short-io LIBRARY]\n");
            return 2;
        }
    }
    if (config.exe.empty() && !testing::GTEST_FLAG(list_tests)) {
        std::fprintf(stderr, "end_to_end_tests: --exe is required\n");
        return 2;
    }
    // Some tests run the tool from another working directory.
    if (!config.exe.empty()) {
        config.exe = std::filesystem::absolute(config.exe).string();
    }
    return RUN_ALL_TESTS();
}
