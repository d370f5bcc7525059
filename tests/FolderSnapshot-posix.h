// A POSIX folder as a test compares it before and after a run: every name
// with what it is, its owner, group, mode, access list and bytes.
#pragma once

#include <sys/stat.h>
#include <sys/xattr.h>

#include <filesystem>
#include <map>
#include <string>

#include "TestSupport.h"

namespace chartseal::test {

inline std::string describeEntry(const std::filesystem::path& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return "<gone>";
    std::string what = "ino " + std::to_string(st.st_ino) + " mode " + std::to_string(st.st_mode & 0177777) +
                       " owner " + std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " links " +
                       std::to_string(st.st_nlink);
    if (S_ISLNK(st.st_mode)) return what + " -> " + std::filesystem::read_symlink(path).string();
    char acl[512];
    const ssize_t n = ::lgetxattr(path.c_str(), "system.posix_acl_access", acl, sizeof acl);
    if (n > 0) what += " acl " + std::to_string(std::hash<std::string>{}(std::string(acl, static_cast<std::size_t>(n))));
    if (S_ISREG(st.st_mode)) what += ": " + readFile(path.string()).value_or("<unreadable>");
    return what;
}

inline std::map<std::string, std::string> snapshot(const std::string& dir)
{
    std::map<std::string, std::string> entries;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        entries[entry.path().filename().string()] = describeEntry(entry.path());
    }
    return entries;
}

}  // namespace chartseal::test
