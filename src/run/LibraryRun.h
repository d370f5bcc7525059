// A whole song library in one process: each song through the same stages as
// one chartseal run (SealJob), many at a time, with the file system synced
// once per phase for all of them rather than file by file, where that is
// known to be as durable.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "io/FileOps.h"
#include "run/OutputTree.h"

namespace chartseal {

enum class LibraryMode { seal, dryRun, check };

// What became of one song; the names are the report's. notStarted: a stop
// came before the song was finished, and it is as it was found.
enum class SongResult {
    sealed,
    upToDate,
    alreadySealed,
    wouldSeal,
    prepared,
    refused,
    failed,
    unreadable,
    notPrepared,
    damaged,
    notStarted
};
const char* resultName(SongResult result);
// True where the library run counts as a success for that song.
bool isSuccess(SongResult result);

// One file of a song and the charts it holds (or will hold), each as its
// style and difficulty ("dance-single Hard").
struct FileCharts {
    std::string file;                 // its entry in the song's folder
    std::vector<std::string> charts;
};

struct SongReport {
    std::string chart;  // "<base>.sm"
    SongResult result = SongResult::failed;
    std::string ordinals;               // the ordinal line, where the chart could be surveyed
    std::vector<std::string> plain;     // the charts the chart file keeps (or will keep) in plain text
    std::vector<std::string> sealed;    // the charts the sealed files hold (or will hold)
    std::vector<FileCharts> files;      // the chart file and each sealed file, with its charts
    std::vector<std::string> exposed;   // the charts kept plain beyond Easy and one further difficulty
    std::uint64_t bytes = 0;            // the chart's size when surveyed
    std::string message;                // why, where the song was not sealed; or a note
    std::string output;                 // sealing into a tree: the chart file there, as shown
    std::vector<std::string> changed;   // sealing into a tree: the files there written anew (or to be)
};

// A folder that the walk went through.
struct LibraryFolder {
    static constexpr std::size_t kNamed = std::numeric_limits<std::size_t>::max();
    std::string path;              // for messages, and the songs' base names
    std::size_t parent = kNamed;   // the folder it is an entry of; kNamed for one named by the caller
    std::string entry;             // its entry there
    FileIdentity identity;         // as the walk found it: the same volume and number mean the same folder
};

struct LibrarySong {
    std::string base;        // "<folder>/<name>", the chart being "<base>.sm"
    std::size_t folder = 0;  // in SongLibrary::folders
    std::uint64_t bytes = 0; // the chart's size when listed
};

// What the walk found: every folder once and every chart once, by identity,
// however often the caller named them (through ".", a trailing slash, a
// link or a folder above), the songs in the order of their names.
struct SongLibrary {
    std::vector<LibraryFolder> folders;
    std::vector<LibrarySong> songs;
};

// Every "<name>.sm" under the folders (recursively, each folder opened from
// the one above it by its handle, links to folders not followed, with a
// note), and each chart named as a path: that song alone. A chart name that
// is a link within its folder stands for the chart it leads to; one that
// leads out of the folder or to nothing is listed all the same, for its run
// to refuse as a chartseal run would. Where names tell case apart,
// "<name>.SM" is no chart, and left out with a note. A folder that cannot
// be read is reported to unreadable, with the reason, and passed over; note
// receives a line on each other thing left out.
SongLibrary findSongs(FileOps& ops, const std::vector<std::string>& paths,
                      const std::function<void(const std::string& folder, const std::string& why)>& unreadable,
                      const std::function<void(const std::string& line)>& note = {});

// The folders that findSongs goes through for the paths: each folder, and
// the folder of each chart named.
std::vector<std::string> walkedFolders(FileOps& ops, const std::vector<std::string>& paths);

// Opens a folder of the library again as the walk went: one named by the
// caller by its name, any other from its parent, opened the same way, by
// its entry there, never through a link. Throws a refusal where it is not
// the folder the walk listed (swapped for a link or another folder since).
File openLibraryFolder(FileOps& ops, const SongLibrary& library, std::size_t folder);

// Where a song goes in an output tree: the folders below the top, like
// those below the folder it was found in, and its name.
struct TreePlace {
    std::vector<std::string> rel;
    std::string song;
    std::string clash;  // another song's chart with the same place, where one has it
};

class LibraryRun {
public:
    struct Options {
        LibraryMode mode = LibraryMode::seal;
        int jobs = 1;               // songs worked on at once
        std::size_t batch = 48;     // songs between two syncs of the file system
        // Where set, the songs are sealed into this folder (a tree like the
        // folders they are found in) and the charts are only read; a song
        // whose outputs there hold what this run would write is left alone.
        // Not with check.
        std::optional<std::string> into;
    };
    // done receives each song's report, in the order of the songs, from one
    // thread at a time; checkpoint is called between steps and may throw
    // (RunError::interrupted) to stop the run. progress, where given, is
    // told of each song's work as its steps end: parts of its listed size
    // that add up to it, the last with songDone; from any thread, one at a
    // time.
    using Progress = std::function<void(std::uint64_t bytes, bool songDone)>;
    LibraryRun(FileOps& ops, Options options, std::function<void(const SongReport&)> done,
               std::function<void()> checkpoint = {}, Progress progress = {});

    // Works through the songs. On a stop, the songs whose chart was replaced
    // are made durable and reported, the others are undone (as a chartseal
    // run undoes itself) and reported as not started, as is every song after
    // them, and the stop is thrown on.
    void run(const SongLibrary& library);

    // How many threads the last run started beside its own (fewer than
    // asked where the system would not start more).
    int helpersStarted() const { return helpersStarted_; }

    // Sealing into a tree, after run: gives found the outputs there of songs
    // the tree's record holds and this run did not find (new files stopped
    // runs left on them included); with remove (and not a dry run), removes
    // them.
    void staleOutputs(bool remove, const std::function<void(const StaleOutput&)>& found);

private:
    struct Song;
    // Surveys a song's chart in its folder, fills what its report tells of
    // it, and locks (where it is to be sealed) and partitions it.
    void surveyAndPartition(Song& song, bool lock);
    void sealBatch(std::vector<Song>& songs);
    void dryRun(Song& song);
    void check(Song& song);
    // Calls work for every song still going, on up to jobs threads.
    void forEach(std::vector<Song>& songs, const std::function<void(Song&)>& work);
    // Syncs every file system that takes one sync for all and that a song
    // still going is on; where that fails, so do its songs.
    void barrier(std::vector<Song>& songs);
    // Whether the file system of the folder (on this volume) takes one sync
    // for all, as far as is known for certain; asked once per file system.
    bool groupCommit(File& folder, std::uint64_t volume);
    // Tells progress of the song's work up to the part given of its size.
    void advance(Song& song, std::uint64_t upTo, bool songDone);
    // Sealing into a tree: opens (or, sealing, makes) the tree, takes its
    // lock, and gives each song its place there; songs whose places meet
    // are refused.
    void openTree();
    // A song into the tree up to its new files (or, in a dry run, its
    // compare); the batch with its barriers.
    void intoTree(Song& song, bool write);
    void intoBatch(std::vector<Song>& songs);
    // The last phase of a batch: step puts each song in place (renames its
    // new files), then one barrier, and those songs are sealed.
    void putInPlace(std::vector<Song>& songs, const std::function<void(Song&)>& step);

    FileOps& ops_;
    Options options_;
    std::function<void(const SongReport&)> done_;
    std::function<void()> checkpoint_;
    Progress progress_;
    const SongLibrary* library_ = nullptr;
    std::mutex mutex_;  // for what the threads share below
    std::map<std::uint64_t, bool> groupCommit_;  // by volume
    std::optional<RunError> stop_;  // the stop that ends the run
    int helpersStarted_ = 0;
    std::optional<OutputTree> tree_;
    bool treeAtBarrier_ = false;  // the tree's top on a file system that takes one sync for all
    std::vector<TreePlace> places_;  // by song, sealing into a tree
    std::set<std::string> current_;         // the songs' places in the tree, by outputKey
};

}  // namespace chartseal
