// Helpers shared by the tests: scratch folders, whole-file reads and writes,
// and runs of the built programs.
#pragma once

#include <gtest/gtest.h>

#include "io/FileOps.h"

#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace chartseal::test {

// Passes every operation to the system; a test double overrides the ones it
// changes.
class ForwardingFileOps : public FileOps {
public:
    FileHandle openForReading(const std::string& path) override { return real.openForReading(path); }
    FileHandle openOutput(const std::string& path, bool create) override { return real.openOutput(path, create); }
    std::ptrdiff_t read(FileHandle f, void* buf, std::size_t count) override { return real.read(f, buf, count); }
    std::ptrdiff_t readAt(FileHandle f, void* buf, std::size_t count, std::uint64_t offset) override
    {
        return real.readAt(f, buf, count, offset);
    }
    std::ptrdiff_t write(FileHandle f, const void* buf, std::size_t count) override
    {
        return real.write(f, buf, count);
    }
    int status(FileHandle f, FileStatus& st) override { return real.status(f, st); }
    int statusOf(const std::string& path, FileStatus& st) override { return real.statusOf(path, st); }
    int linkStatusOf(const std::string& path, FileStatus& st) override { return real.linkStatusOf(path, st); }
    int setOwner(FileHandle f, std::uint32_t owner, std::uint32_t group) override
    {
        return real.setOwner(f, owner, group);
    }
    int setAttributes(FileHandle f, std::uint32_t bits) override { return real.setAttributes(f, bits); }
    int truncate(FileHandle f, std::uint64_t length) override { return real.truncate(f, length); }
    int sync(FileHandle f) override { return real.sync(f); }
    int syncFolder(const std::string& folder) override { return real.syncFolder(folder); }
    int startWriteback(FileHandle f, std::uint64_t offset, std::uint64_t length) override
    {
        return real.startWriteback(f, offset, length);
    }
    int waitForWriteback(FileHandle f, std::uint64_t offset, std::uint64_t length) override
    {
        return real.waitForWriteback(f, offset, length);
    }
    FileHandle tryLock(FileHandle f) override { return real.tryLock(f); }
    int unlock(FileHandle lock) override { return real.unlock(lock); }
    int close(FileHandle f) override { return real.close(f); }
    int replace(const std::string& from, const std::string& to) override { return real.replace(from, to); }
    int remove(const std::string& path) override { return real.remove(path); }
    std::string resolve(const std::string& path) override { return real.resolve(path); }

protected:
    FileOps& real = systemFileOps();
};

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

// A folder with song.sm in it, and whole runs of the tool in-process on it.
class SongFolderTest : public TempDirTest {
protected:
    int runTool(FileOps& ops = systemFileOps());
    std::string chart() const;
    std::string outName(int n) const { return at("song_" + std::to_string(n) + ".dat"); }
    std::string outFile(int n) const;
    // How many of the six output names are taken.
    int createdOutputs() const;
    std::ostringstream err;
};

void writeFile(const std::string& path, const std::string& bytes);
// The file opened for reading, or a new empty file (in place of any there)
// opened for writing, through the system's seam.
File openForReading(const std::string& path);
File createOutput(const std::string& path);
// The file's bytes, or nothing when it cannot be read.
std::optional<std::string> readFile(const std::string& path);
bool exists(const std::string& path);

// The path of a name held as UTF-8, as the run holds names.
std::filesystem::path pathOf(const std::string& name);

// A new folder for one test's files; its name is the system's own (on
// Windows, with backslashes).
std::string makeTempDir();

struct ProcessResult {
    int status = -1;  // exit status as a script sees it; 124 when it had to be stopped
    std::string out;
    std::string err;
};

// A built program started in folder dir with input on its standard input and
// its output and errors kept, on either system.
class Process {
public:
    Process(const std::string& program, const std::string& dir, const std::string& input,
            const std::vector<std::string>& args = {});
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process();
    // Waits for it to end, stopping it after a minute.
    ProcessResult wait();

private:
    struct Running;
    std::string io_;
    Running* running_ = nullptr;
};

// Runs program in folder dir with input on its standard input.
ProcessResult runProgram(const std::string& program, const std::string& dir, const std::string& input,
                         const std::vector<std::string>& args = {});

// The status a script sees when main returns status: -1 shows as 255 in a
// POSIX shell and as -1 on Windows.
int statusAsSeen(int status);

// A stop request as the system sends one to a running chartseal: the POSIX
// signals, or Windows' console events, by the number the run reports.
struct StopRequest {
    int number;
    const char* name;
};
std::vector<StopRequest> stopRequests();
// Sends it to this process now.
void sendStopRequest(int number);

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
