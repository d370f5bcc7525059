// Two in-memory file systems behind one seam: a library whose songs lie on
// both, or whose songs are read from one and sealed into the other.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "MemoryFileSystem.h"

namespace chartseal::test {

// Two in-memory file systems as one, for a library whose songs lie on both:
// "one/<name>" is on the first, "two/<name>" on the second. A power cut
// strikes both at once, after the same operation.
class TwoFileSystems final : public FileOps {
private:
    static constexpr FileHandle kSecond = FileHandle{1} << 20;

    void keep()
    {
        if (!kept_ && count_ == keepAfter_) kept_.emplace(one_.state(), two_.state());
        ++count_;
    }
    template <typename Call>
    auto on(FileHandle f, Call call)
    {
        keep();
        return f >= kSecond ? call(two_, f - kSecond) : call(one_, f);
    }
    // The same for an operation that gives a new handle.
    template <typename Call>
    FileHandle mapped(FileHandle f, Call call)
    {
        const bool second = f >= kSecond;
        const FileHandle h = on(f, call);
        return second && h != kNoFile ? h + kSecond : h;
    }

public:
    TwoFileSystems(MemoryFileSystem& one, MemoryFileSystem& two) : one_(one), two_(two) {}

    void keepStateAfter(long operation) { keepAfter_ = operation; }
    void finish()
    {
        if (!kept_ && count_ == keepAfter_) kept_.emplace(one_.state(), two_.state());
    }
    long operations() const { return count_; }
    const std::optional<std::pair<MemoryFileSystem::State, MemoryFileSystem::State>>& kept() const
    {
        return kept_;
    }

    FileHandle openFolder(const std::string& path, std::error_code& ec) override
    {
        keep();
        if (path == "one") return one_.openFolder(".", ec);
        if (path == "two") return two_.openFolder(".", ec) + kSecond;
        ec = std::make_error_code(std::errc::no_such_file_or_directory);
        return kNoFile;
    }
    FileHandle openFolderInFolder(FileHandle f, const std::string& name, std::error_code& ec) override
    {
        return mapped(f, [&](FileOps& fs, FileHandle h) { return fs.openFolderInFolder(h, name, ec); });
    }
    FileHandle openParentFolder(FileHandle f, std::error_code& ec) override
    {
        return mapped(f, [&](FileOps& fs, FileHandle h) { return fs.openParentFolder(h, ec); });
    }
    // Only folders are opened by name here.
    FileHandle openForReading(const std::string&, std::error_code& ec) override
    {
        ec = std::make_error_code(std::errc::operation_not_supported);
        return kNoFile;
    }
    FileHandle openForWriting(const std::string&, std::error_code& ec) override
    {
        ec = std::make_error_code(std::errc::operation_not_supported);
        return kNoFile;
    }
    bool statusOfPath(const std::string&, FileStatus&, std::error_code& ec) override
    {
        ec = std::make_error_code(std::errc::operation_not_supported);
        return false;
    }
    FileHandle openInFolder(FileHandle f, const std::string& name, std::error_code& ec) override
    {
        return mapped(f, [&](FileOps& fs, FileHandle h) { return fs.openInFolder(h, name, ec); });
    }
    FileHandle createInFolder(FileHandle f, const std::string& name, std::uint32_t bits, std::error_code& ec) override
    {
        return mapped(f, [&](FileOps& fs, FileHandle h) { return fs.createInFolder(h, name, bits, ec); });
    }
    void createFolderInFolder(FileHandle f, const std::string& name, std::uint32_t bits, std::error_code& ec) override
    {
        on(f, [&](FileOps& fs, FileHandle h) {
            fs.createFolderInFolder(h, name, bits, ec);
            return 0;
        });
    }
    std::size_t readAt(FileHandle f, void* buf, std::size_t count, std::uint64_t offset, std::error_code& ec) override
    {
        return on(f, [&](FileOps& fs, FileHandle h) { return fs.readAt(h, buf, count, offset, ec); });
    }
    std::size_t write(FileHandle f, const void* buf, std::size_t count, std::error_code& ec) override
    {
        return on(f, [&](FileOps& fs, FileHandle h) { return fs.write(h, buf, count, ec); });
    }
    FileStatus status(FileHandle f, std::error_code& ec) override
    {
        return on(f, [&](FileOps& fs, FileHandle h) { return fs.status(h, ec); });
    }
    bool statusInFolder(FileHandle f, const std::string& name, FileStatus& st, std::error_code& ec) override
    {
        return on(f, [&](FileOps& fs, FileHandle h) { return fs.statusInFolder(h, name, st, ec); });
    }
    std::string readLinkInFolder(FileHandle f, const std::string& name, std::error_code& ec) override
    {
        return on(f, [&](FileOps& fs, FileHandle h) { return fs.readLinkInFolder(h, name, ec); });
    }
    void setOwner(FileHandle f, std::uint32_t owner, std::uint32_t group, std::error_code& ec) override
    {
        on(f, [&](FileOps& fs, FileHandle h) { fs.setOwner(h, owner, group, ec); });
    }
    void setAttributes(FileHandle f, std::uint32_t bits, std::error_code& ec) override
    {
        on(f, [&](FileOps& fs, FileHandle h) { fs.setAttributes(h, bits, ec); });
    }
    std::vector<ExtendedAttribute> extendedAttributes(FileHandle f, std::error_code& ec) override
    {
        return on(f, [&](FileOps& fs, FileHandle h) { return fs.extendedAttributes(h, ec); });
    }
    void setExtendedAttribute(FileHandle f, const std::string& name, const std::optional<std::string>& value,
                              std::error_code& ec) override
    {
        on(f, [&](FileOps& fs, FileHandle h) { fs.setExtendedAttribute(h, name, value, ec); });
    }
    void sync(FileHandle f, std::error_code& ec) override
    {
        on(f, [&](FileOps& fs, FileHandle h) { fs.sync(h, ec); });
    }
    void checkFolderSync(FileHandle f, std::error_code& ec) override
    {
        on(f, [&](FileOps& fs, FileHandle h) { fs.checkFolderSync(h, ec); });
    }
    void syncFileSystem(FileHandle f, std::error_code& ec) override
    {
        on(f, [&](FileOps& fs, FileHandle h) { fs.syncFileSystem(h, ec); });
    }
    bool syncsWholeFileSystem(FileHandle f, std::error_code& ec) override
    {
        return on(f, [&](FileOps& fs, FileHandle h) { return fs.syncsWholeFileSystem(h, ec); });
    }
    void writeBack(FileHandle f, std::uint64_t offset, std::uint64_t length, bool wait, std::error_code& ec) override
    {
        on(f, [&](FileOps& fs, FileHandle h) { fs.writeBack(h, offset, length, wait, ec); });
    }
    FileHandle tryLock(FileHandle f, std::error_code& ec) override
    {
        return mapped(f, [&](FileOps& fs, FileHandle h) { return fs.tryLock(h, ec); });
    }
    void close(FileHandle f, std::error_code& ec) override
    {
        on(f, [&](FileOps& fs, FileHandle h) { fs.close(h, ec); });
    }
    void renameInFolder(FileHandle f, const std::string& from, const std::string& to, std::error_code& ec) override
    {
        on(f, [&](FileOps& fs, FileHandle h) { fs.renameInFolder(h, from, to, ec); });
    }
    void removeInFolder(FileHandle f, const std::string& name, std::error_code& ec) override
    {
        on(f, [&](FileOps& fs, FileHandle h) { fs.removeInFolder(h, name, ec); });
    }
    std::vector<FolderEntry> listFolder(FileHandle f, std::error_code& ec) override
    {
        return on(f, [&](FileOps& fs, FileHandle h) { return fs.listFolder(h, ec); });
    }

private:
    MemoryFileSystem& one_;
    MemoryFileSystem& two_;
    long count_ = 0;
    long keepAfter_ = -1;
    std::optional<std::pair<MemoryFileSystem::State, MemoryFileSystem::State>> kept_;
};

}  // namespace chartseal::test
