// chartseal-library: seals, previews or checks every song of a library.
#include <iostream>

#include "cli/LibraryCommand.h"
#include "console/Interruptions.h"
#include "console/StandardStreams.h"

int main(int argc, char** argv)
{
    chartseal::prepareStandardStreams();
    std::vector<std::string> args = chartseal::programArguments(argc, argv);
    args.erase(args.begin());
    chartseal::LibraryCommand command(chartseal::standardOutput(), std::cerr, chartseal::standardErrorIsTerminal(),
                                      chartseal::raiseOpenFileLimit());
    command.setInput(chartseal::standardInput());
    command.holdStopSignalsUntilExit();
    const int status = command.run(args);
    if (command.interruptedBy() != 0) chartseal::endBySignal(command.interruptedBy());
    return status;
}
