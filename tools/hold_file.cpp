// hold-file PATH read|write|read-deny-write: opens PATH as another Windows
// program would, for reading or for writing, sharing both with everyone, or
// for reading while sharing only reading (as many readers do by default);
// prints "held" and keeps it open until its standard input ends. The
// end-to-end tests use it under Wine to check the share mode img-whiten opens
// archives with.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    const bool write = argc == 3 && std::wcscmp(argv[2], L"write") == 0;
    const bool deny_write = argc == 3 && std::wcscmp(argv[2], L"read-deny-write") == 0;
    if (argc != 3 || (!write && !deny_write && std::wcscmp(argv[2], L"read") != 0)) {
        std::fputs("usage: hold-file PATH read|write|read-deny-write\n", stderr);
        return 2;
    }
    const DWORD access = write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
    const DWORD share = deny_write ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE;
    const HANDLE file =
        CreateFileW(argv[1], access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "hold-file: cannot open: error %lu\n", GetLastError());
        return 1;
    }
    std::puts("held");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    CloseHandle(file);
    return 0;
}
