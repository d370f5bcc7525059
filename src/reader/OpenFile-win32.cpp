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
    return ::_wfopen(wide.c_str(), L"rb");
}

}  // namespace chartseal::reader
