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

    FileHandle openForReading(const std::string& path) override
    {
        return fails("open " + path) ? kNoFile : real.openForReading(path);
    }
    FileHandle openOutput(const std::string& path, bool create) override
    {
        return fails("open " + path) ? kNoFile : real.openOutput(path, create);
    }
    std::ptrdiff_t read(FileHandle f, void* buf, std::size_t count) override
    {
        return fails("read") ? -1 : real.read(f, buf, count);
    }
    std::ptrdiff_t readAt(FileHandle f, void* buf, std::size_t count, std::uint64_t offset) override
    {
        return fails("readAt") ? -1 : real.readAt(f, buf, count, offset);
    }
    std::ptrdiff_t write(FileHandle f, const void* buf, std::size_t count) override
    {
        return fails("write") ? -1 : real.write(f, buf, count);
    }
    int status(FileHandle f, FileStatus& st) override { return fails("status") ? -1 : real.status(f, st); }
    int statusOf(const std::string& path, FileStatus& st) override
    {
        return fails("statusOf " + path) ? -1 : real.statusOf(path, st);
    }
    int linkStatusOf(const std::string& path, FileStatus& st) override
    {
        return fails("linkStatusOf " + path) ? -1 : real.linkStatusOf(path, st);
    }
    int setOwner(FileHandle f, std::uint32_t owner, std::uint32_t group) override
    {
        return fails("setOwner") ? -1 : real.setOwner(f, owner, group);
    }
    int setAttributes(FileHandle f, std::uint32_t bits) override
    {
        return fails("setAttributes") ? -1 : real.setAttributes(f, bits);
    }
    int truncate(FileHandle f, std::uint64_t length) override
    {
        return fails("truncate") ? -1 : real.truncate(f, length);
    }
    int sync(FileHandle f) override { return fails("sync") ? -1 : real.sync(f); }
    int syncFolder(const std::string& folder) override
    {
        return fails("syncFolder " + folder) ? -1 : real.syncFolder(folder);
    }
    int startWriteback(FileHandle f, std::uint64_t offset, std::uint64_t length) override
    {
        return fails("startWriteback") ? -1 : real.startWriteback(f, offset, length);
    }
    int waitForWriteback(FileHandle f, std::uint64_t offset, std::uint64_t length) override
    {
        return fails("waitForWriteback") ? -1 : real.waitForWriteback(f, offset, length);
    }
    FileHandle tryLock(FileHandle f) override { return fails("tryLock") ? kNoFile : real.tryLock(f); }
    // Not a place to fail: letting go of a lock loses no data, and the run
    // does not look at how it went.
    int unlock(FileHandle lock) override { return real.unlock(lock); }
    int close(FileHandle f) override
    {
        // The handle is released even when close reports an error.
        if (fails("close")) {
            real.close(f);
            return -1;
        }
        return real.close(f);
    }
    int replace(const std::string& from, const std::string& to) override
    {
        return fails("replace " + from) ? -1 : real.replace(from, to);
    }
    int remove(const std::string& path) override { return fails("remove " + path) ? -1 : real.remove(path); }
    std::string resolve(const std::string& path) override
    {
        return fails("resolve " + path) ? std::string() : real.resolve(path);
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
