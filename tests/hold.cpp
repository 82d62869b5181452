// A Windows program that holds a file open, for the tests, as another
// program would:
//   hold NAME             shares it with no one, until its input ends;
//   hold PATTERN MS       waits for a file whose name matches PATTERN (a
//                         name, or a wildcard: ".voxa-*"), and holds it for
//                         MS milliseconds as a virus scanner or an indexer
//                         does, letting others read and write it but not
//                         rename or remove it.
// It prints "held" and the name once it holds the file.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

// The first file that the pattern finds, with the pattern's folder.
std::wstring first_match(const std::wstring& pattern)
{
    WIN32_FIND_DATAW found;
    HANDLE list = FindFirstFileW(pattern.c_str(), &found);
    if (list == INVALID_HANDLE_VALUE)
        return {};
    FindClose(list);
    size_t cut = pattern.find_last_of(L"\\/");
    return (cut == std::wstring::npos ? std::wstring() : pattern.substr(0, cut + 1)) + found.cFileName;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 2) {
        HANDLE held = CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (held == INVALID_HANDLE_VALUE)
            return 1;
        std::printf("held\n");
        std::fflush(stdout);
        while (std::getchar() != EOF) {
        }
        CloseHandle(held);
        return 0;
    }
    if (argc != 3)
        return 2;
    DWORD hold_for = static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10));
    ULONGLONG until = GetTickCount64() + 60000;
    while (GetTickCount64() < until) {
        std::wstring name = first_match(argv[1]);
        HANDLE held = name.empty() ? INVALID_HANDLE_VALUE
                                   : CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 nullptr, OPEN_EXISTING, 0, nullptr);
        if (held != INVALID_HANDLE_VALUE) {
            std::printf("held %ls\n", name.c_str());
            std::fflush(stdout);
            Sleep(hold_for);
            CloseHandle(held);
            return 0;
        }
    }
    return 1;
}
