// The pause itself; the wait for a key is each system's own.
#include "console/ConsolePause.h"

#include <exception>
#include <istream>
#include <ostream>
#include <string>

namespace chartseal {

void ConsolePause::operator()()
{
    err_ << "Press any key to continue . . ." << std::flush;
    if (!waitForKey()) skipLine();
    err_ << '\n' << std::flush;
}

void ConsolePause::skipLine()
{
    std::string ignored;
    try {
        std::getline(in_, ignored);
    } catch (const std::exception&) {
        // Input that cannot be read holds no answer to wait for.
    }
}

}  // namespace chartseal
