// The library run: songs in batches, each batch through the output phases
// together, with one sync of each file system that is known to make
// everything on it durable between two phases; songs on any other file
// system sync each file and folder at its step, as a single run does.
//
// Group commit keeps every promise of a single run. Within a batch, every
// song's plain file is written before the barrier and no song's sealed file
// is created until after it, so a plain file is whole and named on disk
// before any sealed file of its song exists; every sealed file is on disk
// before the barrier that precedes the renames; and the renames are on disk
// at the barrier after them, before any chart's lock goes. A sync of the file
// system makes all of that durable at once, as a sync of each file and
// folder would. The clean-up of a song that fails keeps its own syncs.
#include "run/LibraryRun.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <thread>

#include "run/LibraryRunSong.h"
#include "run/SealJob.h"
#include "chart/DifficultyTable.h"
#include "chart/ChartNames.h"
#include "chart/ChartScanner.h"
#include "output/ChartSealer.h"
#include "output/SongPlan.h"
#include "output/OutputWriter.h"

namespace chartseal {

namespace {

constexpr std::string_view kSeparator = "//---------------";

// The song's files as its plan says they will be.
std::vector<FileCharts> plannedFiles(const SongPlan& plan, const std::string& chartEntry)
{
    std::vector<FileCharts> files{{chartEntry, plan.plainCharts().texts()}};
    for (int number = 2; number <= kSlotCount; ++number) {
        files.push_back({entryOf(plan.output(number).name), plan.output(number).charts.texts()});
    }
    return files;
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
    case SongResult::upToDate: return "up-to-date";
    case SongResult::alreadySealed: return "already-sealed";
    case SongResult::wouldSeal: return "would-seal";
    case SongResult::prepared: return "prepared";
    case SongResult::refused: return "refused";
    case SongResult::failed: return "failed";
    case SongResult::unreadable: return "unreadable";
    case SongResult::notPrepared: return "not-prepared";
    case SongResult::damaged: return "damaged";
    case SongResult::notStarted: return "not-started";
    }
    return "failed";
}

bool isSuccess(SongResult result)
{
    switch (result) {
    case SongResult::sealed:
    case SongResult::upToDate:
    case SongResult::alreadySealed:
    case SongResult::wouldSeal:
    case SongResult::prepared: return true;
    default: return false;
    }
}

namespace {

// Whether the name is a chart's: "<name>.sm"; where the system's names
// ignore case (Windows), in any case, as a chartseal run would find it.
bool isChartName(std::string_view name)
{
    if (name.size() <= 3) return false;
    const std::string_view ending = name.substr(name.size() - 3);
    if (ending == ".sm") return true;
    return namesIgnoreCase() && ending[0] == '.' && (ending[1] == 's' || ending[1] == 'S') &&
           (ending[2] == 'm' || ending[2] == 'M');
}

// "<name>.SM", "<name>.Sm", ...: a chart's name in another case, which where
// names tell case apart no chartseal run opens.
bool isChartNameInOtherCase(std::string_view name)
{
    if (name.size() <= 3 || isChartName(name)) return false;
    const std::string_view ending = name.substr(name.size() - 3);
    return ending[0] == '.' && (ending[1] == 's' || ending[1] == 'S') && (ending[2] == 'm' || ending[2] == 'M');
}

// Whether the caller named a chart rather than a folder: a name that ends
// as a chart's and is no folder (a missing one too: its run says so).
bool namesChart(FileOps& ops, const std::string& path)
{
    if (!isChartName(entryOf(path))) return false;
    FileStatus st;
    std::error_code ec;
    return !ops.statusOfPath(path, st, ec) || st.kind != FileKind::directory;
}

// A walk of the folders below one, each opened from the one above by its
// handle: a folder swapped for a link while the walk goes is never followed.
class Walk {
public:
    Walk(FileOps& ops, SongLibrary& library,
         const std::function<void(const std::string&, const std::string&)>& unreadable,
         const std::function<void(const std::string&)>& note)
        : ops_(ops),
          library_(library),
          unreadable_([&unreadable](const std::string& folder, const std::string& why) {
              if (unreadable) unreadable(folder, why);
          }),
          note_([&note](const std::string& line) {
              if (note) note(line);
          })
    {
    }

    void named(const std::string& path)
    {
        std::error_code ec;
        const FileHandle handle = ops_.openFolder(path, ec);
        if (ec) return unreadable_(path, "cannot read folder: " + ec.message());
        visit(File(ops_, path, handle), path, LibraryFolder::kNamed, "", 0);
    }

    // A chart named by the caller: that song alone, in its folder, which is
    // counted once however it was reached.
    void namedChart(const std::string& path)
    {
        const std::string folderPath = folderOf(path);
        std::error_code ec;
        const FileHandle handle = ops_.openFolder(folderPath, ec);
        if (ec) return unreadable_(folderPath, "cannot read folder: " + ec.message());
        File folder(ops_, folderPath, handle);
        const FileStatus st = ops_.status(folder.handle(), ec);
        if (ec) return unreadable_(folderPath, "cannot read folder: " + ec.message());
        std::size_t& index = seen_.try_emplace({st.identity.volume, st.identity.index}, kUnlisted).first->second;
        if (index == kUnlisted) {
            index = library_.folders.size();
            library_.folders.push_back({folderPath, LibraryFolder::kNamed, "", st.identity});
        }
        addChart(folder, entryOf(path), path.substr(0, path.size() - 3), index);
    }

private:
    // Folders deeper than this are left out with a line: a loop of bind
    // mounts cannot keep the walk going for ever.
    static constexpr int kDeepest = 256;
    // A folder seen that could not be listed: it has no index.
    static constexpr std::size_t kUnlisted = std::numeric_limits<std::size_t>::max();

    // The chart at the entry, as a song. A link within the folder stands
    // for the chart it leads to, and is left out with a note where that
    // chart is a song of its own; a link out of the folder or to nothing is
    // a song all the same, which its run refuses or finds unreadable, as a
    // chartseal run given its name would.
    void addChart(File& folder, const std::string& entry, const std::string& base, std::size_t index)
    {
        const std::string chartPath = base + ".sm";
        std::string target;
        try {
            target = followLinksInFolder(folder, entry, chartPath);
        } catch (const RunError&) {
            library_.songs.push_back({base, index, 0});
            return;
        }
        FileStatus chart;
        std::error_code ec;
        if (!ops_.statusInFolder(folder.handle(), target, chart, ec) || !chart.isRegular()) {
            library_.songs.push_back({base, index, 0});
            return;
        }
        if (!charts_.insert({chart.identity.volume, chart.identity.index}).second) {
            if (target != entry) {
                note_(shownName(chartPath) + ": a link to " + shownName(target) +
                      ", a chart sealed as its own song; left out");
            }
            return;
        }
        library_.songs.push_back({base, index, chart.size()});
    }

    void visit(File folder, const std::string& path, std::size_t parent, const std::string& entry, int depth)
    {
        std::error_code ec;
        const FileStatus st = ops_.status(folder.handle(), ec);
        if (ec) return unreadable_(path, "cannot read folder: " + ec.message());
        // Named twice, or reached twice: walked once.
        if (!seen_.insert({{st.identity.volume, st.identity.index}, library_.folders.size()}).second) return;
        std::vector<FolderEntry> entries = ops_.listFolder(folder.handle(), ec);
        if (ec) {
            seen_[{st.identity.volume, st.identity.index}] = kUnlisted;
            return unreadable_(path, "cannot read folder: " + ec.message());
        }
        const std::size_t index = library_.folders.size();
        library_.folders.push_back({path, parent, entry, st.identity});
        std::sort(entries.begin(), entries.end(), [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
        const std::string prefix = path.ends_with('/') ? path : path + "/";
        // The charts first, then the links at chart names: a link to a chart
        // of the folder gives way to it.
        for (const FileKind kind : {FileKind::regular, FileKind::symbolicLink}) {
            for (const FolderEntry& found : entries) {
                if (found.kind != kind || !isChartName(found.name)) continue;
                addChart(folder, found.name, prefix + found.name.substr(0, found.name.size() - 3), index);
            }
        }
        for (const FolderEntry& found : entries) {
            const std::string below = prefix + found.name;
            if (found.kind == FileKind::regular && isChartNameInOtherCase(found.name)) {
                note_(shownName(below) + ": not a chart: names here tell case apart, and a chart's ends in .sm; left out");
            } else if (found.kind == FileKind::symbolicLink && !isChartName(found.name)) {
                FileStatus target;
                std::error_code ignored;
                if (ops_.statusOfPath(below, target, ignored) && target.kind == FileKind::directory) {
                    note_(shownName(below) + ": a link to a folder; not followed");
                }
            }
        }
        for (const FolderEntry& found : entries) {
            if (found.kind != FileKind::directory) continue;
            const std::string below = prefix + found.name;
            if (depth + 1 >= kDeepest) {
                unreadable_(below, "is more than " + std::to_string(kDeepest) + " folders deep; left out");
                continue;
            }
            const FileHandle handle = ops_.openFolderInFolder(folder.handle(), found.name, ec);
            if (ec) {
                FileStatus now;
                std::error_code ignored;
                const bool swapped = ops_.statusInFolder(folder.handle(), found.name, now, ignored) &&
                                     now.kind != FileKind::directory;
                unreadable_(below, swapped ? "is no longer a folder (replaced by a link or a file while the run went "
                                             "on); left out"
                                           : "cannot read folder: " + ec.message());
                continue;
            }
            visit(File(ops_, below, handle), below, index, found.name, depth + 1);
        }
    }

    FileOps& ops_;
    SongLibrary& library_;
    std::function<void(const std::string&, const std::string&)> unreadable_;
    std::function<void(const std::string&)> note_;
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::size_t> seen_;  // each folder's index
    std::set<std::pair<std::uint64_t, std::uint64_t>> charts_;
};

}  // namespace

std::vector<std::string> walkedFolders(FileOps& ops, const std::vector<std::string>& paths)
{
    std::vector<std::string> folders;
    for (const std::string& path : paths) folders.push_back(namesChart(ops, path) ? folderOf(path) : path);
    return folders;
}

SongLibrary findSongs(FileOps& ops, const std::vector<std::string>& paths,
                      const std::function<void(const std::string&, const std::string&)>& unreadable,
                      const std::function<void(const std::string&)>& note)
{
    SongLibrary library;
    Walk walk(ops, library, unreadable, note);
    // The folders first, so that a chart named as well is listed as theirs.
    std::vector<std::string> charts;
    for (const std::string& path : paths) {
        if (namesChart(ops, path)) {
            charts.push_back(path);
        } else {
            walk.named(path);
        }
    }
    for (const std::string& chart : charts) walk.namedChart(chart);
    std::sort(library.songs.begin(), library.songs.end(),
              [](const LibrarySong& a, const LibrarySong& b) { return a.base < b.base; });
    return library;
}

File openLibraryFolder(FileOps& ops, const SongLibrary& library, std::size_t index)
{
    const LibraryFolder& folder = library.folders.at(index);
    const std::string changed = "is no longer the folder that was listed (replaced by a link or another folder "
                                "while the run went on); its songs are left as they are";
    std::error_code ec;
    FileHandle handle = kNoFile;
    if (folder.parent == LibraryFolder::kNamed) {
        handle = ops.openFolder(folder.path, ec);
    } else {
        const File parent = openLibraryFolder(ops, library, folder.parent);
        handle = ops.openFolderInFolder(parent.handle(), folder.entry, ec);
        FileStatus st;
        std::error_code ignored;
        if (ec && ops.statusInFolder(parent.handle(), folder.entry, st, ignored) && st.kind != FileKind::directory) {
            throw refusal(folder.path, changed);  // a link or a file in its place now
        }
    }
    if (ec) throw RunError(folder.path, "cannot open folder", ec, Failure::chartUnreadable);
    File opened(ops, folder.path, handle);
    if (!opened.identity().sameFile(folder.identity)) throw refusal(folder.path, changed);
    return opened;
}


LibraryRun::LibraryRun(FileOps& ops, Options options, std::function<void(const SongReport&)> done,
                       std::function<void()> checkpoint, Progress progress)
    : ops_(ops),
      options_(options),
      done_(std::move(done)),
      checkpoint_(std::move(checkpoint)),
      progress_(std::move(progress))
{
    if (!checkpoint_) checkpoint_ = [] {};
    options_.jobs = std::max(options_.jobs, 1);
    options_.batch = std::max<std::size_t>(options_.batch, 1);
}

void LibraryRun::run(const SongLibrary& library)
{
    library_ = &library;
    helpersStarted_ = options_.jobs - 1;
    const std::vector<LibrarySong>& all = library.songs;
    if (options_.into) openTree();
    for (std::size_t from = 0; from < all.size(); from += options_.batch) {
        std::vector<Song> songs(std::min(options_.batch, all.size() - from));
        for (std::size_t i = 0; i < songs.size(); ++i) {
            songs[i].source = &all[from + i];
            songs[i].report.chart = all[from + i].base + ".sm";
            songs[i].report.bytes = all[from + i].bytes;
        }
        stop_.reset();
        switch (options_.mode) {
        case LibraryMode::seal: options_.into ? intoBatch(songs) : sealBatch(songs); break;
        case LibraryMode::dryRun:
            forEach(songs, [this](Song& song) { options_.into ? intoTree(song, false) : dryRun(song); });
            break;
        case LibraryMode::check: forEach(songs, [this](Song& song) { check(song); }); break;
        }
        // A song still going was stopped: undone, as it was found.
        for (Song& song : songs) {
            song.job.reset();
            if (song.going) {
                song.report.result = SongResult::notStarted;
                song.report.message = shownName(song.report.chart) + ": not sealed: the run was stopped first";
            }
            done_(song.report);
        }
        if (tree_) tree_->closeFolders();
        if (stop_) {
            for (std::size_t rest = from + songs.size(); rest < all.size(); ++rest) {
                SongReport report;
                report.chart = all[rest].base + ".sm";
                report.bytes = all[rest].bytes;
                report.result = SongResult::notStarted;
                report.message = shownName(report.chart) + ": not sealed: the run was stopped first";
                done_(report);
            }
            throw *stop_;
        }
    }
}

void LibraryRun::advance(Song& song, std::uint64_t upTo, bool songDone)
{
    if (!progress_) return;
    const std::lock_guard<std::mutex> lock(mutex_);
    const std::uint64_t bytes = upTo > song.told ? upTo - song.told : 0;
    song.told = std::max(song.told, upTo);
    progress_(bytes, songDone);
}

void LibraryRun::forEach(std::vector<Song>& songs, const std::function<void(Song&)>& work)
{
    std::atomic<std::size_t> next{0};
    const auto finish = [this](Song& song, SongResult result, const std::string& message) {
        song.report.result = result;
        song.report.message = message;
        song.going = false;
        song.job.reset();  // undoes what it did, as a failed run does
        advance(song, song.source->bytes, true);
    };
    // The threads start far apart in the list, so that they work in
    // different folders (the songs are in the order of their names), and
    // never wait for each other's changes to one folder.
    const std::size_t lanes =
        static_cast<std::size_t>(std::max(1, std::min<int>(options_.jobs, static_cast<int>(songs.size()))));
    const std::size_t stride = (songs.size() + lanes - 1) / lanes;
    const auto worker = [&] {
        for (std::size_t n; (n = next++) < lanes * stride;) {
            const std::size_t i = (n % lanes) * stride + n / lanes;
            if (i >= songs.size()) continue;
            Song& song = songs[i];
            if (!song.going) continue;
            try {
                {
                    const std::lock_guard<std::mutex> lock(mutex_);
                    if (stop_) return;
                }
                checkpoint_();
                work(song);
            } catch (...) {
                const RunError e = currentError(song.report.chart);
                if (e.failure() == Failure::interrupted) {
                    const std::lock_guard<std::mutex> lock(mutex_);
                    if (!stop_) stop_ = e;
                    continue;
                }
                finish(song, resultOf(e.failure()), e.what());
            }
        }
    };
    // Where the system will not start another thread (a limit on processes
    // or on memory), the run goes on with those it has, this one at least.
    const int helpers = std::min<int>(options_.jobs, static_cast<int>(songs.size())) - 1;
    std::vector<std::thread> threads;
    for (int t = 0; t < helpers; ++t) {
        try {
            threads.reserve(static_cast<std::size_t>(helpers));
            threads.emplace_back(worker);
        } catch (const std::exception&) {
            break;
        }
    }
    helpersStarted_ = std::min(helpersStarted_, static_cast<int>(threads.size()));
    worker();
    for (std::thread& thread : threads) thread.join();
}

bool LibraryRun::groupCommit(File& folder, std::uint64_t volume)
{
    std::error_code ec;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (const auto known = groupCommit_.find(volume); known != groupCommit_.end()) return known->second;
    }
    // Anything but a certain yes: each file and folder synced on its own.
    const bool whole = ops_.syncsWholeFileSystem(folder.handle(), ec) && !ec;
    const std::lock_guard<std::mutex> lock(mutex_);
    groupCommit_.emplace(volume, whole);
    return whole;
}

void LibraryRun::barrier(std::vector<Song>& songs)
{
    // One sync per file system that a song still going leaves its syncs to.
    std::map<std::uint64_t, std::error_code> synced;
    for (Song& song : songs) {
        if (!song.job || (!song.going && !song.replaced) || !song.atBarrier) continue;
        File& folder = song.outFolder != nullptr ? *song.outFolder : song.job->folder();
        if (synced.count(song.volume) == 0) ops_.syncFileSystem(folder.handle(), synced[song.volume]);
        if (const std::error_code& ec = synced[song.volume]) {
            song.report.result = SongResult::failed;
            song.report.message = RunError(song.report.chart, "cannot sync its file system", ec).what();
            song.going = false;
            if (!song.replaced) song.job.reset();
            advance(song, song.source->bytes, true);
            continue;
        }
        if (song.outFolder == nullptr) song.job->writer({}, {}).barrierPassed();
    }
}

void LibraryRun::surveyAndPartition(Song& song, bool lock)
{
    song.job = std::make_unique<SealJob>(ops_, song.source->base, openLibraryFolder(ops_, *library_, song.source->folder));
    SealJob& job = *song.job;
    song.report.ordinals = job.survey().toLine();
    song.report.bytes = job.surveyedSize();
    if (lock) {
        job.lockAndPartition();
    } else {
        job.partitionUnlocked();
    }
    const SongPlan& plan = job.plan();
    song.report.plain = plan.plainCharts().texts();
    song.report.sealed = plan.sealedCharts().texts();
    song.report.exposed = plan.exposedCharts().texts();
    song.report.files = plannedFiles(plan, entryOf(song.report.chart));
}

void LibraryRun::sealBatch(std::vector<Song>& songs)
{
    forEach(songs, [this](Song& song) {
        surveyAndPartition(song, true);
        SealJob& job = *song.job;
        song.volume = job.folder().identity().volume;
        song.atBarrier = groupCommit(job.folder(), song.volume);
        OutputWriter& writer = job.writer(
            checkpoint_, [&song](const std::string& line) { song.report.message = line; },
            song.atBarrier ? OutputWriter::Syncs::atBarrier : OutputWriter::Syncs::now);
        song.plain.emplace(writer.writePlain(writer.clearLeftovers(writer.inspect())));
        advance(song, song.source->bytes / 2, false);
    });
    if (stop_) return;
    barrier(songs);
    forEach(songs, [this](Song& song) {
        song.all.emplace(song.job->writer({}, {}).writeSealed(std::move(*song.plain)));
        advance(song, song.source->bytes, false);
    });
    if (stop_) return;
    barrier(songs);
    putInPlace(songs, [](Song& song) { song.job->writer({}, {}).replaceChart(std::move(*song.all)); });
}

void LibraryRun::putInPlace(std::vector<Song>& songs, const std::function<void(Song&)>& step)
{
    forEach(songs, [&step](Song& song) {
        step(song);
        song.replaced = true;
    });
    // Even after a stop: the songs already put in place are made durable.
    barrier(songs);
    for (Song& song : songs) {
        if (!song.replaced) continue;
        if (song.going) {
            song.report.result = SongResult::sealed;
            song.going = false;
            advance(song, song.source->bytes, true);
        }
        song.job->release();
    }
}

void LibraryRun::dryRun(Song& song)
{
    surveyAndPartition(song, false);
    SealJob& job = *song.job;
    job.writer(checkpoint_, {}).inspect(true);
    song.report.result = SongResult::wouldSeal;
    song.going = false;
    job.release();
    advance(song, song.source->bytes, true);
}

void LibraryRun::check(Song& song)
{
    surveyAndPartition(song, false);
    SealJob& job = *song.job;
    File& folder = job.folder();
    const SongPlan& plan = job.plan();
    const auto finish = [this, &song](SongResult result, const std::string& message) {
        song.report.result = result;
        song.report.message = message;
        song.going = false;
        advance(song, song.source->bytes, true);
    };
    // What the files hold, not what a run would make of them: the chart
    // file keeps every chart a partition of it finds, the sealed files what
    // they unseal to.
    ChartList kept = plan.plainCharts();
    kept.append(plan.sealedCharts());
    song.report.plain = kept.texts();
    song.report.exposed = exposedAmong(kept, plan.plainSecondSlot()).texts();
    song.report.sealed.clear();
    song.report.files = {{entryOf(song.report.chart), kept.texts()}};

    const std::array<std::optional<FileStatus>, kSlotCount> found = job.outputsFound();
    std::array<bool, kSlotCount> taken{};
    for (std::size_t i = 0; i < found.size(); ++i) taken[i] = found[i].has_value();
    const auto name = [&](int number) { return shownName(plan.output(number).name); };
    switch (sealStateOf(taken)) {
    case SealState::unfinished:
        return finish(SongResult::notPrepared, name(1) + ": a run did not finish, or another file stands at that "
                                                         "name; run chartseal again, which finishes the run or "
                                                         "says which it is");
    case SealState::notSealed: return finish(SongResult::notPrepared, shownName(job.chartPath()) + ": not sealed");
    case SealState::incomplete:
        for (int number = 2; number <= kSlotCount; ++number) {
            if (!taken[static_cast<std::size_t>(number - 1)]) return finish(SongResult::damaged, name(number) + ": missing");
        }
        break;
    case SealState::sealed: break;
    }

    // Each sealed file read back whole: empty, or whole chart lines that
    // begin with a separator line and end with a line feed.
    std::vector<char> block(64 << 10);
    ChartList sealed;
    for (int number = 2; number <= kSlotCount; ++number) {
        const FileStatus& st = *found[static_cast<std::size_t>(number - 1)];
        const std::string& outName = plan.output(number).name;
        if (!st.isRegular()) return finish(SongResult::damaged, name(number) + ": is " + describeKind(st.kind));
        ChartList holds;
        if (st.size() > 0) {
            std::error_code ec;
            const FileHandle handle = ops_.openInFolder(folder.handle(), entryOf(outName), ec);
            if (ec) return finish(SongResult::damaged, name(number) + ": cannot open: " + ec.message());
            File file(ops_, outName, handle);
            ChartNamer namer;
            namer.into(&holds);
            ChartLineSplitter lines(namer);
            std::string head;
            char last = '\n';
            std::uint64_t size = 0;
            try {
                size = ChartSealer::unsealedPieces(file, block, [&](const char* data, std::size_t n) {
                    if (head.size() < kSeparator.size()) head.append(data, std::min(n, kSeparator.size() - head.size()));
                    last = data[n - 1];
                    lines.bytes(data, n);
                });
            } catch (const RunError& e) {
                return finish(SongResult::damaged, e.what());
            }
            lines.end();
            if (!std::string_view(head).starts_with(kSeparator)) {
                return finish(SongResult::damaged, name(number) + ": does not read back as charts");
            }
            if (last != '\n' || size != st.size()) return finish(SongResult::damaged, name(number) + ": is cut short");
        }
        song.report.files.push_back({entryOf(outName), holds.texts()});
        sealed.append(holds);
    }
    song.report.sealed = sealed.texts();
    finish(SongResult::prepared, "");
    job.release();
}

}  // namespace chartseal
