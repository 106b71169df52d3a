// launch MODE PROGRAM [ARGUMENT]...: starts PROGRAM as windowless launchers,
// scripts and scheduled tasks do, waits for it for at most 30 seconds with
// no key ever pressed, and exits with its status, or with 99 when it had to
// be ended. The end-to-end tests use it under Wine. MODE is one of:
//   no-window   CREATE_NO_WINDOW: a console that has no window
//   detached    DETACHED_PROCESS: no console at all
//   no-handles  no standard handles: stdin, stdout and stderr are all null
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fputs("usage: launch no-window|detached|no-handles PROGRAM [ARGUMENT]...\n", stderr);
        return 2;
    }
    DWORD flags = 0;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (std::wcscmp(argv[1], L"no-window") == 0) {
        flags = CREATE_NO_WINDOW;
    } else if (std::wcscmp(argv[1], L"detached") == 0) {
        flags = DETACHED_PROCESS;
    } else if (std::wcscmp(argv[1], L"no-handles") == 0) {
        startup.dwFlags = STARTF_USESTDHANDLES;  // and every handle null
    } else {
        std::fputs("launch: unknown mode\n", stderr);
        return 2;
    }
    std::wstring command_line;
    for (int i = 2; i < argc; ++i) {
        command_line += (i > 2 ? L" \"" : L"\"") + std::wstring(argv[i]) + L"\"";
    }
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &command_line[0], nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                        &startup, &process)) {
        std::fprintf(stderr, "launch: cannot start: error %lu\n", GetLastError());
        return 98;
    }
    DWORD status = 99;
    if (WaitForSingleObject(process.hProcess, 30000) == WAIT_TIMEOUT) {
        std::fputs("launch: still running after 30 s: ended\n", stderr);
        TerminateProcess(process.hProcess, 99);
    } else {
        GetExitCodeProcess(process.hProcess, &status);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}
