// The library run: songs in batches, each batch through the output phases
// together, with one sync of the file system between two phases.
//
// Group commit keeps every promise of a single run. Within a batch, every
// song's plain file is written before the barrier and no song's sealed file
// is created until after it, so a plain file is whole and named on disk
// before any sealed file of its song exists; every sealed file is on disk
// before the barrier that precedes the renames; and the renames are on disk
// at the barrier after them, before any chart's lock goes. A sync of the file
// system makes all of that durable at once, as a sync of each file and
// folder would. The clean-up of a song that fails keeps its own syncs.
#include "app/LibraryRun.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>

#include "app/SealJob.h"
#include "chart/DifficultyTable.h"
#include "format/SealKey.h"
#include "format/SealTransform.h"
#include "output/OutputWriter.h"

namespace chartseal {

namespace {

constexpr std::string_view kSeparator = "//---------------";

std::string difficultyOfSlot(int slot)
{
    for (const Difficulty& d : kDifficultyTable) {
        if (d.slot == slot) return std::string(d.keyword);
    }
    return {};
}

// Easy, then the plain second slot's difficulty, where present.
std::vector<std::string> plainNames(const OrdinalTable& ordinals)
{
    std::vector<std::string> names;
    if (ordinals.present(kEasy)) names.emplace_back(kDifficultyTable[kEasy].keyword);
    if (const int second = OutputWriter::plainSecondSlot(ordinals)) names.push_back(difficultyOfSlot(second));
    return names;
}

// The present difficulties whose slot is sealed, by slot.
std::vector<std::string> sealedNames(const OrdinalTable& ordinals)
{
    std::vector<std::string> names;
    const int first = OutputWriter::firstSealedSlot(ordinals);
    for (int slot = std::max(first, 3); first != 0 && slot <= kSlotCount; ++slot) {
        for (int index = 0; index < kDifficultyCount; ++index) {
            if (kDifficultyTable[index].slot == slot && ordinals.present(index)) {
                names.emplace_back(kDifficultyTable[index].keyword);
            }
        }
    }
    return names;
}

SongResult resultOf(Failure failure)
{
    switch (failure) {
    case Failure::sealedAlready: return SongResult::alreadySealed;
    case Failure::refused: return SongResult::refused;
    case Failure::chartUnreadable: return SongResult::unreadable;
    case Failure::failed:
    case Failure::interrupted: break;
    }
    return SongResult::failed;
}

}  // namespace

const char* resultName(SongResult result)
{
    switch (result) {
    case SongResult::sealed: return "sealed";
    case SongResult::alreadySealed: return "already-sealed";
    case SongResult::wouldSeal: return "would-seal";
    case SongResult::prepared: return "prepared";
    case SongResult::refused: return "refused";
    case SongResult::failed: return "failed";
    case SongResult::unreadable: return "unreadable";
    case SongResult::notPrepared: return "not-prepared";
    case SongResult::damaged: return "damaged";
    }
    return "failed";
}

bool isSuccess(SongResult result)
{
    switch (result) {
    case SongResult::sealed:
    case SongResult::alreadySealed:
    case SongResult::wouldSeal:
    case SongResult::prepared: return true;
    default: return false;
    }
}

std::vector<std::string> findSongs(FileOps& ops, const std::vector<std::string>& folders,
                                   const std::function<void(const std::string&, const std::string&)>& unreadable)
{
    std::vector<std::string> bases;
    std::vector<std::string> pending(folders.rbegin(), folders.rend());
    while (!pending.empty()) {
        const std::string folder = pending.back();
        pending.pop_back();
        std::error_code ec;
        const FileHandle handle = ops.openFolder(folder, ec);
        if (ec) {
            unreadable(folder, "cannot read folder: " + ec.message());
            continue;
        }
        File open(ops, folder, handle);
        std::vector<FolderEntry> entries = ops.listFolder(handle, ec);
        if (ec) {
            unreadable(folder, "cannot read folder: " + ec.message());
            continue;
        }
        std::sort(entries.begin(), entries.end(), [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
        const std::string prefix = folder.ends_with('/') ? folder : folder + "/";
        std::vector<std::string> below;
        for (const FolderEntry& entry : entries) {
            if (entry.kind == FileKind::directory) {
                below.push_back(prefix + entry.name);
            } else if (entry.kind == FileKind::regular && entry.name.size() > 3 && entry.name.ends_with(".sm")) {
                bases.push_back(prefix + entry.name.substr(0, entry.name.size() - 3));
            }
        }
        pending.insert(pending.end(), below.rbegin(), below.rend());
    }
    std::sort(bases.begin(), bases.end());
    return bases;
}

struct LibraryRun::Song {
    std::unique_ptr<SealJob> job;
    SongReport report;
    bool going = true;  // no result yet
    std::optional<OutputWriter::PlainDurable> plain;
    std::optional<OutputWriter::AllDurable> all;
    bool replaced = false;
};

LibraryRun::LibraryRun(FileOps& ops, Options options, std::function<void(const SongReport&)> done,
                       std::function<void()> checkpoint)
    : ops_(ops), options_(options), done_(std::move(done)), checkpoint_(std::move(checkpoint))
{
    if (!checkpoint_) checkpoint_ = [] {};
    options_.jobs = std::max(options_.jobs, 1);
    options_.batch = std::max<std::size_t>(options_.batch, 1);
}

void LibraryRun::run(const std::vector<std::string>& bases)
{
    if (options_.mode == LibraryMode::seal && !bases.empty()) {
        // Whether the file system takes one sync for all: tried once, on the
        // first song's folder. Anything but success means file-by-file syncs.
        std::error_code ec;
        const FileHandle folder = ops_.openFolder(folderOf(bases.front() + ".sm"), ec);
        if (!ec) {
            const File open(ops_, folderOf(bases.front() + ".sm"), folder);
            ops_.syncFileSystem(folder, ec);
            atBarrier_ = !ec;
        }
    }
    for (std::size_t from = 0; from < bases.size(); from += options_.batch) {
        std::vector<Song> songs(std::min(options_.batch, bases.size() - from));
        for (std::size_t i = 0; i < songs.size(); ++i) {
            songs[i].job = std::make_unique<SealJob>(ops_, bases[from + i]);
            songs[i].report.chart = songs[i].job->chartPath();
        }
        stop_.reset();
        switch (options_.mode) {
        case LibraryMode::seal: sealBatch(songs); break;
        case LibraryMode::dryRun: forEach(songs, [this](Song& song) { dryRun(song); }); break;
        case LibraryMode::check: forEach(songs, [this](Song& song) { check(song); }); break;
        }
        // A song still going was stopped: undone, and not reported.
        for (Song& song : songs) {
            song.job.reset();
            if (!song.going) done_(song.report);
        }
        if (stop_) throw *stop_;
    }
}

void LibraryRun::forEach(std::vector<Song>& songs, const std::function<void(Song&)>& work)
{
    std::atomic<std::size_t> next{0};
    std::mutex stopping;
    const auto finish = [](Song& song, SongResult result, const std::string& message) {
        song.report.result = result;
        song.report.message = message;
        song.going = false;
        song.job.reset();  // undoes what it did, as a failed run does
    };
    const auto worker = [&] {
        for (std::size_t i; (i = next++) < songs.size();) {
            Song& song = songs[i];
            if (!song.going) continue;
            try {
                {
                    const std::lock_guard<std::mutex> lock(stopping);
                    if (stop_) return;
                }
                checkpoint_();
                work(song);
            } catch (const RunError& e) {
                if (e.failure() == Failure::interrupted) {
                    const std::lock_guard<std::mutex> lock(stopping);
                    if (!stop_) stop_ = e;
                    continue;
                }
                finish(song, resultOf(e.failure()), e.what());
            } catch (const std::bad_alloc&) {
                finish(song, SongResult::failed, shownName(song.report.chart) + ": out of memory");
            } catch (const std::exception& e) {
                finish(song, SongResult::failed, shownName(song.report.chart) + ": " + e.what());
            }
        }
    };
    const int helpers = std::min<int>(options_.jobs, static_cast<int>(songs.size())) - 1;
    std::vector<std::thread> threads;
    for (int t = 0; t < helpers; ++t) threads.emplace_back(worker);
    worker();
    for (std::thread& thread : threads) thread.join();
}

void LibraryRun::barrier(std::vector<Song>& songs)
{
    if (!atBarrier_) return;
    // One sync per file system that a song still going is on.
    std::map<std::uint64_t, std::optional<RunError>> synced;
    for (Song& song : songs) {
        if (!song.job || (!song.going && !song.replaced)) continue;
        File& folder = song.job->folder();
        const std::uint64_t volume = folder.identity().volume;
        if (synced.count(volume) == 0) {
            std::error_code ec;
            ops_.syncFileSystem(folder.handle(), ec);
            synced[volume] = ec ? std::optional<RunError>(RunError(folder.path(), "cannot sync", ec)) : std::nullopt;
        }
        if (const std::optional<RunError>& failed = synced[volume]) {
            song.report.result = SongResult::failed;
            song.report.message = failed->what();
            song.going = false;
            if (!song.replaced) song.job.reset();
            continue;
        }
        song.job->writer({}, {}).barrierPassed();
    }
}

void LibraryRun::surveyAndLock(Song& song)
{
    SealJob& job = *song.job;
    song.report.ordinals = job.survey().toLine();
    song.report.bytes = job.surveyedSize();
    song.report.plain = plainNames(job.ordinals());
    song.report.sealed = sealedNames(job.ordinals());
    job.lockAndPartition();
}

void LibraryRun::sealBatch(std::vector<Song>& songs)
{
    forEach(songs, [this](Song& song) {
        surveyAndLock(song);
        SealJob& job = *song.job;
        OutputWriter& writer = job.writer(
            checkpoint_, [&song](const std::string& line) { song.report.message = line; },
            atBarrier_ ? OutputWriter::Syncs::atBarrier : OutputWriter::Syncs::now);
        song.plain.emplace(writer.writePlain(writer.clearLeftovers(writer.inspect())));
    });
    if (stop_) return;
    barrier(songs);
    forEach(songs, [](Song& song) { song.all.emplace(song.job->writer({}, {}).writeSealed(std::move(*song.plain))); });
    if (stop_) return;
    barrier(songs);
    forEach(songs, [](Song& song) {
        song.job->writer({}, {}).replaceChart(std::move(*song.all));
        song.replaced = true;
    });
    // Even after a stop: the charts already replaced are made durable.
    barrier(songs);
    for (Song& song : songs) {
        if (!song.replaced) continue;
        if (song.going) {
            song.report.result = SongResult::sealed;
            song.going = false;
        }
        song.job->release();
    }
}

void LibraryRun::dryRun(Song& song)
{
    surveyAndLock(song);
    SealJob& job = *song.job;
    job.writer(checkpoint_, {}).inspect(true);
    song.report.result = SongResult::wouldSeal;
    song.going = false;
    job.release();
}

void LibraryRun::check(Song& song)
{
    surveyAndLock(song);
    song.report.sealed.clear();  // what the sealed files hold, below
    SealJob& job = *song.job;
    File& folder = job.folder();
    const auto finish = [&song](SongResult result, const std::string& message) {
        song.report.result = result;
        song.report.message = message;
        song.going = false;
    };

    const std::string baseEntry = entryOf(job.base());
    std::array<std::optional<FileStatus>, kSlotCount + 1> found;
    for (int number = 1; number <= kSlotCount; ++number) {
        FileStatus st;
        std::error_code ec;
        if (ops_.statusInFolder(folder.handle(), entryOf(OutputWriter::outPath(baseEntry, number)), st, ec)) {
            found[number] = st;
        } else if (ec) {
            throw RunError(OutputWriter::outPath(job.base(), number), "cannot check", ec);
        }
    }
    const auto name = [&](int number) { return shownName(OutputWriter::outPath(job.base(), number)); };
    if (found[1]) {
        return finish(SongResult::notPrepared, name(1) + ": a run did not finish; run chartseal again");
    }
    for (int number = 2; number <= kSlotCount; ++number) {
        if (!found[number]) {
            const bool none = std::none_of(found.begin() + 2, found.end(), [](const auto& f) { return f.has_value(); });
            return finish(SongResult::notPrepared, none ? shownName(job.chartPath()) + ": not sealed"
                                                        : name(number) + ": missing");
        }
    }

    // Each sealed file read back whole: empty where its charts stay plain,
    // otherwise whole chart lines that begin with a chart's separator.
    const int second = OutputWriter::plainSecondSlot(job.ordinals());
    std::vector<char> block(64 << 10);
    for (int number = 2; number <= kSlotCount; ++number) {
        const FileStatus& st = *found[number];
        if (!st.isRegular()) return finish(SongResult::damaged, name(number) + ": is " + describeKind(st.kind));
        if (st.size() == 0) continue;
        if (second == 0 || number <= second) {
            return finish(SongResult::damaged, name(number) + ": holds charts that the chart keeps in plain text");
        }
        std::error_code ec;
        const FileHandle handle = ops_.openInFolder(folder.handle(), entryOf(OutputWriter::outPath(baseEntry, number)), ec);
        if (ec) return finish(SongResult::damaged, name(number) + ": cannot open: " + ec.message());
        File file(ops_, OutputWriter::outPath(job.base(), number), handle);
        std::string head;
        char last = '\n';
        std::uint64_t offset = 0;
        try {
            while (const std::size_t n = file.readAt(block.data(), block.size(), offset)) {
                unsealBytes(block.data(), block.data(), n, static_cast<std::size_t>(offset % SEAL_KEY_LENGTH));
                if (head.size() < kSeparator.size()) head.append(block.data(), std::min(n, kSeparator.size() - head.size()));
                last = block[n - 1];
                offset += n;
            }
        } catch (const RunError& e) {
            return finish(SongResult::damaged, e.what());
        }
        if (!std::string_view(head).starts_with(kSeparator)) {
            return finish(SongResult::damaged, name(number) + ": does not read back as charts");
        }
        if (last != '\n' || offset != st.size()) return finish(SongResult::damaged, name(number) + ": is cut short");
        song.report.sealed.push_back(difficultyOfSlot(number));
    }
    finish(SongResult::prepared, "");
    job.release();
}

}  // namespace chartseal
