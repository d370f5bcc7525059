// chartunseal's command line: sealed files unsealed to standard output, or
// sealed songs put back with --restore; its options, help and statuses.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "io/FileOps.h"

namespace chartseal {

class UnsealCommand {
public:
    // out receives the unsealed bytes (written through the seam, as they
    // are) and --help or --version; err one line per file or song that
    // failed, or the usage error.
    UnsealCommand(File& out, std::ostream& err, FileOps& ops = systemFileOps());

    // Runs with the arguments (without the program's name) and returns the
    // exit status: 0, 1 when a file or song failed or standard output did,
    // 2 for a usage error.
    int run(const std::vector<std::string>& args);

private:
    int unseal(const std::vector<std::string>& files);

    File& out_;
    std::ostream& err_;
    FileOps& ops_;
};

}  // namespace chartseal
