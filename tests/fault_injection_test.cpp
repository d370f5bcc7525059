// A failure injected at every file operation of a run in turn: the chart file
// holds its old bytes or exactly its new bytes, never anything else.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <sstream>

#include "TestSupport.h"
#include "app/ExitStatus.h"
#include "app/RunDriver.h"

namespace chartseal {
namespace {

// Passes every operation to the system but fails the k-th one.
class FaultyFileOps final : public test::ForwardingFileOps {
public:
    FaultyFileOps(long failAt, int err) : failAt_(failAt), err_(err) {}
    long count() const { return count_; }
    const std::string& failed() const { return failed_; }

    int open(const std::string& path, int flags, mode_t mode) override
    {
        return fails("open " + path) ? -1 : real.open(path, flags, mode);
    }
    ssize_t read(int fd, void* buf, std::size_t count) override
    {
        return fails("read") ? -1 : real.read(fd, buf, count);
    }
    ssize_t pread(int fd, void* buf, std::size_t count, off_t offset) override
    {
        return fails("pread") ? -1 : real.pread(fd, buf, count, offset);
    }
    ssize_t write(int fd, const void* buf, std::size_t count) override
    {
        return fails("write") ? -1 : real.write(fd, buf, count);
    }
    int fstat(int fd, struct stat* st) override { return fails("fstat") ? -1 : real.fstat(fd, st); }
    int stat(const std::string& path, struct stat* st) override
    {
        return fails("stat " + path) ? -1 : real.stat(path, st);
    }
    int lstat(const std::string& path, struct stat* st) override
    {
        return fails("lstat " + path) ? -1 : real.lstat(path, st);
    }
    int fchmod(int fd, mode_t mode) override { return fails("fchmod") ? -1 : real.fchmod(fd, mode); }
    int fchown(int fd, uid_t owner, gid_t group) override
    {
        return fails("fchown") ? -1 : real.fchown(fd, owner, group);
    }
    int ftruncate(int fd, off_t length) override { return fails("ftruncate") ? -1 : real.ftruncate(fd, length); }
    int fsync(int fd) override { return fails("fsync") ? -1 : real.fsync(fd); }
    int flock(int fd, int operation) override { return fails("flock") ? -1 : real.flock(fd, operation); }
    int startWriteback(int fd, off_t offset, off_t length) override
    {
        return fails("startWriteback") ? -1 : real.startWriteback(fd, offset, length);
    }
    int waitForWriteback(int fd, off_t offset, off_t length) override
    {
        return fails("waitForWriteback") ? -1 : real.waitForWriteback(fd, offset, length);
    }
    int close(int fd) override
    {
        // The descriptor is released even when close reports an error.
        if (fails("close")) {
            real.close(fd);
            return -1;
        }
        return real.close(fd);
    }
    int rename(const std::string& from, const std::string& to) override
    {
        return fails("rename " + from) ? -1 : real.rename(from, to);
    }
    int unlink(const std::string& path) override { return fails("unlink " + path) ? -1 : real.unlink(path); }
    std::string realpath(const std::string& path) override
    {
        return fails("realpath " + path) ? std::string() : real.realpath(path);
    }

private:
    bool fails(const std::string& what)
    {
        if (++count_ != failAt_) return false;
        failed_ = what;
        errno = err_;
        return true;
    }

    long failAt_;
    int err_;
    long count_ = 0;
    std::string failed_;
};

struct Scenario {
    const char* name;
    bool emptySealedFilesBefore;  // an earlier run left empty sealed files
    friend void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }
};

class FaultInjection : public test::TempDirTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(FaultInjection, EveryFailedOperationLeavesTheChartWholeAndSaysSoOnce)
{
    using test::chartBlock;
    const std::string header = test::songHeader();
    const std::string original = header + chartBlock("Beginner") + chartBlock("Easy") + chartBlock("Medium") +
                                 chartBlock("Hard") + chartBlock("Challenge") + chartBlock("Edit");
    const std::string final = header + chartBlock("Easy") + "\n" + chartBlock("Medium") + "\n";
    const std::array<std::string, 7> expectedSealed{
        "", "", "", test::sealed(chartBlock("Hard")), test::sealed(chartBlock("Challenge")), test::sealed(chartBlock("Beginner")),
        test::sealed(chartBlock("Edit"))};
    const std::string base = at("song");
    auto outFile = [&](int n) { return base + "_" + std::to_string(n) + ".dat"; };

    long injected = 0;
    for (long k = 1;; ++k) {
        SCOPED_TRACE("failing operation " + std::to_string(k));
        std::filesystem::remove_all(dir());
        std::filesystem::create_directory(dir());
        test::writeFile(base + ".sm", original);
        if (GetParam().emptySealedFilesBefore) {
            for (int n = 2; n <= 6; ++n) test::writeFile(outFile(n), "");
        }

        FaultyFileOps ops(k, k % 2 ? EIO : ENOSPC);
        std::istringstream in(base + "\n");
        std::ostringstream out, err;
        const int status = RunDriver(in, out, err, [] {}, ops).run();
        if (ops.count() < k) {
            ASSERT_EQ(status, kExitSuccess) << err.str();
            break;  // the run completed without reaching operation k
        }
        ++injected;
        SCOPED_TRACE("which was " + ops.failed());

        const std::string chart = test::readFile(base + ".sm").value_or("<missing>");
        ASSERT_TRUE(chart == original || chart == final);
        ASSERT_NE(status, kExitSuccess) << "a failed " << ops.failed() << " was reported as success";
        const std::string message = err.str();
        ASSERT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
        ASSERT_EQ(message.rfind("chartseal: ", 0), 0u) << message;
        ASSERT_FALSE(test::exists(outFile(1)));

        if (chart == original) {
            // Nothing of this run is left: created files are gone, earlier
            // empty ones are empty again.
            for (int n = 2; n <= 6; ++n) {
                if (GetParam().emptySealedFilesBefore) {
                    ASSERT_EQ(test::readFile(outFile(n)), "") << "file " << n;
                } else {
                    ASSERT_FALSE(test::exists(outFile(n))) << "file " << n;
                }
            }
        } else {
            // Replaced, then a later step failed: every sealed file is complete.
            for (int n = 2; n <= 6; ++n) ASSERT_EQ(test::readFile(outFile(n)), expectedSealed[n]) << "file " << n;
        }
    }
    EXPECT_GT(injected, 40);  // a run of this chart takes that many file operations
    RecordProperty("injected", static_cast<int>(injected));
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultInjection,
                         ::testing::Values(Scenario{"FreshFolder", false}, Scenario{"EmptySealedFilesBefore", true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace chartseal
