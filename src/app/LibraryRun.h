// A whole song library in one process: each song through the same stages as
// one chartseal run (SealJob), many at a time, with the file system synced
// once per phase for all of them rather than file by file.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "io/FileOps.h"

namespace chartseal {

enum class LibraryMode { seal, dryRun, check };

// What became of one song; the names are the report's.
enum class SongResult { sealed, alreadySealed, wouldSeal, prepared, refused, failed, unreadable, notPrepared, damaged };
const char* resultName(SongResult result);
// True where the library run counts as a success for that song.
bool isSuccess(SongResult result);

struct SongReport {
    std::string chart;  // "<base>.sm"
    SongResult result = SongResult::failed;
    std::string ordinals;               // the ordinal line, where the chart could be surveyed
    std::vector<std::string> plain;     // the difficulties that stay (or stayed) in plain text
    std::vector<std::string> sealed;    // the difficulties sealed (or that would be)
    std::uint64_t bytes = 0;            // the chart's size when surveyed
    std::string message;                // why, where the song was not sealed; or a note
};

// Every "<name>.sm" that is a regular file under the folders (recursively,
// links not followed), as base names, in order. A folder that cannot be read
// is reported to unreadable, with the reason, and passed over.
std::vector<std::string> findSongs(FileOps& ops, const std::vector<std::string>& folders,
                                   const std::function<void(const std::string& folder, const std::string& why)>& unreadable);

class LibraryRun {
public:
    struct Options {
        LibraryMode mode = LibraryMode::seal;
        int jobs = 1;               // songs worked on at once
        std::size_t batch = 48;     // songs between two syncs of the file system
    };
    // done receives each song's report, in the order of the bases, from one
    // thread at a time; checkpoint is called between steps and may throw
    // (RunError::interrupted) to stop the run.
    LibraryRun(FileOps& ops, Options options, std::function<void(const SongReport&)> done,
               std::function<void()> checkpoint = {});

    // Works through the songs. On a stop, the songs whose chart was replaced
    // are made durable and reported, the others are undone (as a chartseal
    // run undoes itself) and not reported, and the stop is thrown on.
    void run(const std::vector<std::string>& bases);

private:
    struct Song;
    // Surveys a song's chart, fills what its report tells of it, and locks
    // and partitions it.
    void surveyAndLock(Song& song);
    void sealBatch(std::vector<Song>& songs);
    void dryRun(Song& song);
    void check(Song& song);
    // Calls work for every song still going, on up to jobs threads.
    void forEach(std::vector<Song>& songs, const std::function<void(Song&)>& work);
    // Syncs every file system that a song still going is on; where that
    // fails, so do its songs.
    void barrier(std::vector<Song>& songs);

    FileOps& ops_;
    Options options_;
    std::function<void(const SongReport&)> done_;
    std::function<void()> checkpoint_;
    // Whether the file system can be synced as a whole (not on Windows):
    // without, each song syncs its own files.
    bool atBarrier_ = false;
    std::optional<RunError> stop_;  // the stop that ends the run
};

}  // namespace chartseal
