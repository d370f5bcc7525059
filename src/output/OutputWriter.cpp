// Checking the output names, writing, sealing, syncing and the atomic
// replacement of the chart file.
//
// The safety order. C is the chart, P the plain output file <base>_1.dat, S
// the sealed chart files <base>_2.dat to <base>_6.dat. Two rules carry every
// recovery:
//   (a) P is whole and synced, name and all, before any S is created: an S
//       beside a P means that P is whole;
//   (b) P goes only by the rename, or once every S of this run is gone.
// Together: all five S and no P means a finished run prepared the song, and
// nothing else does, but for five empty S, which prove nothing. A
// finished run syncs its S, with their charts, before the rename, so one
// that had charts to seal leaves S that are not empty; five empty S are what
// a run with nothing to seal left (or placeholders). Beside a chart that
// this run would seal nothing of, they are the song as this run would leave
// it, and the run is refused as sealed already; beside a chart with charts
// to seal, they hold nothing to lose, and are removed as leftovers before
// the song is sealed. Every file a run writes is new to it, and a run removes
// a file it did not create only when each of its bytes is the byte the run
// would write there (or a zero, which a power cut can leave in unsynced
// data), and it is no longer: what it destroys, it gives back.
//
// "Syncs the folder" is the folder's own sync, or for a folder the runner may
// write but not read (a drop box, which Linux syncs only through a
// descriptor that may read it), a sync of its whole file system through a
// second handle of the chart, which makes the same entries durable. Where
// neither can be had, the run is refused before it changes anything.
//
// | step           | what it does                                   | durable after it    | a crash after it leaves        | the next run                           |
// |----------------|------------------------------------------------|---------------------|--------------------------------|----------------------------------------|
// | inspect        | reads the six names; checks each leftover      | nothing changed     | the folder as found            | the same                               |
// |                | against what this run writes; refuses others   |                     |                                |                                        |
// | clear          | removes S leftovers (five empty S among them), | the S removals      | C, perhaps P (or some of five  | checks P again and removes it (empty   |
// |                | syncs the folder, then removes a P leftover    |                     | empty S)                       | S: removed, as leftovers)              |
// | write plain    | creates P with the owner's bits, gives it the  | P whole and named   | C, P (in part, zeros, whole)   | P a prefix: removed, sealed again      |
// |                | chart's attributes, writes and syncs it, syncs |                     |                                |                                        |
// |                | the folder                                     |                     |                                |                                        |
// | write sealed   | creates each S the same way, seals into it,    | every S whole and   | C, whole P, some S (in part,   | S prefixes, P whole: removed, sealed   |
// |                | syncs each S, syncs the folder                 | named               | zeros)                         | again                                  |
// | replace        | checks C unchanged, renames P over C, syncs    | C replaced          | new C, five whole S, no P (or  | refused as sealed already (P = C: its  |
// |                | the folder                                     |                     | P = C: a rename cut in half)   | second name removed first)             |
// | clean-up       | removes the S it created, syncs the folder,    | the removals        | C, P and some S                | as after "write sealed"                |
// | (on failure)   | then P, unless an S could not be removed       |                     |                                |                                        |
//
// Reordering breaks a promise: S before P is synced breaks (a), and a later
// run would take a half-written song for a prepared one; syncing S after the
// rename could lose sealed charts that the chart no longer holds; removing P
// in the clean-up before the S are gone, or before the folder sync that
// makes their removal durable, turns an unfinished run into a false "sealed
// already".
#include "output/OutputWriter.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "output/ChartSealer.h"
#include "output/OutputBytes.h"
#include "output/Permissions.h"

namespace chartseal {

namespace {

// Write-back of an output starts after every so many bytes, so that its
// final fsync has little left to wait for, with at most so much in flight.
constexpr std::size_t kWritebackEvery = std::size_t{2} << 20;
constexpr std::size_t kWritebackInFlight = std::size_t{64} << 20;

bool sameFile(const FileStatus& a, const FileStatus& b)
{
    return a.identity.sameFile(b.identity);
}

// The safe way back for a song sealed before: never to remove a sealed
// file, which may hold the only copy of a chart.
std::string putBack(const std::string& base)
{
    return "chartunseal --restore -- " + shownName(shellWord(base));
}

std::string notALeftover(int number, const std::string& base)
{
    const std::string why = "is not a leftover of an unfinished run on this chart, which is left unchanged; ";
    if (number == 1) return why + "move it away to seal the chart";
    return why + "if the song was sealed before, put it back first with: " + putBack(base) +
           "; otherwise move the file away";
}

}  // namespace

OutputWriter::OutputWriter(FileOps& ops, File& folder, std::string base, std::string chartEntry,
                           std::string chartPath, std::function<void()> checkpoint,
                           std::function<void(const std::string&)> report, Syncs syncs)
    : ops_(ops),
      folder_(folder),
      base_(std::move(base)),
      chartEntry_(std::move(chartEntry)),
      chartPath_(std::move(chartPath)),
      checkpoint_(std::move(checkpoint)),
      report_(std::move(report)),
      syncs_(syncs)
{
    if (!checkpoint_) checkpoint_ = [] {};
    if (!report_) report_ = [](const std::string&) {};
    const std::string baseEntry = entryOf(base_);
    for (int number = 1; number <= kSlotCount; ++number) {
        fout[number - 1].entry = entryOf(SongPlan::outPath(baseEntry, number));
        fout[number - 1].name = SongPlan::outPath(base_, number);
    }
}

OutputWriter::~OutputWriter()
{
    if (!replaced_) discard();
}

std::uint64_t OutputWriter::produce(int number, const std::function<void(char* data, std::size_t n)>& take,
                                    std::uint64_t limit)
{
    return outputBytes(*plan_, *slots_, chart_->file(), block_, number, take, limit);
}

void OutputWriter::prepare(const SongPlan& plan, const SlotSet& slots, ChartStream& chart,
                           const FileIdentity& expected)
{
    plan_ = &plan;
    slots_ = &slots;
    chart_ = &chart;
    expected_ = expected;
}

void OutputWriter::allocateBlock()
{
    // No larger than the chart needs: many charts at once stay small.
    block_.resize(static_cast<std::size_t>(
        std::clamp<std::uint64_t>(chartStatus_.size() + 1, 4096, ChartSealer::kBlockSize)));
}

void OutputWriter::releaseBlock()
{
    std::vector<char>().swap(block_);
}

void OutputWriter::syncNow(File& file)
{
    if (syncs_ == Syncs::now) file.sync();
}

void OutputWriter::syncFolder(std::error_code& ec)
{
    if (fileSystemOfFolder_.isOpen()) {
        ops_.syncFileSystem(fileSystemOfFolder_.handle(), ec);
    } else {
        ops_.sync(folder_.handle(), ec);
    }
}

void OutputWriter::syncFolder()
{
    std::error_code ec;
    syncFolder(ec);
    if (ec) throw RunError(folder_.path(), "cannot sync", ec);
}

void OutputWriter::checkFolderDurable()
{
    if (folderChecked_) return;
    std::error_code why;
    ops_.checkFolderSync(folder_.handle(), why);
    if (!why) {
        folderChecked_ = true;
        return;
    }
    // Anything but a folder the runner may not read is a failure to check.
    if (why != std::errc::permission_denied) throw RunError(folder_.path(), "cannot sync", why);
    const RunError refused = refusal(folder_.path(), "cannot be read (" + why.message() +
                                                         "), so the run cannot make its changes to it durable; "
                                                         "the chart is left unchanged");
    // A folder the runner may write but not read (a drop box). A sync of its
    // whole file system makes its entries durable all the same, where one
    // can be had: through a file on that file system that stays open until
    // the run is over, a second handle of the chart (the first is closed
    // before the rename). The chart must be on the folder's volume, not a
    // file mounted over its name. A barrier syncs through the folder, which
    // it cannot.
    if (syncs_ == Syncs::atBarrier) throw refused;
    std::error_code ec;
    const FileHandle handle = ops_.openInFolder(folder_.handle(), chartEntry_, ec);
    if (ec) throw refused;
    File chart(ops_, chartPath_, handle);
    const FileStatus st = ops_.status(handle, ec);
    if (ec || !sameFile(st, chartStatus_)) throw refused;
    const FileStatus folder = ops_.status(folder_.handle(), ec);
    if (ec || folder.identity.volume != st.identity.volume) throw refused;
    // What the system cannot do (Windows has no such sync for a runner who
    // is not an administrator) is found out here, before any change.
    ops_.syncFileSystem(handle, ec);
    if (ec) throw refused;
    fileSystemOfFolder_ = std::move(chart);
    folderChecked_ = true;
}

void OutputWriter::enterPhase()
{
    if (barrierDue_) throw std::logic_error("an output phase began before the file system was synced");
    barrierDue_ = syncs_ == Syncs::atBarrier;
}

OutputWriter::Inspected OutputWriter::inspect(bool changeNothing)
{
    ChartStream& chart = *chart_;
    chartStatus_ = chart.file().status();
    if (const std::string refused = replacementRefusal(chartStatus_.attributes.bits); !refused.empty()) {
        throw refusal(chartPath_, refused);
    }

    for (const Output& out : fout) {
        if (out.entry == chartEntry_) throw refusal(chartPath_, "leads to the output file " + shownName(out.name));
    }
    bool halfRenamed = false;
    for (int number = 1; number <= kSlotCount; ++number) {
        Output& out = fout[number - 1];
        FileStatus st;
        std::error_code ec;
        if (!ops_.statusInFolder(folder_.handle(), out.entry, st, ec)) {
            if (ec) throw RunError(out.name, "cannot check", ec);
            continue;
        }
        if (st.kind == FileKind::symbolicLink) {
            throw refusal(out.name, "is a symbolic link; outputs are never written through links");
        }
        if (!st.isRegular()) throw refusal(out.name, "is " + describeKind(st.kind) + ", not a regular file");
        if (sameFile(st, chartStatus_)) {
            // A rename of the plain output file over the chart, cut in half:
            // both names stand for the new chart.
            if (number == 1 && chartStatus_.links == 2) {
                halfRenamed = true;
                continue;
            }
            throw refusal(out.name, "is the same file as the chart " + shownName(chartPath_));
        }
        for (int other = 1; other < number; ++other) {
            const Output& earlier = fout[other - 1];
            if (earlier.found && sameFile(*earlier.found, st)) {
                throw refusal(out.name, "is the same file as " + shownName(earlier.name));
            }
        }
        out.found = st;
    }
    // Shared with a file outside the seven, an output name would stand for
    // bytes that are not the run's to remove.
    for (const Output& out : fout) {
        if (out.found && out.found->links > 1) {
            throw refusal(out.name, "has another hard link; outputs must be files of their own");
        }
    }

    if (halfRenamed && changeNothing) {
        throw RunError(fout[0].name, "is a second name of the chart: a run stopped in its replacement",
                       Failure::sealedAlready);
    }
    if (halfRenamed) {
        // The second name loses no byte: the chart holds them.
        checkFolderDurable();
        std::error_code ec;
        ops_.removeInFolder(folder_.handle(), fout[0].entry, ec);
        if (ec) throw RunError(fout[0].name, "cannot remove", ec);
        syncFolder();
        report_(shownName(fout[0].name) + ": left by a run that stopped after replacing the chart; removed");
        chartStatus_.links = 1;
    }
    if (chartStatus_.links > 1) {
        throw refusal(chartPath_, "has another hard link; its other names would keep every chart in plain text");
    }

    const auto isFound = [this](int number) { return fout[number - 1].found.has_value(); };
    std::array<bool, kSlotCount> taken{};
    for (int number = 1; number <= kSlotCount; ++number) taken[static_cast<std::size_t>(number - 1)] = isFound(number);
    const bool anySealed = std::any_of(taken.begin() + 1, taken.end(), [](bool t) { return t; });
    if (sealStateOf(taken) == SealState::sealed) {
        // What a finished run leaves: the song is prepared already.
        bool changesNothing = true;
        for (int number = 2; number <= kSlotCount; ++number) {
            if (fout[number - 1].found->size() > 0) {
                throw RunError(fout[number - 1].name,
                               "already holds sealed charts; to seal the song again, put it back first with: " +
                                   putBack(base_),
                               Failure::sealedAlready);
            }
            changesNothing = changesNothing && plan_->output(number).size == 0;
        }
        // Five empty sealed files are what a run with nothing to seal left
        // (or placeholders). Beside a chart that this run would seal nothing
        // of, the song is as this run would leave it; beside one with charts
        // to seal, no finished run left them (it syncs its sealed files,
        // with their charts, before the rename), and they hold nothing to
        // lose: leftovers, removed below like any other.
        if (changesNothing) {
            throw RunError(chartPath_,
                           "is sealed already (its sealed files " + shownName(SongPlan::outPath(base_, 2)) + " to " +
                               shownName(SongPlan::outPath(base_, 6)) +
                               " are there); to change it, put it back first with: " + putBack(base_),
                           Failure::sealedAlready);
        }
    }
    // From here on the run would change the folder, which it must be able
    // to make durable.
    checkFolderDurable();

    allocateBlock();
    // Whether new files here get an access list from the folder, which an
    // output must lose where the chart has none.
    folderGivesAccessList_ = givesAccessList(ops_, folder_);
    // Beside sealed files, a plain output file of an unfinished run is whole.
    if (isFound(1)) checkLeftover(1, anySealed);
    for (int number = 2; number <= kSlotCount; ++number) {
        if (isFound(number)) checkLeftover(number, false);
    }
    if (isFound(1)) {
        report_(shownName(fout[0].name) + ": left by a run that did not finish; sealing again from the chart");
    }
    releaseBlock();
    chartExtended_ = [&] {
        std::error_code ec;
        std::vector<ExtendedAttribute> all = ops_.extendedAttributes(chart.file().handle(), ec);
        if (ec) throw RunError(chartPath_, "cannot read extended attributes", ec, Failure::chartUnreadable);
        return all;
    }();
    return Inspected();
}

void OutputWriter::checkLeftover(int number, bool complete)
{
    Output& out = fout[number - 1];
    const std::uint64_t size = out.found->size();
    const std::uint64_t expected = plan_->output(number).size;
    if (size > expected || (complete && size != expected)) throw refusal(out.name, notALeftover(number, base_));
    if (size == 0) return;
    std::error_code ec;
    const FileHandle handle = ops_.openInFolder(folder_.handle(), out.entry, ec);
    if (ec) throw RunError(out.name, "cannot check", ec);
    File leftover(ops_, out.name, handle);
    if (!sameFile(leftover.status(), *out.found)) throw refusal(out.name, "was replaced while it was being checked");

    if (!holdsOutputBytes(*plan_, *slots_, chart_->file(), block_, number, leftover, size, true) ||
        !(leftover.identity() == out.found->identity)) {
        throw refusal(out.name, notALeftover(number, base_));
    }
}

OutputWriter::Cleared OutputWriter::clearLeftovers(Inspected)
{
    // The plain output file goes last, and the removal of the sealed files
    // is durable before it goes or a new one comes: while it is there, the
    // sealed files beside it are known for an unfinished run's.
    const auto remove = [this](const Output& out) {
        std::error_code ec;
        if (!removeIfStill(out, out.found->identity, ec)) {
            throw ec ? RunError(out.name, "cannot remove", ec)
                     : refusal(out.name, "was replaced while it was being checked");
        }
    };
    bool removed = false;
    for (int number = kSlotCount; number >= 2; --number) {
        if (!fout[number - 1].found) continue;
        remove(fout[number - 1]);
        removed = true;
    }
    if (removed) syncFolder();
    if (fout[0].found) remove(fout[0]);
    return Cleared();
}

bool OutputWriter::removeIfStill(const Output& out, const std::optional<FileIdentity>& identity, std::error_code& ec)
{
    // A file this run created whose identity it could not learn is still
    // the one at its name, which it took with O_EXCL a moment ago.
    FileStatus st;
    if (!ops_.statusInFolder(folder_.handle(), out.entry, st, ec)) return false;
    if (identity && !st.identity.sameFile(*identity)) return false;
    ops_.removeInFolder(folder_.handle(), out.entry, ec);
    return !ec;
}

void OutputWriter::create(int number)
{
    Output& out = fout[number - 1];
    std::error_code ec;
    const FileHandle handle =
        ops_.createInFolder(folder_.handle(), out.entry, creationAttributeBits(chartStatus_.attributes.bits), ec);
    if (ec) {
        // Taken since the inspection: by another program, or an attacker.
        if (ec == std::errc::file_exists) throw refusal(out.name, "appeared while the run was sealing; run chartseal again");
        throw RunError(out.name, "cannot create", ec);
    }
    out.file = File(ops_, out.name, handle);
    out.created = true;
    const FileStatus created = out.file.status();
    out.identity = created.identity;
    if (syncs_ == Syncs::now) out.file.startWritebackEvery(kWritebackEvery, kWritebackInFlight);
    takeChartAttributes(out, created.attributes);
    checkpoint_();
}

void OutputWriter::takeChartAttributes(Output& out, const FileAttributes& has)
{
    chartseal::takeChartAttributes(ops_, out.file, out.name, has, chartStatus_.attributes, chartExtended_,
                                   folderGivesAccessList_);
}

void OutputWriter::write(int number)
{
    File& file = fout[number - 1].file;
    produce(number, [&](char* data, std::size_t n) {
        file.writeAll(data, n);
        checkpoint_();
    });
    // At a barrier, the file system's sync writes it all back at once.
    if (syncs_ == Syncs::now) file.startWritebackOfRest();
}

OutputWriter::PlainDurable OutputWriter::writePlain(Cleared)
{
    enterPhase();
    create(1);
    // Locked like the chart, which it becomes: a run that opens the chart
    // after the rename finds it locked until this run is done.
    if (!plainLock_.tryLock(fout[0].file)) throw refusal(fout[0].name, "is locked by another run");
    allocateBlock();
    write(1);
    releaseBlock();
    syncNow(fout[0].file);
    syncFolderNow();
    // Synced at the barrier, the file needs no handle till then (many
    // charts at once keep few open); its lock has its own.
    if (syncs_ == Syncs::atBarrier) fout[0].file.close();
    checkpoint_();
    return PlainDurable();
}

OutputWriter::AllDurable OutputWriter::writeSealed(PlainDurable)
{
    enterPhase();
    for (int number = 2; number <= kSlotCount; ++number) create(number);
    allocateBlock();
    for (int number = 2; number <= kSlotCount; ++number) {
        if (plan_->isSealed(number)) write(number);
    }
    releaseBlock();
    // Every output reaches the disk, with its attributes, before the chart
    // is replaced: a sealed file lost in a power cut after the replacement
    // would lose its charts. Their data was sent on its way while it was
    // written, so the syncs wait for it together.
    for (int number = 2; number <= kSlotCount; ++number) {
        syncNow(fout[number - 1].file);
        if (syncs_ == Syncs::atBarrier) fout[number - 1].file.close();
        checkpoint_();
    }
    syncFolderNow();
    return AllDurable();
}

void OutputWriter::replaceChart(AllDurable)
{
    enterPhase();
    // Windows replaces no file that is open; the lock has its own handle.
    for (Output& out : fout) {
        if (out.file.isOpen()) out.file.close();
    }
    // The last look before the rename: a chart written to since it was read
    // (an editor saving it, a line appended) must not be replaced.
    if (!unchangedAt(folder_, chartEntry_, chart_->file(), expected_)) {
        throw refusal(chartPath_, "changed while it was being sealed; run chartseal again");
    }
    std::error_code ec;
    chart_->close();
    checkpoint_();
    ops_.renameInFolder(folder_.handle(), fout[0].entry, chartEntry_, ec);
    if (ec) throw RunError(chartPath_, "cannot replace", ec);
    // From here the chart holds its new bytes and the sealed files are
    // complete: nothing may be removed any more.
    replaced_ = true;
    syncFolderNow();
    // Letting go of the lock of the renamed plain file, which kept out a run
    // that opened the chart after the rename; at a barrier, it goes with
    // the writer, after the barrier.
    if (syncs_ == Syncs::now) plainLock_.release();
}

void OutputWriter::writeOutputs()
{
    try {
        replaceChart(writeSealed(writePlain(clearLeftovers(inspect()))));
    } catch (...) {
        if (!replaced_) discard();
        throw;
    }
}

void OutputWriter::discard() noexcept
{
    // Best effort: the first failure has already been reported, and the chart
    // file is untouched whatever happens here. The plain output file goes
    // only once every sealed file of this run is gone for good, since it is
    // what tells the next run that sealed files beside it are unfinished.
    bool sealedGone = true, anySealed = false;
    for (int number = kSlotCount; number >= 2; --number) {
        Output& out = fout[number - 1];
        if (!out.created) continue;
        anySealed = true;
        out.file = File();
        std::error_code ec;
        if (removeIfStill(out, out.identity, ec)) {
            out.created = false;
        } else {
            sealedGone = false;
        }
    }
    if (anySealed && sealedGone) {
        std::error_code ec;
        syncFolder(ec);
        sealedGone = !ec;
    }
    Output& plain = fout[0];
    if (plain.created && sealedGone) {
        plain.file = File();
        std::error_code ec;
        if (removeIfStill(plain, plain.identity, ec)) {
            plain.created = false;
            syncFolder(ec);
        }
    }
    plainLock_.release();
    for (Output& out : fout) out.file = File();
}

}  // namespace chartseal
