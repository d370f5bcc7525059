// The process's standard streams as a run uses them.
#pragma once

#include <iosfwd>

namespace chartseal {

// Standard input as a stream whose read errors are errors: a failed read
// throws FileError out of the reading call (the stream has badbit among its
// exceptions) instead of looking like the end of the input.
std::istream& standardInput();

// Writing to a closed pipe fails with an error, reported like any failed
// write, instead of ending the process without a word.
void prepareStandardStreams();

}  // namespace chartseal
