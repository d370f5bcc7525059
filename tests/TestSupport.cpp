// Scratch folders, files and process runs for the tests.
#include "TestSupport.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "output/SealKey.h"

namespace chartseal::test {

void TempDirTest::SetUp()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "chartseal-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
}

void TempDirTest::TearDown()
{
    if (HasFailure()) {
        std::cerr << "test files kept in " << dir_ << '\n';
        return;
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

std::optional<std::string> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

File openForReading(const std::string& path)
{
    FileOps& ops = systemFileOps();
    const FileHandle handle = ops.openForReading(path);
    if (handle == kNoFile) throw FileError::fromErrno(path, errno);
    return File(ops, path, handle);
}

File createOutput(const std::string& path)
{
    FileOps& ops = systemFileOps();
    ops.remove(path);
    const FileHandle handle = ops.openOutput(path, true);
    if (handle == kNoFile) throw FileError::fromErrno(path, errno);
    return File(ops, path, handle);
}

bool exists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

ProcessResult runProgram(const std::string& program, const std::string& dir, const std::string& input,
                         const std::string& args)
{
    const std::string io = dir + "/.io";
    std::filesystem::create_directory(io);
    writeFile(io + "/in", input);
    const std::string command = "cd '" + dir + "' && '" + program + "' " + args + " < '" + io + "/in' > '" + io +
                                "/out' 2> '" + io + "/err'";
    const int raw = std::system(command.c_str());
    ProcessResult result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    result.out = readFile(io + "/out").value_or("");
    result.err = readFile(io + "/err").value_or("");
    std::filesystem::remove_all(io);
    return result;
}

// The tests' own transform, byte by byte from the pinned key table, so that
// no expected sealed byte comes from the code under test.
std::string sealed(std::string_view slot)
{
    std::string out;
    for (std::size_t i = 0; i < slot.size(); ++i) {
        out.push_back(static_cast<char>((static_cast<unsigned char>(slot[i]) + SealKey[i % 137]) % 256));
    }
    return out;
}

std::string unsealed(std::string_view bytes)
{
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out.push_back(static_cast<char>((static_cast<unsigned char>(bytes[i]) + 256 - SealKey[i % 137]) % 256));
    }
    return out;
}

std::string chartBlock(const std::string& difficulty, const std::string& style, const std::string& eol)
{
    std::string block;
    for (const std::string& line : {
             "//---------------" + style + " - " + difficulty + "----------------",
             std::string("#NOTES:"),
             "     " + style + ":",
             std::string("     chartseal team:"),
             "     " + difficulty + ":",
             std::string("     4:"),
             std::string("     0.250,0.125,0.000,0.000,0.000:"),
             std::string("1000"), std::string("0100"), std::string("0010"), std::string("0001"),
             std::string(","),
             std::string("1001"), std::string("0000"), std::string("0110"), std::string("0000"),
             std::string(";"),
         }) {
        block += line + eol;
    }
    return block;
}

std::string songHeader(const std::string& eol)
{
    std::string header;
    for (const char* line : {"#TITLE:Glass Harbour;", "#ARTIST:The Lantern Rows;", "#OFFSET:-0.012;",
                             "#BPMS:0.000=128.000;", ""}) {
        header += std::string(line) + eol;
    }
    return header;
}

}  // namespace chartseal::test
