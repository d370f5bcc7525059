// The library run into an output tree (chartseal-library --into): each song
// read where it is and sealed into the tree, in batches with group commit
// like a run in place. A song's new files are all written before the first
// barrier, renamed over their names after it, and the renames are made
// durable by the barrier after that; a song whose outputs already hold
// what the run would write is not written at all.
#include <algorithm>
#include <map>

#include "run/LibraryRun.h"
#include "run/LibraryRunSong.h"

namespace chartseal {

namespace {

// The folders between the folder the caller named and the song's folder.
std::vector<std::string> relOf(const SongLibrary& library, std::size_t index)
{
    std::vector<std::string> rel;
    for (const LibraryFolder* folder = &library.folders.at(index); folder->parent != LibraryFolder::kNamed;
         folder = &library.folders.at(folder->parent)) {
        rel.push_back(folder->entry);
    }
    std::reverse(rel.begin(), rel.end());
    return rel;
}

// A chart with non-empty sealed files beside it is a sealed song's plain
// part: sealing it again would lose what those files hold from the tree.
void refuseSealedSource(SealJob& job)
{
    const std::array<std::optional<FileStatus>, kSlotCount> found = job.outputsFound();
    std::array<bool, kSlotCount> taken{};
    bool anyHeld = false;
    for (std::size_t i = 0; i < found.size(); ++i) {
        taken[i] = found[i].has_value();
        anyHeld = anyHeld || (i > 0 && found[i] && found[i]->size() > 0);
    }
    const SealState state = sealStateOf(taken);
    if (anyHeld && (state == SealState::sealed || state == SealState::incomplete)) {
        throw refusal(job.chartPath(), "is sealed already: its sealed files are beside it, so it keeps only its plain "
                                       "part; to seal it into a tree, put it back first with: chartunseal --restore -- " +
                                           shownName(shellWord(job.base())));
    }
}

}  // namespace

void LibraryRun::openTree()
{
    const bool sealing = options_.mode == LibraryMode::seal;
    // Made where missing, the tree lists no more to others than every
    // folder of songs does.
    std::uint32_t bits = 0777;
    for (std::size_t i = 0; sealing && i < library_->folders.size(); ++i) {
        if (library_->folders[i].parent != LibraryFolder::kNamed) continue;
        try {
            bits &= openLibraryFolder(ops_, *library_, i).status().attributes.bits;
        } catch (const RunError&) {
            // Its songs say why; the tree is made for those that can be read.
        }
    }
    tree_.emplace(ops_, *options_.into, sealing, bits | 0700);
    if (sealing) tree_->lock();
    if (tree_->exists()) treeAtBarrier_ = sealing && groupCommit(tree_->top(), tree_->top().identity().volume);
    tree_->readRecord();
    const std::vector<LibrarySong>& songs = library_->songs;
    places_.assign(songs.size(), {});
    std::map<std::string, std::size_t> taken;
    for (std::size_t i = 0; i < songs.size(); ++i) {
        TreePlace& place = places_[i];
        place.rel = relOf(*library_, songs[i].folder);
        place.song = entryOf(songs[i].base);
        const std::string key = outputKey(place.rel, place.song);
        current_.insert(key);
        const auto [other, first] = taken.emplace(key, i);
        if (!first) {
            place.clash = songs[other->second].base + ".sm";
            if (places_[other->second].clash.empty()) places_[other->second].clash = songs[i].base + ".sm";
        }
    }
    // Every song the run may write is in the tree's record before a byte of
    // it is, so that whatever a stop or a power cut leaves, a later run
    // knows the files for its own.
    if (sealing) {
        std::vector<TreeSong> recorded;
        for (const TreePlace& place : places_) recorded.push_back({place.rel, place.song});
        tree_->recordSongs(recorded);
    }
}

void LibraryRun::intoTree(Song& song, bool write)
{
    const TreePlace& place = places_[static_cast<std::size_t>(song.source - library_->songs.data())];
    const std::string outBase = tree_->shown(place.rel, place.song);
    song.report.output = outBase + ".sm";
    if (!place.clash.empty()) {
        throw refusal(song.report.chart, "would be sealed to the same place as " + shownName(place.clash) + " (" +
                                             shownName(song.report.output) +
                                             "); give --into folders whose songs have places of their own");
    }
    surveyAndPartition(song, false);
    SealJob& job = *song.job;
    refuseSealedSource(job);
    const SongPlan& plan = job.plan();
    song.report.files = {{song.report.output, plan.plainCharts().texts()}};
    for (int number = 2; number <= kSlotCount; ++number) {
        song.report.files.push_back({tree_->shown(place.rel, TreeWriter::outputEntry(place.song, number)),
                                     plan.output(number).charts.texts()});
    }
    const auto finish = [&](SongResult result) {
        song.report.result = result;
        song.going = false;
        song.outFolder = nullptr;
        job.release();
        advance(song, song.source->bytes, true);
    };
    const FileAttributes like = job.folder().status().attributes;
    File* out = tree_->folder(place.rel, write, like, !treeAtBarrier_);
    if (out == nullptr) {
        // A dry run, and the song's folder is not there yet: all of it new.
        for (const FileCharts& file : song.report.files) song.report.changed.push_back(file.file);
        return finish(SongResult::wouldSeal);
    }
    song.outFolder = out;
    song.volume = out->identity().volume;
    song.atBarrier = write && groupCommit(*out, song.volume);
    TreeWriter& writer = job.treeWriter(*out, outBase, song.atBarrier, checkpoint_);
    const int differ = writer.compare(write && tree_->made(place.rel));
    song.report.changed = writer.differing();
    if (write) writer.removeLeftovers();
    if (differ == 0) return finish(SongResult::upToDate);
    if (!write) return finish(SongResult::wouldSeal);
    writer.writeNew();
    job.closeChart();
    advance(song, song.source->bytes / 2, false);
}

void LibraryRun::intoBatch(std::vector<Song>& songs)
{
    forEach(songs, [this](Song& song) { intoTree(song, true); });
    if (stop_) return;
    barrier(songs);
    putInPlace(songs, [](Song& song) { song.job->treeWriter().putInPlace(); });
}

void LibraryRun::staleOutputs(bool remove, const std::function<void(const StaleOutput&)>& found)
{
    if (!tree_) return;
    tree_->staleOutputs(current_, remove && options_.mode == LibraryMode::seal, found);
}

}  // namespace chartseal
