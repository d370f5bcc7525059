// Helpers shared by the tests: scratch folders, whole-file reads and writes,
// and runs of the built programs.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

namespace chartseal::test {

// A fresh folder per test, removed afterwards unless the test failed.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // An absolute path inside the folder.
    std::string at(const std::string& name) const { return dir_ + "/" + name; }
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
};

void writeFile(const std::string& path, const std::string& bytes);
// The file's bytes, or nothing when it cannot be read.
std::optional<std::string> readFile(const std::string& path);
bool exists(const std::string& path);

struct ProcessResult {
    int status = -1;  // exit status as the shell sees it
    std::string out;
    std::string err;
};
// Runs program in folder dir with input on its standard input.
ProcessResult runProgram(const std::string& program, const std::string& dir, const std::string& input,
                         const std::string& args = "");

// The sealed form of a slot, as a sealed chart file holds it, and back.
std::string sealed(std::string_view slot);
std::string unsealed(std::string_view bytes);

// A chart block: separator, notes tag, the five indented fields and two
// measures of notes, each line ended by eol.
std::string chartBlock(const std::string& difficulty, const std::string& style = "step-single",
                       const std::string& eol = "\n");
// A song header of tag lines.
std::string songHeader(const std::string& eol = "\n");

}  // namespace chartseal::test
