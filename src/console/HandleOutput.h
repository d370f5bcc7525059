// An output stream over a handle of the seam whose failures say why.
#pragma once

#include <streambuf>
#include <string>

#include "io/FileOps.h"

namespace chartseal {

// Bytes written through the seam to an open handle (standard output), kept
// until a flush or until enough of them are there. A write that fails throws
// RunError ("<name>: cannot write: <the system's reason>") out of the
// writing call of a stream that has badbit among its exceptions (and sets
// badbit in one that has not).
class HandleOutput final : public std::streambuf {
public:
    HandleOutput(FileOps& ops, FileHandle handle, std::string name)
        : ops_(ops), handle_(handle), name_(std::move(name))
    {
    }

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

private:
    void send();

    FileOps& ops_;
    FileHandle handle_;
    std::string name_;
    std::string pending_;
};

}  // namespace chartseal
