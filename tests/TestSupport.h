// Helpers shared by the tests: scratch folders, whole-file reads and writes,
// and runs of the built programs.
#pragma once

#include <gtest/gtest.h>

#include "io/FileOps.h"

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace chartseal::test {

// The one test double of the seam: passes every operation on to another
// implementation (the system's, or a file system in memory), numbering each
// and saying what it is in words: "<operation> <name>", the name being the
// path or folder entry the file was opened by ("write song_3.dat",
// "sync song_1.dat", "renameInFolder song_1.dat", "createInFolder
// song_6.dat"). Before each one it calls `before`, which may act on the
// world first (edit the chart, send a signal) and may fail the operation by
// returning the error it is to report.
class FileOpsProbe final : public FileOps {
public:
    struct Call {
        long number;       // from 1
        std::string what;  // "<operation> <name>"
        FileHandle handle; // the file operated on, or kNoFile
        bool is(std::string_view text) const { return what.starts_with(text); }
    };
    using Before = std::function<std::error_code(const Call&)>;

    explicit FileOpsProbe(Before before = {}, FileOps& inner = systemFileOps())
        : before_(std::move(before)), inner_(inner)
    {
    }
    long count() const { return count_; }
    // Every operation so far, in order.
    const std::vector<std::string>& calls() const { return calls_; }
    // The name a handle was opened by.
    std::string nameOf(FileHandle handle) const;
    FileOps& inner() { return inner_; }

    FileHandle openFolder(const std::string& path, std::error_code& ec) override;
    FileHandle openFolderInFolder(FileHandle folder, const std::string& name, std::error_code& ec) override;
    FileHandle openForReading(const std::string& path, std::error_code& ec) override;
    FileHandle openInFolder(FileHandle folder, const std::string& name, std::error_code& ec) override;
    FileHandle openParentFolder(FileHandle folder, std::error_code& ec) override;
    FileHandle openForWriting(const std::string& path, std::error_code& ec) override;
    FileHandle createInFolder(FileHandle folder, const std::string& name, std::uint32_t bits,
                              std::error_code& ec) override;
    void createFolderInFolder(FileHandle folder, const std::string& name, std::uint32_t bits,
                              std::error_code& ec) override;
    std::size_t readAt(FileHandle f, void* buf, std::size_t count, std::uint64_t offset, std::error_code& ec) override;
    std::size_t write(FileHandle f, const void* buf, std::size_t count, std::error_code& ec) override;
    FileStatus status(FileHandle f, std::error_code& ec) override;
    bool statusInFolder(FileHandle folder, const std::string& name, FileStatus& st, std::error_code& ec) override;
    bool statusOfPath(const std::string& path, FileStatus& st, std::error_code& ec) override;
    std::string readLinkInFolder(FileHandle folder, const std::string& name, std::error_code& ec) override;
    void setOwner(FileHandle f, std::uint32_t owner, std::uint32_t group, std::error_code& ec) override;
    void setAttributes(FileHandle f, std::uint32_t bits, std::error_code& ec) override;
    std::vector<ExtendedAttribute> extendedAttributes(FileHandle f, std::error_code& ec) override;
    void setExtendedAttribute(FileHandle f, const std::string& name, const std::optional<std::string>& value,
                              std::error_code& ec) override;
    void sync(FileHandle f, std::error_code& ec) override;
    void checkFolderSync(FileHandle folder, std::error_code& ec) override;
    void syncFileSystem(FileHandle file, std::error_code& ec) override;
    bool syncsWholeFileSystem(FileHandle folder, std::error_code& ec) override;
    std::vector<FolderEntry> listFolder(FileHandle folder, std::error_code& ec) override;
    void writeBack(FileHandle f, std::uint64_t offset, std::uint64_t length, bool wait, std::error_code& ec) override;
    FileHandle tryLock(FileHandle f, std::error_code& ec) override;
    void close(FileHandle f, std::error_code& ec) override;
    void renameInFolder(FileHandle folder, const std::string& from, const std::string& to,
                        std::error_code& ec) override;
    void removeInFolder(FileHandle folder, const std::string& name, std::error_code& ec) override;

private:
    // True when the operation is to go on; otherwise ec holds its failure.
    bool proceed(const std::string& operation, const std::string& name, FileHandle handle, std::error_code& ec);
    bool proceed(const std::string& operation, FileHandle handle, std::error_code& ec)
    {
        return proceed(operation, nameOf(handle), handle, ec);
    }
    FileHandle named(FileHandle handle, const std::string& name);

    Before before_;
    FileOps& inner_;
    long count_ = 0;
    std::vector<std::string> calls_;
    std::map<FileHandle, std::string> names_;
    mutable std::mutex mutex_;  // over the three above
};

// A probe's `before` that calls hook once, just before the first operation
// whose description starts with when.
FileOpsProbe::Before onceBefore(std::string when, std::function<void()> hook);
// A probe's `before` that fails the k-th operation with error.
FileOpsProbe::Before failing(long k, std::error_code error);

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

// Gives the file to another owner and group where the runner may (as root
// on POSIX systems); does nothing elsewhere.
void giveAway(const std::string& path, std::uint32_t owner, std::uint32_t group);

// Whether a file that another handle holds open for reading can be renamed
// over: on POSIX systems it can; on Windows it cannot, whatever the locks.
bool openFilesCanBeReplaced();

// The system's own message for a name that does not exist.
std::string noSuchFile();

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

// The song most tests seal: the header, then Beginner, Easy, Medium, Hard and
// Challenge charts in that order; what its chart file holds after a finished
// run (the header and Easy, a line feed, Medium, a line feed); and each of
// its output files then, by name ("song.sm", "song_2.dat" to "song_6.dat").
std::string fiveCharts();
std::string fiveChartsPlain();
std::map<std::string, std::string> fiveChartsSealedFolder(const std::string& base = "song");

}  // namespace chartseal::test
