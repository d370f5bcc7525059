// chartseal: reads a song's base name and seals the later charts of its chart file.
#include <unistd.h>

#include <iostream>

#include "app/ConsolePause.h"
#include "app/RunDriver.h"

int main()
{
    chartseal::ConsolePause pause(std::cin, STDIN_FILENO, std::cerr);
    return chartseal::RunDriver(std::cin, std::cout, std::cerr, pause).run();
}
