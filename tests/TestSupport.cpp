// Scratch folders, files and process runs for the tests.
#include "TestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>

#include "run/RunDriver.h"
#include "format/SealKey.h"
#include "format/SealTransform.h"

namespace chartseal::test {

std::string FileOpsProbe::nameOf(FileHandle handle) const
{
    const std::lock_guard<std::mutex> hold(mutex_);
    const auto found = names_.find(handle);
    return found == names_.end() ? std::string("?") : found->second;
}

bool FileOpsProbe::proceed(const std::string& operation, const std::string& name, FileHandle handle,
                           std::error_code& ec)
{
    Call call;
    {
        // A library run calls from several threads at once; the hook runs
        // outside the lock, free to act on the world.
        const std::lock_guard<std::mutex> hold(mutex_);
        call = Call{++count_, operation + " " + name, handle};
        calls_.push_back(call.what);
    }
    ec.clear();
    if (before_) ec = before_(call);
    return !ec;
}

FileHandle FileOpsProbe::named(FileHandle handle, const std::string& name)
{
    const std::lock_guard<std::mutex> hold(mutex_);
    if (handle != kNoFile) names_[handle] = name;
    return handle;
}

FileHandle FileOpsProbe::openFolder(const std::string& path, std::error_code& ec)
{
    return proceed("openFolder", path, kNoFile, ec) ? named(inner_.openFolder(path, ec), path) : kNoFile;
}
FileHandle FileOpsProbe::openFolderInFolder(FileHandle folder, const std::string& name, std::error_code& ec)
{
    return proceed("openFolderInFolder", name, folder, ec) ? named(inner_.openFolderInFolder(folder, name, ec), name)
                                                           : kNoFile;
}
FileHandle FileOpsProbe::openForReading(const std::string& path, std::error_code& ec)
{
    return proceed("openForReading", path, kNoFile, ec) ? named(inner_.openForReading(path, ec), path) : kNoFile;
}
FileHandle FileOpsProbe::openInFolder(FileHandle folder, const std::string& name, std::error_code& ec)
{
    return proceed("openInFolder", name, folder, ec) ? named(inner_.openInFolder(folder, name, ec), name) : kNoFile;
}
FileHandle FileOpsProbe::openParentFolder(FileHandle folder, std::error_code& ec)
{
    return proceed("openParentFolder", folder, ec) ? named(inner_.openParentFolder(folder, ec), "parent of " + nameOf(folder))
                                                   : kNoFile;
}
FileHandle FileOpsProbe::openForWriting(const std::string& path, std::error_code& ec)
{
    return proceed("openForWriting", path, kNoFile, ec) ? named(inner_.openForWriting(path, ec), path) : kNoFile;
}
FileHandle FileOpsProbe::createInFolder(FileHandle folder, const std::string& name, std::uint32_t bits,
                                        std::error_code& ec)
{
    return proceed("createInFolder", name, folder, ec) ? named(inner_.createInFolder(folder, name, bits, ec), name)
                                                       : kNoFile;
}
void FileOpsProbe::createFolderInFolder(FileHandle folder, const std::string& name, std::uint32_t bits,
                                        std::error_code& ec)
{
    if (proceed("createFolderInFolder", name, folder, ec)) inner_.createFolderInFolder(folder, name, bits, ec);
}
std::size_t FileOpsProbe::readAt(FileHandle f, void* buf, std::size_t count, std::uint64_t offset, std::error_code& ec)
{
    return proceed("readAt", f, ec) ? inner_.readAt(f, buf, count, offset, ec) : 0;
}
std::size_t FileOpsProbe::write(FileHandle f, const void* buf, std::size_t count, std::error_code& ec)
{
    return proceed("write", f, ec) ? inner_.write(f, buf, count, ec) : 0;
}
FileStatus FileOpsProbe::status(FileHandle f, std::error_code& ec)
{
    return proceed("status", f, ec) ? inner_.status(f, ec) : FileStatus{};
}
bool FileOpsProbe::statusInFolder(FileHandle folder, const std::string& name, FileStatus& st, std::error_code& ec)
{
    return proceed("statusInFolder", name, folder, ec) && inner_.statusInFolder(folder, name, st, ec);
}
bool FileOpsProbe::statusOfPath(const std::string& path, FileStatus& st, std::error_code& ec)
{
    return proceed("statusOfPath", path, kNoFile, ec) && inner_.statusOfPath(path, st, ec);
}
std::string FileOpsProbe::readLinkInFolder(FileHandle folder, const std::string& name, std::error_code& ec)
{
    return proceed("readLinkInFolder", name, folder, ec) ? inner_.readLinkInFolder(folder, name, ec) : std::string();
}
void FileOpsProbe::setOwner(FileHandle f, std::uint32_t owner, std::uint32_t group, std::error_code& ec)
{
    if (proceed("setOwner", f, ec)) inner_.setOwner(f, owner, group, ec);
}
void FileOpsProbe::setAttributes(FileHandle f, std::uint32_t bits, std::error_code& ec)
{
    if (proceed("setAttributes", f, ec)) inner_.setAttributes(f, bits, ec);
}
std::vector<ExtendedAttribute> FileOpsProbe::extendedAttributes(FileHandle f, std::error_code& ec)
{
    return proceed("extendedAttributes", f, ec) ? inner_.extendedAttributes(f, ec) : std::vector<ExtendedAttribute>{};
}
void FileOpsProbe::setExtendedAttribute(FileHandle f, const std::string& name, const std::optional<std::string>& value,
                                        std::error_code& ec)
{
    if (proceed("setExtendedAttribute", f, ec)) inner_.setExtendedAttribute(f, name, value, ec);
}
void FileOpsProbe::sync(FileHandle f, std::error_code& ec)
{
    if (proceed("sync", f, ec)) inner_.sync(f, ec);
}
void FileOpsProbe::checkFolderSync(FileHandle folder, std::error_code& ec)
{
    if (proceed("checkFolderSync", folder, ec)) inner_.checkFolderSync(folder, ec);
}
void FileOpsProbe::syncFileSystem(FileHandle file, std::error_code& ec)
{
    if (proceed("syncFileSystem", file, ec)) inner_.syncFileSystem(file, ec);
}
bool FileOpsProbe::syncsWholeFileSystem(FileHandle folder, std::error_code& ec)
{
    return proceed("syncsWholeFileSystem", folder, ec) && inner_.syncsWholeFileSystem(folder, ec);
}
std::vector<FolderEntry> FileOpsProbe::listFolder(FileHandle folder, std::error_code& ec)
{
    return proceed("listFolder", folder, ec) ? inner_.listFolder(folder, ec) : std::vector<FolderEntry>{};
}
void FileOpsProbe::writeBack(FileHandle f, std::uint64_t offset, std::uint64_t length, bool wait, std::error_code& ec)
{
    if (proceed("writeBack", f, ec)) inner_.writeBack(f, offset, length, wait, ec);
}
FileHandle FileOpsProbe::tryLock(FileHandle f, std::error_code& ec)
{
    return proceed("tryLock", f, ec) ? named(inner_.tryLock(f, ec), "lock of " + nameOf(f)) : kNoFile;
}
void FileOpsProbe::close(FileHandle f, std::error_code& ec)
{
    // The handle is released even when close reports an error.
    const bool goOn = proceed("close", f, ec);
    {
        // Forgotten before the number is free for another thread's open.
        const std::lock_guard<std::mutex> hold(mutex_);
        names_.erase(f);
    }
    std::error_code closed;
    inner_.close(f, closed);
    if (goOn) ec = closed;
}
void FileOpsProbe::renameInFolder(FileHandle folder, const std::string& from, const std::string& to,
                                  std::error_code& ec)
{
    if (proceed("renameInFolder", from, folder, ec)) inner_.renameInFolder(folder, from, to, ec);
}
void FileOpsProbe::removeInFolder(FileHandle folder, const std::string& name, std::error_code& ec)
{
    if (proceed("removeInFolder", name, folder, ec)) inner_.removeInFolder(folder, name, ec);
}

FileOpsProbe::Before onceBefore(std::string when, std::function<void()> hook)
{
    auto fired = std::make_shared<bool>(false);
    return [when = std::move(when), hook = std::move(hook), fired](const FileOpsProbe::Call& call) {
        if (!*fired && call.is(when)) {
            *fired = true;
            hook();
        }
        return std::error_code();
    };
}

FileOpsProbe::Before failing(long k, std::error_code error)
{
    return [k, error](const FileOpsProbe::Call& call) { return call.number == k ? error : std::error_code(); };
}

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
    std::error_code ec;
    const FileHandle handle = ops.openForReading(path, ec);
    if (ec) throw RunError(path, "cannot open", ec);
    return File(ops, path, handle);
}

File createOutput(const std::string& path)
{
    std::error_code ec;
    std::filesystem::remove(pathOf(path), ec);
    FileOps& ops = systemFileOps();
    File folder = openFolderOf(ops, path);
    const FileHandle handle = ops.createInFolder(folder.handle(), entryOf(path), 0600, ec);
    if (ec) throw RunError(path, "cannot create", ec);
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
        out.push_back(static_cast<char>((static_cast<unsigned char>(slot[i]) + SealKey[i % SEAL_KEY_LENGTH]) % 256));
    }
    return out;
}

std::string unsealed(std::string_view bytes)
{
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out.push_back(static_cast<char>((static_cast<unsigned char>(bytes[i]) + 256 - SealKey[i % SEAL_KEY_LENGTH]) % 256));
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

std::string fiveCharts()
{
    return songHeader() + chartBlock("Beginner") + chartBlock("Easy") + chartBlock("Medium") + chartBlock("Hard") +
           chartBlock("Challenge");
}

std::string fiveChartsPlain()
{
    return songHeader() + chartBlock("Easy") + "\n" + chartBlock("Medium") + "\n";
}

std::map<std::string, std::string> fiveChartsSealedFolder(const std::string& base)
{
    return {
        {base + ".sm", fiveChartsPlain()},
        {base + "_2.dat", ""},
        {base + "_3.dat", sealed(chartBlock("Hard"))},
        {base + "_4.dat", sealed(chartBlock("Challenge"))},
        {base + "_5.dat", sealed(chartBlock("Beginner"))},
        {base + "_6.dat", ""},
    };
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
