// How names are taken apart and shown: the folder and entry of a file name
// (with each system's separators), whether names ignore case, and a name as
// a message shows it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace chartseal {

// The folder part of a file name ("." when it has none), with the separators
// of the system: "/" on POSIX systems, "\" and "/" on Windows.
std::string folderOf(const std::string& fileName);
// The name's last part, its entry in folderOf(fileName).
std::string entryOf(const std::string& fileName);

// Whether the system's names ignore case, so that "LOUD.SM" is the chart
// "LOUD.sm" (Windows); on POSIX systems the two are different files.
bool namesIgnoreCase();

// The length of the UTF-8 sequence that starts at text[at], or 0 where none
// does: no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t utf8SequenceLength(std::string_view text, std::size_t at);

// A name as the system's command shell takes it back as one argument: as
// it is where it holds only letters, digits and "._/-+,:@" (and does not
// begin with "-"), otherwise quoted (POSIX: single quotes; Windows: double
// quotes).
std::string shellWord(const std::string& name);

// A name as a message shows it: control bytes and bytes that are not UTF-8
// escaped ("\r", "\x1b"), so that no name can move the cursor of the
// terminal or log that shows the message, or hide what it says.
std::string shownName(std::string_view name);

}  // namespace chartseal
