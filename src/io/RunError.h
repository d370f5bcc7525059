// The one error type of a run: what failed, why, and how it bears on the
// exit status.
#pragma once

#include <stdexcept>
#include <string>
#include <system_error>

namespace chartseal {

// How a failure bears on the run, which decides its exit status (the one
// map is exitStatusFor, in console/ExitStatus.h).
enum class Failure {
    // An operation on an output, the folder or a standard stream failed.
    failed,
    // The run must not go on, though nothing failed: another run holds the
    // chart, an output name is unsafe, a file is not the run's own.
    refused,
    // The chart cannot be opened, is not a regular file, or cannot be read.
    chartUnreadable,
    // The song was sealed before: a rerun changes nothing.
    sealedAlready,
    // A stop signal (or on Windows a console event, by the number of the
    // signal of the same meaning) asked the run to stop; it undid its work.
    interrupted,
};

// The one error of a run: a failed file operation, a refusal or a stop.
// what() reads "<file>: <reason>", the file's name shown safely.
class RunError : public std::runtime_error {
public:
    RunError(const std::string& path, const std::string& reason, Failure failure = Failure::failed);
    // "<file>: <action>: <the system's message>".
    RunError(const std::string& path, const std::string& action, std::error_code code,
             Failure failure = Failure::failed);
    // Stopped by the signal with this number.
    static RunError interrupted(int signal);
    // An error that belongs to no file: what() is the reason alone.
    static RunError unnamed(const std::string& reason, Failure failure = Failure::failed);

    Failure failure() const { return failure_; }
    std::error_code code() const { return code_; }
    // The stop signal's number, for an interrupted run; 0 otherwise.
    int signal() const { return signal_; }
    // The same error, counted as a failure of another kind.
    RunError as(Failure failure) const
    {
        RunError copy = *this;
        copy.failure_ = failure;
        return copy;
    }

private:
    struct Unnamed {};
    RunError(Unnamed, const std::string& reason, Failure failure) : std::runtime_error(reason), failure_(failure) {}

    Failure failure_;
    std::error_code code_;
    int signal_ = 0;
};

// The exception being handled, inside a catch block, as the run's one error:
// a RunError as it is; memory running out, or a size no string can hold, as
// a failure "<name>: out of memory"; anything else as a failure with its
// text, after the name (where there is one).
RunError currentError(const std::string& name);

// A refusal: the run changes nothing and ends with one line saying why.
inline RunError refusal(const std::string& path, const std::string& reason)
{
    return RunError(path, reason, Failure::refused);
}

}  // namespace chartseal
