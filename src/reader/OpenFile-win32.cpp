// Windows names are UTF-16: the UTF-8 name is converted for the wide call.
#include <windows.h>

#include <cerrno>
#include <string>

#include "reader/OpenFile.h"

namespace chartseal::reader {

std::FILE* openForReading(const char* path)
{
    const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (n <= 0) {
        errno = EINVAL;
        return nullptr;
    }
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.data(), n);
    wide.resize(static_cast<std::size_t>(n - 1));
    // A long name in the \\?\ form, made absolute first (the form takes
    // no relative names).
    const DWORD full = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (full >= MAX_PATH - 12 && wide.rfind(L"\\\\?\\", 0) != 0) {
        std::wstring absolute(full, L'\0');
        const DWORD length = ::GetFullPathNameW(wide.c_str(), full, absolute.data(), nullptr);
        if (length > 0 && length < full) {
            absolute.resize(length);
            wide = absolute.rfind(L"\\\\", 0) == 0 ? L"\\\\?\\UNC\\" + absolute.substr(2) : L"\\\\?\\" + absolute;
        }
    }
    return ::_wfopen(wide.c_str(), L"rb");
}

}  // namespace chartseal::reader
