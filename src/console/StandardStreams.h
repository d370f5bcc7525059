// The process's standard streams as a run uses them.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "io/FileOps.h"

namespace chartseal {

// Standard input as a stream whose read errors are errors: a failed read
// throws RunError out of the reading call (the stream has badbit among its
// exceptions) instead of looking like the end of the input. Its bytes are
// read unchanged; a Windows console's lines arrive as UTF-8.
std::istream& standardInput();

// Standard output as a stream whose write errors are errors: a failed write
// throws RunError ("standard output: cannot write: <reason>") out of the
// writing call (the stream has badbit among its exceptions), a closed pipe
// included. Its bytes go out as they are; on a Windows console, as text.
std::ostream& standardOutput();

// Writing to a closed pipe fails with an error, reported like any failed
// write, instead of ending the process without a word; every byte goes out
// as it is (no line-end translation on Windows); and a crash ends the
// process with a failure status (reportCrashesAsFailures).
void prepareStandardStreams();

// The program's arguments, as UTF-8 (on Windows, whatever the code page).
std::vector<std::string> programArguments(int argc, char** argv);

// Raises the number of files the process may have open to the most the
// system allows it, and returns how many more it may open now.
std::size_t raiseOpenFileLimit();

// Whether standard error is a terminal or console, which may show a line
// that keeps being rewritten.
bool standardErrorIsTerminal();

// Standard output, for writing through a File.
FileHandle standardOutputHandle();

// A crash ends the process with status 3 rather than anything that could
// read as success (Windows would otherwise let some crash exits look like
// 0 under emulation). POSIX systems already report the signal.
void reportCrashesAsFailures();

}  // namespace chartseal
