// chartseal: reads a song's base name and seals the later charts of its chart file.
#include <iostream>

#include "console/ConsolePause.h"
#include "console/Interruptions.h"
#include "run/RunDriver.h"
#include "console/StandardStreams.h"

int main()
{
    chartseal::prepareStandardStreams();
    std::istream& in = chartseal::standardInput();
    chartseal::ConsolePause pause(in, std::cerr);
    chartseal::RunDriver driver(in, std::cout, std::cerr, pause);
    driver.holdStopSignalsUntilExit();
    const int status = driver.run();
    if (driver.interruptedBy() != 0) chartseal::endBySignal(driver.interruptedBy());
    return status;
}
