// Helpers shared by the tests: scratch folders, whole-file reads and writes,
// and runs of the built programs.
#pragma once

#include <gtest/gtest.h>

#include "io/FileOps.h"

#include <optional>
#include <string>
#include <string_view>

namespace chartseal::test {

// Passes every operation to the system; a test double overrides the ones it
// changes.
class ForwardingFileOps : public FileOps {
public:
    int open(const std::string& path, int flags, mode_t mode) override { return real.open(path, flags, mode); }
    ssize_t read(int fd, void* buf, std::size_t count) override { return real.read(fd, buf, count); }
    ssize_t pread(int fd, void* buf, std::size_t count, off_t offset) override
    {
        return real.pread(fd, buf, count, offset);
    }
    ssize_t write(int fd, const void* buf, std::size_t count) override { return real.write(fd, buf, count); }
    int fstat(int fd, struct stat* st) override { return real.fstat(fd, st); }
    int stat(const std::string& path, struct stat* st) override { return real.stat(path, st); }
    int lstat(const std::string& path, struct stat* st) override { return real.lstat(path, st); }
    int fchmod(int fd, mode_t mode) override { return real.fchmod(fd, mode); }
    int fchown(int fd, uid_t owner, gid_t group) override { return real.fchown(fd, owner, group); }
    int ftruncate(int fd, off_t length) override { return real.ftruncate(fd, length); }
    int fsync(int fd) override { return real.fsync(fd); }
    int flock(int fd, int operation) override { return real.flock(fd, operation); }
    int startWriteback(int fd, off_t offset, off_t length) override
    {
        return real.startWriteback(fd, offset, length);
    }
    int waitForWriteback(int fd, off_t offset, off_t length) override
    {
        return real.waitForWriteback(fd, offset, length);
    }
    int close(int fd) override { return real.close(fd); }
    int rename(const std::string& from, const std::string& to) override { return real.rename(from, to); }
    int unlink(const std::string& path) override { return real.unlink(path); }
    std::string realpath(const std::string& path) override { return real.realpath(path); }

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
