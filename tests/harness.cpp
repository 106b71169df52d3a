// The main of the programs that run the tool: their options (harness.h), then the tests.
#include "harness.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    harness::tool_config& config = harness::config;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool valued = i + 1 < argc;
        if (arg == "--exe" && valued) {
            config.exe = argv[++i];
        } else if (arg == "--short-io" && valued) {
            config.short_io = argv[++i];
        } else if (arg == "--launcher" && valued) {
            config.launcher.push_back(argv[++i]);
        } else if (arg == "--crlf") {
            config.crlf = true;
        } else if (arg == "--reference" && valued) {
            config.reference = argv[++i];
        } else if (arg == "--hold-file" && valued) {
            config.hold_file = argv[++i];
        } else if (arg == "--launch" && valued) {
            config.launch = argv[++i];
        } else if (arg == "--size-mib" && valued) {
            config.size_mib = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--trials" && valued) {
            config.trials = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--seed" && valued) {
            config.seed = std::strtoull(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr, "%s: unknown argument %s: see tests/harness.h\n", argv[0],
                         arg.c_str());
            return 2;
        }
    }
    if (testing::GTEST_FLAG(list_tests)) {
        return RUN_ALL_TESTS();
    }
    // No --short-io under Wine: the cases that need it are not run there.
    if (config.exe.empty() || config.size_mib == 0) {
        std::fprintf(stderr, "%s: --exe is required\n", argv[0]);
        return 2;
    }
    // Some tests run the tool from another working directory.
    config.exe = std::filesystem::absolute(config.exe).string();
    if (!config.short_io.empty()) {
        config.short_io = std::filesystem::absolute(config.short_io).string();
    }
    return RUN_ALL_TESTS();
}
