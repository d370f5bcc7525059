// chartunseal FILE...: writes the unsealed bytes of each sealed chart file to
// standard output, in order, through the reader library's interface.
// chartunseal --restore BASE...: puts each sealed song back together.
#include <iostream>

#include "console/ExitStatus.h"
#include "console/StandardStreams.h"
#include "cli/UnsealCommand.h"

int main(int argc, char** argv)
{
    chartseal::prepareStandardStreams();
    std::vector<std::string> args = chartseal::programArguments(argc, argv);
    args.erase(args.begin());
    chartseal::File out(chartseal::systemFileOps(), "standard output", chartseal::standardOutputHandle());
    int status = chartseal::UnsealCommand(out, std::cerr).run(args);
    try {
        out.close();
    } catch (const chartseal::RunError& e) {
        std::cerr << (std::string("chartunseal: ") + e.what() + "\n") << std::flush;
        status = chartseal::kExitOutputFailed;
    }
    return status;
}
