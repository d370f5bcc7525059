// The exit statuses of the programs, and the one map from a run's error to
// its status.
#pragma once

#include "io/FileOps.h"

namespace chartseal {

inline constexpr int kExitSuccess = 0;
// The run was refused or failed with one line saying why: another run holds
// the chart, the chart changed, an output name is unsafe or not the run's
// own, the song is sealed already, an output could not be written, standard
// input or output failed, memory ran out. The chart file is unchanged unless
// the failure came after its replacement. chartunseal: a file could not be
// read, or standard output failed.
inline constexpr int kExitOutputFailed = 1;
// chartunseal without a file to read.
inline constexpr int kExitUsage = 2;
// Windows only: the program crashed; an unhandled exception ends it with this
// status, never with one that reads as success.
inline constexpr int kExitCrashed = 3;
// The chart file cannot be opened or read; nothing is left created. The
// shell sees 255; Windows keeps -1.
inline constexpr int kExitChartUnreadable = -1;

// A run stopped by signal n ends by that signal, which a POSIX shell reports
// as 128+n (130 for Ctrl-C); on Windows the process exits with this status,
// for the console event of the same meaning (Ctrl-C 130, Ctrl-Break 149, a
// closed console 129).
constexpr int exitStatusForSignal(int signal)
{
    return 128 + signal;
}

// The status a run ends with after this error.
inline int exitStatusFor(const RunError& error)
{
    switch (error.failure()) {
    case Failure::chartUnreadable: return kExitChartUnreadable;
    case Failure::interrupted: return exitStatusForSignal(error.signal());
    case Failure::refused:
    case Failure::sealedAlready:
    case Failure::failed: break;
    }
    return kExitOutputFailed;
}

}  // namespace chartseal
