// The library command: arguments, report, progress, summary and status.
#include "cli/LibraryCommand.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <ostream>
#include <string_view>
#include <istream>
#include <iterator>
#include <thread>

#include "console/ExitStatus.h"
#include "console/Interruptions.h"
#include "run/LibraryRun.h"
#include "cli/ReportFile.h"

#include <CLI/CLI.hpp>

#include "cli/CommandLine.h"

namespace chartseal {

namespace {

constexpr const char* kProgram = "chartseal-library";

constexpr const char* kAbout =
    "usage: chartseal-library [OPTION...] [--] PATH...\n"
    "Seals every song (<name>.sm) under the PATHs, as one chartseal run per song would.\n"
    "A PATH is a folder, walked recursively, or a chart <name>.sm, that song alone.\n"
    "--dry-run changes nothing and counts what would be sealed (--report says, song by\n"
    "song, what would stay plain and what be sealed); --check verifies that each song is\n"
    "prepared. With --into OUT the charts are only read: each <PATH>/<rel>/<song>.sm is\n"
    "sealed into OUT/<rel>/<song>.sm and <song>_2.dat to _6.dat, and outputs that hold\n"
    "those bytes already are left alone.\n";

constexpr const char* kReportNote =
    "The report: one JSON line per song; FILE outside the PATHs (links followed), never a folder.\n"
    "  - is standard output, and the summary line then goes to standard error. A FIFO or device\n"
    "  is written through; a file is written as .FILE.partial beside it and renamed over it at\n"
    "  the end. \"chart\" holds the chart's name exactly: UTF-8 as JSON text, other bytes as\n"
    "  \\udcXX (XX the byte; Python: name.encode('utf-8', 'surrogateescape')).\n";

const std::vector<ExitStatusDoc> kExitStatuses = {
    {"0", "every song was sealed now or before (--dry-run: previewed; --check: prepared; --into:\n"
          "sealed or up to date)"},
    {"1", "a song or folder was refused, failed, unreadable or not prepared, no song was found,\n"
          "the --files-from list could not be read, the report failed, standard output failed, or\n"
          "--into's folder could not be used or a stale output not removed"},
    {"2", "a usage error"},
    {"128+n", "signal n stopped the run; songs whose chart was replaced are whole, the rest as found"},
};

struct Arguments {
    LibraryMode mode = LibraryMode::seal;
    int jobs = 0;  // 0: as many as the processor has cores
    bool quiet = false;
    std::optional<std::string> report;
    std::optional<std::string> filesFrom;
    bool nulSeparated = false;
    std::optional<std::string> into;
    bool deleteStale = false;
    std::vector<std::string> paths;
};

// The options, as the parser knows them; --help lists them from here.
struct Parser {
    Parser()
    {
        addCommonOptions(app, help, version);
        // Given twice, an option's last value counts.
        app.add_option("-j,--jobs", jobs,
                       "work on up to N songs at once, from 1 to 256, sealing only (default: the\n"
                       "processor's cores, fewer where open files or threads run short)")
            ->type_name("N")
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        app.add_flag("-n,--dry-run", dryRun,
                     "change nothing; count what would be sealed (the report says what each song\n"
                     "would keep plain and seal)");
        app.add_flag("--check", check, "change nothing; verify that each song is prepared and reads back");
        app.add_option("--into", into,
                       "seal into the folder OUT, made where missing, and leave the charts as they\n"
                       "are; songs whose outputs there are right already are not written again\n"
                       "(default: seal each chart in place)")
            ->type_name("OUT")
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        app.add_flag("--delete", deleteStale,
                     "with --into: remove the outputs in OUT whose song is gone (default: list\n"
                     "them and leave them)");
        app.add_option("--report", report, "write one JSON line per song to FILE (default: no report)")
            ->type_name("FILE")
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        app.add_option("--files-from", filesFrom,
                       "read more PATHs from FILE, one a line (- is standard input; default: none)")
            ->type_name("FILE")
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        app.add_flag("-0,--null", null, "--files-from's PATHs end with a zero byte, not a line feed");
        app.add_flag("-q,--quiet", quiet,
                     "no progress line and no summary line; lines about songs and folders that\n"
                     "were not sealed, and notes on what was left out, still go to standard error\n"
                     "(default: the summary on standard output, progress on a terminal)");
        app.add_option("PATH", paths, "")->type_name("PATH");
    }
    CLI::App app{"", kProgram};
    bool help = false, version = false, dryRun = false, check = false, null = false, quiet = false;
    bool deleteStale = false;
    std::string jobs, report, filesFrom, into;
    std::vector<std::string> paths;
};

// The arguments, or why they are not usable.
std::optional<Arguments> parse(const std::vector<std::string>& args, std::string& why)
{
    Parser parser;
    if (std::optional<std::string> error = parseArguments(parser.app, args)) {
        why = *error;
        return std::nullopt;
    }
    Arguments parsed;
    if (parser.dryRun && parser.check) {
        why = "--dry-run and --check go alone";
        return std::nullopt;
    }
    parsed.mode = parser.check ? LibraryMode::check : parser.dryRun ? LibraryMode::dryRun : LibraryMode::seal;
    if (parser.app.count("--jobs") > 0) {
        const std::string& text = parser.jobs;
        int n = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
        if (error != std::errc() || end != text.data() + text.size() || n < 1 || n > 256) {
            why = "--jobs takes a number from 1 to 256";
            return std::nullopt;
        }
        if (parsed.mode != LibraryMode::seal) {
            why = "--jobs goes with sealing only";
            return std::nullopt;
        }
        parsed.jobs = n;
    }
    if (parser.app.count("--report") > 0) parsed.report = parser.report;
    if (parser.app.count("--files-from") > 0) parsed.filesFrom = parser.filesFrom;
    if (parser.null && !parsed.filesFrom) {
        why = "--null goes with --files-from only";
        return std::nullopt;
    }
    parsed.nulSeparated = parser.null;
    if (parser.app.count("--into") > 0) {
        if (parsed.mode == LibraryMode::check) {
            why = "--check goes without --into (--dry-run --into OUT says what is up to date)";
            return std::nullopt;
        }
        if (parser.into.empty()) {
            why = "--into takes a folder";
            return std::nullopt;
        }
        parsed.into = parser.into;
    }
    if (parser.deleteStale && !parsed.into) {
        why = "--delete goes with --into only";
        return std::nullopt;
    }
    parsed.deleteStale = parser.deleteStale;
    parsed.quiet = parser.quiet;
    parsed.paths = parser.paths;
    if (parsed.paths.empty() && !parsed.filesFrom) {
        why = "no folder given";
        return std::nullopt;
    }
    return parsed;
}

// The PATHs of --files-from: one a line (a carriage return before the line
// feed dropped, as a Windows editor writes them), or each ending with a zero
// byte; empty ones skipped. "-" is standard input.
std::vector<std::string> readPathList(FileOps& ops, std::istream* in, const std::string& from, bool nulSeparated)
{
    std::string bytes;
    if (from == "-") {
        if (in == nullptr) throw RunError("standard input", "cannot read");
        bytes.assign(std::istreambuf_iterator<char>(*in), std::istreambuf_iterator<char>());
        if (in->bad()) throw RunError("standard input", "cannot read");
    } else {
        std::error_code ec;
        const FileHandle handle = ops.openForReading(from, ec);
        if (ec) throw RunError(from, "cannot open", ec);
        File file(ops, from, handle);
        if (file.status().kind == FileKind::directory) {
            throw RunError(from, "cannot read", std::make_error_code(std::errc::is_a_directory));
        }
        char block[64 << 10];
        while (const std::size_t n = file.readAt(block, sizeof block, bytes.size())) bytes.append(block, n);
    }
    std::vector<std::string> paths;
    const char end = nulSeparated ? '\0' : '\n';
    for (std::size_t at = 0; at < bytes.size();) {
        std::size_t next = bytes.find(end, at);
        if (next == std::string::npos) next = bytes.size();
        std::string path = bytes.substr(at, next - at);
        if (!nulSeparated && path.ends_with('\r')) path.pop_back();
        if (!path.empty()) paths.push_back(std::move(path));
        at = next + 1;
    }
    return paths;
}

// A JSON string that gives the bytes back exactly: valid UTF-8 as it is,
// with the standard escapes for the quote, the backslash and control bytes
// (\n, \t, \u001b, ...); every byte that is not part of valid UTF-8 as
// \udcXX, XX its value in hex (the "surrogate escape" of such a byte, which
// Python's encode('utf-8', 'surrogateescape') turns back into it).
std::string jsonString(std::string_view text)
{
    std::string json = "\"";
    const auto escaped = [&json](unsigned value) {
        char code[8];
        std::snprintf(code, sizeof code, "\\u%04x", value);
        json += code;
    };
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x80) {
            if (const std::size_t n = utf8SequenceLength(text, i)) {
                json.append(text.substr(i, n));
                i += n;
            } else {
                escaped(0xDC00 + byte);
                ++i;
            }
            continue;
        }
        switch (byte) {
        case '"': json += "\\\""; break;
        case '\\': json += "\\\\"; break;
        case '\b': json += "\\b"; break;
        case '\f': json += "\\f"; break;
        case '\n': json += "\\n"; break;
        case '\r': json += "\\r"; break;
        case '\t': json += "\\t"; break;
        default:
            if (byte < 0x20 || byte == 0x7F) {
                escaped(byte);
            } else {
                json += static_cast<char>(byte);
            }
        }
        ++i;
    }
    return json + "\"";
}

std::string jsonList(const std::vector<std::string>& items)
{
    std::string json = "[";
    for (const std::string& item : items) {
        if (json.size() > 1) json += ',';
        json += jsonString(item);
    }
    return json + "]";
}

std::string jsonFiles(const std::vector<FileCharts>& files)
{
    std::string json = "[";
    for (const FileCharts& file : files) {
        if (json.size() > 1) json += ',';
        json += "{\"file\":" + jsonString(file.file) + ",\"charts\":" + jsonList(file.charts) + "}";
    }
    return json + "]";
}

std::string jsonLine(const SongReport& song, bool intoTree)
{
    const std::string tree =
        intoTree ? ",\"output\":" + jsonString(song.output) + ",\"changed\":" + jsonList(song.changed) : "";
    return "{\"chart\":" + jsonString(song.chart) + tree + ",\"result\":" + jsonString(resultName(song.result)) +
           ",\"ordinals\":" + jsonString(song.ordinals) + ",\"plain\":" + jsonList(song.plain) +
           ",\"sealed\":" + jsonList(song.sealed) + ",\"files\":" + jsonFiles(song.files) +
           ",\"exposed\":" + jsonList(song.exposed) + ",\"bytes\":" + std::to_string(song.bytes) +
           ",\"message\":" + jsonString(song.message) + "}\n";
}

// A report line of its own for outputs in the tree whose song is gone.
std::string jsonStaleLine(const StaleOutput& stale, const char* result)
{
    return "{\"output\":" + jsonString(stale.output) + ",\"result\":" + jsonString(result) +
           ",\"files\":" + jsonList(stale.files) +
           ",\"message\":" + jsonString(stale.message) + "}\n";
}

// Where the songs are sealed into: never a folder they are read from, one
// inside such a folder (its songs would be read and replaced, or taken for
// gone), nor one that holds such a folder; and the folders given may not
// hold each other, or a song would have two places.
void checkTree(FileOps& ops, const std::string& into, const std::vector<std::string>& paths)
{
    const auto opened = [&ops](const std::string& path) -> std::optional<File> {
        std::error_code ec;
        const FileHandle handle = ops.openFolder(path, ec);
        if (ec) return std::nullopt;  // its run says why
        return File(ops, path, handle);
    };
    std::vector<std::string> folders, named;
    for (const std::string& path : paths) {
        const std::string folder = walkedFolders(ops, {path}).front();
        folders.push_back(folder);
        if (folder == path) named.push_back(path);
    }
    for (const std::string& path : named) {
        std::optional<File> folder = opened(path);
        if (!folder) continue;
        for (const std::string& other : named) {
            if (other == path) continue;
            std::optional<File> above = opened(other);
            if (!above || above->identity().sameFile(folder->identity())) continue;
            if (enclosingFolder(ops, *folder, {other}, path)) {
                throw refusal(path, "lies inside " + shownName(other) +
                                        ", also given; with --into, give each folder of songs once");
            }
        }
    }
    // The tree, or where it is still to be made, the nearest folder above it.
    std::string existing = into;
    std::error_code ec;
    FileHandle handle = ops.openFolder(existing, ec);
    for (int up = 0; ec == std::errc::no_such_file_or_directory && up < 256; ++up) {
        const std::string above = folderOf(existing);
        if (above == existing) break;
        existing = above;
        handle = ops.openFolder(existing, ec);
    }
    if (ec == std::errc::no_such_file_or_directory) return;
    if (ec) throw RunError(existing, "cannot open folder", ec);
    const bool made = existing == into;  // the tree itself, not a folder above it
    File tree(ops, existing, handle);
    if (tree.status().kind != FileKind::directory) throw refusal(existing, "is not a folder; give --into a folder");
    for (const std::string& path : folders) {
        std::optional<File> folder = opened(path);
        if (!folder) continue;
        if (made && folder->identity().sameFile(tree.identity())) {
            throw refusal(into, "is " + shownName(path) +
                                    ", a folder the songs are read from; give --into a folder of its own");
        }
        if (made && enclosingFolder(ops, *folder, {into}, path)) {
            throw refusal(path, "lies inside " + shownName(into) +
                                    ", the folder the songs are sealed into; give --into a folder outside the songs");
        }
    }
    if (const std::optional<std::string> folder = enclosingFolder(ops, tree, folders, existing)) {
        throw refusal(into, "lies inside " + shownName(*folder) +
                                ", a folder the songs are read from; give --into a folder outside the songs");
    }
}

// A report line of its own for a folder that could not be walked.
std::string jsonFolderLine(const std::string& folder, const std::string& message)
{
    return "{\"folder\":" + jsonString(shownName(folder)) + ",\"result\":" + jsonString(resultName(SongResult::unreadable)) +
           ",\"message\":" + jsonString(message) + "}\n";
}

int defaultJobs()
{
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

// The line that keeps being rewritten on a terminal: songs done of all,
// megabytes a second, time left. It moves with each step of each song, and
// the time left is what the work still to do takes at the pace so far, the
// work being the songs' sizes.
class Progress {
public:
    Progress(std::ostream& err, bool shown, std::size_t total, std::uint64_t totalBytes,
             std::chrono::milliseconds interval)
        : err_(err), shown_(shown), total_(total), totalBytes_(totalBytes), interval_(interval)
    {
    }
    void advanced(std::uint64_t bytes, bool songDone)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        bytes_ += bytes;
        if (songDone) ++done_;
        if (!shown_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - drawn_ < interval_ && done_ < total_) return;
        drawn_ = now;
        const double seconds = std::chrono::duration<double>(now - start_).count();
        const double rate = seconds > 0 ? static_cast<double>(bytes_) / 1e6 / seconds : 0;
        // Where the songs hold no bytes at all, each counts as one.
        const double work = totalBytes_ > 0 ? static_cast<double>(bytes_) / static_cast<double>(totalBytes_)
                                            : static_cast<double>(done_) / static_cast<double>(std::max<std::size_t>(total_, 1));
        const double left = work > 0 ? seconds / work * (1 - work) : 0;
        char text[128];
        std::snprintf(text, sizeof text, "%zu/%zu songs, %.1f MB/s, %d:%02d left", done_, total_, rate,
                      static_cast<int>(left) / 60, static_cast<int>(left) % 60);
        draw(text);
    }
    // Before another line goes to the same stream, and at the end.
    void clear()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        draw("");
    }

private:
    void draw(const std::string& text)
    {
        if (!shown_ || (text.empty() && width_ == 0)) return;
        std::string line = "\r" + text;
        if (text.size() < width_) line += std::string(width_ - text.size(), ' ') + "\r" + text;
        width_ = text.size();
        err_ << line << std::flush;
    }

    std::mutex mutex_;
    std::ostream& err_;
    bool shown_;
    std::size_t total_;
    std::uint64_t totalBytes_;
    std::chrono::milliseconds interval_;
    std::size_t done_ = 0;
    std::uint64_t bytes_ = 0;
    std::size_t width_ = 0;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point drawn_{};
};

// How many songs go between two syncs, and on how many threads, so that
// the files they hold open stay within the number the process may still
// open. Between two syncs a song keeps its folder, its chart, the chart's
// lock and the plain file's lock open, and the plain file itself where it
// syncs on its own; each thread at work opens up to six more (the five
// sealed files and one more folder or chart on the way). The report and its
// folder take two. Where not even one song fits, the batch is 0.
struct Sizing {
    int jobs;
    std::size_t batch;
};
Sizing sizeFor(std::size_t openFiles, int jobs)
{
    constexpr std::size_t kPerSong = 5, kPerThread = 6, kReserved = 2, kMostSongs = 1024;
    const std::size_t free = openFiles > kReserved ? openFiles - kReserved : 0;
    while (jobs > 1 && free < static_cast<std::size_t>(jobs) * (kPerThread + kPerSong)) --jobs;
    const std::size_t threads = static_cast<std::size_t>(jobs) * kPerThread;
    return {jobs, free > threads ? std::min((free - threads) / kPerSong, kMostSongs) : 0};
}

// The results counted in the summary, by mode, in order.
std::vector<SongResult> summaryResults(LibraryMode mode, bool intoTree)
{
    if (intoTree) {
        return {mode == LibraryMode::seal ? SongResult::sealed : SongResult::wouldSeal, SongResult::upToDate,
                SongResult::refused, SongResult::failed, SongResult::unreadable};
    }
    switch (mode) {
    case LibraryMode::seal:
        return {SongResult::sealed, SongResult::alreadySealed, SongResult::refused, SongResult::failed,
                SongResult::unreadable};
    case LibraryMode::dryRun:
        return {SongResult::wouldSeal, SongResult::alreadySealed, SongResult::refused, SongResult::failed,
                SongResult::unreadable};
    case LibraryMode::check: break;
    }
    return {SongResult::prepared, SongResult::notPrepared, SongResult::damaged, SongResult::refused,
            SongResult::failed, SongResult::unreadable};
}

}  // namespace

LibraryCommand::LibraryCommand(std::ostream& out, std::ostream& err, bool progress, std::size_t openFiles,
                               FileOps& ops)
    : out_(out), err_(err), progress_(progress), openFiles_(openFiles), ops_(ops)
{
}

int LibraryCommand::run(const std::vector<std::string>& args)
{
    const auto line = [this](const std::string& text) { err_ << ("chartseal-library: " + text + "\n") << std::flush; };
    if (const Asked asked = askedFor(args, "j"); asked != Asked::nothing) {
        try {
            writeOut(asked == Asked::help ? helpText(Parser().app, kAbout,
                                                     "end of the options: every argument after it is a PATH",
                                                     kReportNote, kExitStatuses)
                                          : versionText(kProgram));
        } catch (const std::exception& e) {
            line(e.what());
            return kExitOutputFailed;
        }
        return kExitSuccess;
    }
    std::string why;
    std::optional<Arguments> parsed = parse(args, why);
    if (!parsed) {
        err_ << (std::string(kProgram) + ": " + why + "; try '" + kProgram + " --help'\n") << std::flush;
        return kExitUsage;
    }
    if (parsed->filesFrom) {
        try {
            const std::vector<std::string> more = readPathList(ops_, in_, *parsed->filesFrom, parsed->nulSeparated);
            parsed->paths.insert(parsed->paths.end(), more.begin(), more.end());
        } catch (const std::exception& e) {
            line(e.what());
            return kExitOutputFailed;
        }
    }

    // "-" is standard output; the summary then goes to standard error.
    const bool reportToOut = parsed->report == "-";
    std::ostream& summaryTo = reportToOut ? err_ : out_;

    // The report's place is settled before any song is touched, and before
    // stop signals are held: the open of a FIFO waits for its reader, and a
    // Ctrl-C must be able to end that wait.
    std::optional<ReportFile> report;
    const auto refused = [&](const std::string& why) {
        report.reset();
        line(why);
        return kExitOutputFailed;
    };
    try {
        if (parsed->report && !reportToOut) report.emplace(ops_, *parsed->report, walkedFolders(ops_, parsed->paths));
    } catch (const std::exception& e) {
        return refused(e.what());
    }

    // Stop signals are held from here on, before any thread: each song
    // looks at them between its steps.
    HeldInterruptions interruptions(holdUntilExit_);
    try {
        if (report) report->create();
    } catch (const std::exception& e) {
        return refused(e.what());
    }

    std::map<SongResult, std::size_t> counts;
    std::size_t foldersWalked = 0, foldersUnreadable = 0;
    std::size_t exposed = 0;  // songs whose chart file keeps charts beyond Easy and one more
    std::size_t staleFound = 0, staleRemoved = 0;  // outputs in the tree whose song is gone
    bool anyFailed = false;
    // The first failure of the report: from then on no line is written, the
    // run goes on, and the report is not put in place.
    std::optional<std::string> reportFailed;
    const auto reportLine = [&](const std::string& text) {
        if (!parsed->report || reportFailed) return;
        try {
            if (report) {
                report->write(text);
            } else {
                writeOut(text);
            }
        } catch (const std::exception& e) {
            reportFailed = e.what();
        }
    };
    try {
        if (parsed->into) checkTree(ops_, *parsed->into, parsed->paths);
        const SongLibrary library = findSongs(ops_, parsed->paths, [&](const std::string& folder, const std::string& reason) {
            const std::string message = shownName(folder) + ": " + reason;
            line(message);
            ++foldersUnreadable;
            anyFailed = true;
            reportLine(jsonFolderLine(folder, message));
        }, [&](const std::string& note) { line(note); });
        foldersWalked = library.folders.size();
        if (library.songs.empty()) {
            std::string under;
            for (const std::string& path : parsed->paths) under += (under.empty() ? "" : ", ") + shownName(path);
            line("no songs found under " + under);
            anyFailed = true;
        }
        const Sizing sizing = sizeFor(openFiles_, parsed->jobs > 0 ? parsed->jobs : defaultJobs());
        if (sizing.batch == 0 && !library.songs.empty()) {
            throw RunError("chartseal-library",
                           "the process may open too few more files (" + std::to_string(openFiles_) +
                               ") to work on one song; raise the limit (ulimit -n) and run it again",
                           Failure::refused);
        }
        std::uint64_t totalBytes = 0;
        for (const LibrarySong& song : library.songs) totalBytes += song.bytes;
        Progress progress(err_, progress_ && !parsed->quiet, library.songs.size(), totalBytes, progressInterval_);
        LibraryRun::Options options;
        options.mode = parsed->mode;
        options.jobs = sizing.jobs;
        options.batch = sizing.batch;
        options.into = parsed->into;
        LibraryRun run(
            ops_, options,
            [&](const SongReport& song) {
                ++counts[song.result];
                if (!song.exposed.empty()) ++exposed;
                if (!isSuccess(song.result) && song.result != SongResult::notStarted) {
                    anyFailed = true;
                    progress.clear();
                    line(song.message.empty() ? shownName(song.chart) + ": " + resultName(song.result) : song.message);
                }
                if (parsed->report) reportLine(jsonLine(song, parsed->into.has_value()));
            },
            [&interruptions] {
                if (const int sig = interruptions.pending()) throw RunError::interrupted(sig);
            },
            [&progress](std::uint64_t bytes, bool songDone) { progress.advanced(bytes, songDone); });
        try {
            run.run(library);
        } catch (const RunError& e) {
            if (e.failure() != Failure::interrupted) throw;
            interruptedBy_ = e.signal();
        }
        // The outputs whose song is gone: only where every folder of songs
        // was read, or the songs of one not read would seem gone.
        if (parsed->into && interruptedBy_ == 0) {
            if (foldersUnreadable > 0) {
                line("stale outputs in " + shownName(*parsed->into) +
                     " not looked for: a folder of songs could not be read");
            } else {
                const bool wouldRemove = parsed->deleteStale && parsed->mode == LibraryMode::dryRun;
                run.staleOutputs(parsed->deleteStale, [&](const StaleOutput& stale) {
                    ++(stale.removed ? staleRemoved : staleFound);
                    const char* result = stale.removed ? "removed" : wouldRemove ? "would-remove" : "stale";
                    if (!stale.message.empty()) {
                        line(stale.message);
                        anyFailed = anyFailed || parsed->deleteStale;
                    } else if (!parsed->quiet) {
                        progress.clear();
                        line(shownName(stale.output) + ": its song is gone; " +
                             (stale.removed ? std::string("its files removed")
                              : wouldRemove ? std::string("--delete would remove its files")
                                            : std::string("left as it is (--delete removes its files)")));
                    }
                    reportLine(jsonStaleLine(stale, result));
                });
            }
        }
        progress.clear();
        if (report && !reportFailed) {
            try {
                report->finish();
            } catch (const std::exception& e) {
                reportFailed = e.what();
            }
        }
    } catch (...) {
        line(currentError("").what());
        anyFailed = true;
    }
    if (report) report->abandon();  // where it was not put in place
    if (reportFailed) {
        line(*reportFailed);
        anyFailed = true;
    }

    std::size_t total = 0;
    for (const auto& count : counts) total += count.second;
    std::string summary = std::to_string(total) + (total == 1 ? " song in " : " songs in ") +
                          std::to_string(foldersWalked) + (foldersWalked == 1 ? " folder" : " folders") +
                          (interruptedBy_ != 0 ? ", interrupted:" : ":");
    bool first = true;
    for (const SongResult result : summaryResults(parsed->mode, parsed->into.has_value())) {
        summary += (first ? " " : ", ") + std::to_string(counts[result]) + " " + resultName(result);
        first = false;
    }
    if (counts[SongResult::notStarted] > 0) {
        summary += ", " + std::to_string(counts[SongResult::notStarted]) + " " + resultName(SongResult::notStarted);
    }
    if (exposed > 0) summary += "; " + std::to_string(exposed) + " exposed";
    if (staleFound > 0) {
        summary += "; " + std::to_string(staleFound) + " stale" +
                   (parsed->deleteStale && parsed->mode == LibraryMode::dryRun ? " (--delete would remove them)" : "");
    }
    if (staleRemoved > 0) summary += "; " + std::to_string(staleRemoved) + " stale removed";
    if (foldersUnreadable > 0) {
        summary += "; " + std::to_string(foldersUnreadable) +
                   (foldersUnreadable == 1 ? " folder unreadable" : " folders unreadable");
    }
    if (parsed->quiet) {
        // No summary: the status and the lines above say what went wrong.
    } else if (reportToOut) {
        summaryTo << (summary + "\n") << std::flush;
    } else {
        try {
            writeOut(summary + "\n");
        } catch (const std::exception& e) {
            line(e.what());
            anyFailed = true;
        }
    }
    if (interruptedBy_ != 0) return exitStatusForSignal(interruptedBy_);
    return anyFailed ? kExitOutputFailed : kExitSuccess;
}

void LibraryCommand::writeOut(const std::string& text)
{
    // The program's standard output throws its own RunError, with the
    // system's reason; another stream only turns bad.
    out_ << text << std::flush;
    if (!out_) throw RunError("standard output", "cannot write");
}

}  // namespace chartseal
