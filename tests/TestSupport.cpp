// Scratch folders, files and process runs for the tests.
#include "TestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>

#include "app/RunDriver.h"
#include "output/SealKey.h"

namespace chartseal::test {

std::filesystem::path pathOf(const std::string& name)
{
    return std::filesystem::path(std::u8string(name.begin(), name.end()));
}

std::string makeTempDir()
{
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (;;) {
        const auto name = std::filesystem::temp_directory_path() / ("chartseal-test-" + std::to_string(random() % 1000000000));
        if (std::filesystem::create_directory(name)) return name.string();
    }
}

void TempDirTest::SetUp()
{
    dir_ = makeTempDir();
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

int SongFolderTest::runTool(FileOps& ops)
{
    std::istringstream in(at("song") + "\n");
    std::ostringstream out;
    err.str("");
    return RunDriver(in, out, err, [] {}, ops).run();
}

std::string SongFolderTest::chart() const
{
    return readFile(at("song.sm")).value_or("<missing>");
}

std::string SongFolderTest::outFile(int n) const
{
    return readFile(outName(n)).value_or("<missing>");
}

int SongFolderTest::createdOutputs() const
{
    int n = 0;
    for (int i = 1; i <= 6; ++i) n += exists(outName(i));
    return n;
}

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(pathOf(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

std::optional<std::string> readFile(const std::string& path)
{
    std::ifstream in(pathOf(path), std::ios::binary);
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
    std::error_code ec;
    return std::filesystem::symlink_status(pathOf(path), ec).type() != std::filesystem::file_type::not_found &&
           !ec;
}

ProcessResult runProgram(const std::string& program, const std::string& dir, const std::string& input,
                         const std::vector<std::string>& args)
{
    return Process(program, dir, input, args).wait();
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
