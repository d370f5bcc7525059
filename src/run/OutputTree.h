// The folder a library is sealed into (chartseal-library --into): its top,
// opened or made, its lock, the folders below it opened from the top by
// their handles and made where missing, and the outputs in it whose song is
// gone.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "io/FileOps.h"

namespace chartseal {

// The outputs in the tree of a song that a run wrote there before and did
// not find now: its chart file "<song>.sm", whichever of "<song>_2.dat" to
// "<song>_6.dat" are beside it, and new files a stopped run left
// (".<name>.partial").
struct StaleOutput {
    std::string output;              // the chart file's name, or the new file's, as shown
    std::vector<std::string> files;  // their names, as shown
    bool removed = false;
    std::string message;             // why it could not be removed
};

// A song's place in the tree: the folders below the top and its name.
struct TreeSong {
    std::vector<std::string> rel;
    std::string song;
};

class OutputTree {
public:
    // Opens the tree's top by its path (links in the path followed, as for
    // any path the caller gives). Where it is missing and create is set, it
    // is made, with the folders above it that are missing, as mkdir -p
    // does (the top with bits, less the umask, the others as mkdir -p makes
    // them); otherwise the tree stays empty. Throws RunError.
    OutputTree(FileOps& ops, std::string path, bool create, std::uint32_t bits = 0777);

    bool exists() const { return top_.isOpen(); }
    const std::string& path() const { return path_; }
    File& top() { return top_; }

    // One run writes into a tree at a time: the top's lock, held as long as
    // the tree is open. Throws a refusal where another run holds it.
    void lock();

    // The folder at rel (entries below the top), each opened from the one
    // above by its handle, never through a link; where missing and create
    // is set, made with no more access than `like` gives (a folder's
    // attributes), the folder above synced where syncEach is set (else a
    // sync of the file system later makes it durable). Empty where missing
    // and not made. Throws a refusal where a link or anything but a folder
    // is at a folder's name. May be called from many threads at once; the
    // folder stays open until closeFolders.
    File* folder(const std::vector<std::string>& rel, bool create, const FileAttributes& like, bool syncEach);
    // Whether this run made the folder at rel (so it held nothing of the
    // run's songs before them).
    bool made(const std::vector<std::string>& rel);
    // Closes the folders below the top opened so far.
    void closeFolders();

    // The name of the entry at rel, as shown.
    std::string shown(const std::vector<std::string>& rel, const std::string& entry) const;

    // The songs the tree holds outputs of, by its record (a file at its
    // top, ".chartseal-outputs": each song's place, NUL-ended), read where
    // the tree exists. Throws a refusal where the record is not a regular
    // file.
    void readRecord();
    // Adds the songs to the record before their outputs are written, and
    // writes it (a new file, synced, renamed over the old one) where any is
    // new.
    void recordSongs(const std::vector<TreeSong>& songs);
    // Gives found each song of the record that is not in current (by
    // outputKey) and still has files in the tree: its chart file, sealed
    // files and new files a stopped run left; with remove, removes them
    // (the sealed files first, made durable before the chart file goes),
    // and the song leaves the record. Other files are never touched.
    void staleOutputs(const std::set<std::string>& current, bool remove,
                      const std::function<void(const StaleOutput&)>& found);

private:
    void writeRecord();

    FileOps& ops_;
    std::string path_;
    File top_;
    FileLock lock_;
    std::mutex mutex_;  // folders are opened and made one at a time
    std::map<std::string, File> folders_;  // below the top, by outputKey(rel, "")
    std::set<std::string> made_;           // by this run, the same way
    std::map<std::string, TreeSong> record_;  // by outputKey
    bool partialLeft_ = false;                // a new record a stopped run left
};

// How a key of OutputTree::staleOutputs's current is made: rel and the song
// joined by "/", in lower case where the system's names ignore case.
std::string outputKey(const std::vector<std::string>& rel, const std::string& song);

}  // namespace chartseal
