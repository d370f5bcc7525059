// The library walk where names ignore case: a chart named "LOUD.SM" is the
// song a chartseal run given "LOUD" seals, and is sealed the same way.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "TestSupport.h"
#include "console/ExitStatus.h"
#include "cli/LibraryCommand.h"
#include "run/RunDriver.h"

namespace chartseal {
namespace {

namespace fs = std::filesystem;

class LibraryWalk : public test::TempDirTest {};

TEST_F(LibraryWalk, AChartInCapitalsIsSealedAsAChartsealRunWouldSealIt)
{
    for (const char* name : {"LOUD.SM", "Mixed.Sm"}) {
        SCOPED_TRACE(name);
        const std::string single = at(std::string("single ") + name), library = at(std::string("library ") + name);
        fs::create_directories(test::pathOf(single));
        fs::create_directories(test::pathOf(library));
        test::writeFile(single + "/" + name, test::fiveCharts());
        test::writeFile(library + "/" + name, test::fiveCharts());
        const std::string base = std::string(name).substr(0, std::string(name).size() - 3);
        std::istringstream in(single + "/" + base + "\n");
        std::ostringstream out, err;
        ASSERT_EQ(RunDriver(in, out, err, [] {}).run(), kExitSuccess) << err.str();

        std::ostringstream said, errors;
        EXPECT_EQ(LibraryCommand(said, errors, false).run({library}), kExitSuccess) << errors.str();
        EXPECT_EQ(errors.str(), "");
        EXPECT_EQ(said.str(), "1 song in 1 folder: 1 sealed, 0 already-sealed, 0 refused, 0 failed, 0 unreadable\n");
        for (int n = 2; n <= 6; ++n) {
            const std::string sealed = "/" + base + "_" + std::to_string(n) + ".dat";
            EXPECT_EQ(test::readFile(library + sealed), test::readFile(single + sealed)) << sealed;
        }
        EXPECT_EQ(test::readFile(library + "/" + base + ".sm"), test::readFile(single + "/" + base + ".sm"));
    }
}

TEST(LibraryWalkNotes, WhatIsLeftOutIsSaid)
{
    GTEST_SKIP() << "links at chart names and to folders are made with POSIX calls; on Windows the walk takes a "
                    "junction or link to a folder through the same code, and a chart's name in capitals is a chart";
}

}  // namespace
}  // namespace chartseal
