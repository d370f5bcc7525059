// File names on Windows: UTF-8 inside the program, UTF-16 at the system.
#pragma once

#include <string>

namespace chartseal {

// The UTF-16 form of a name held as UTF-8; bytes that are not UTF-8 are taken
// in the system's ANSI code page, as a script written there would hold them.
std::wstring toWide(const std::string& name);
// The UTF-8 form of a UTF-16 name.
std::string toUtf8(const std::wstring& name);
// The name as the system takes it whatever its length: a name of MAX_PATH
// characters or more, made absolute, in the \\?\ form (\\?\UNC\ for a
// share); a shorter one as it is, so that device names keep their meaning.
std::wstring longName(const std::wstring& name);

}  // namespace chartseal
