// chartunseal: options, the unsealing of files, and --restore.
#include "cli/UnsealCommand.h"

#include <ostream>

#include <CLI/CLI.hpp>

#include "cli/CommandLine.h"
#include "console/ExitStatus.h"
#include "run/RestoreSong.h"
#include "chartseal/reader.h"

namespace chartseal {

namespace {

constexpr const char* kProgram = "chartunseal";

constexpr const char* kAbout =
    "usage: chartunseal [OPTION...] [--] FILE...\n"
    "       chartunseal --restore [--] BASE...\n"
    "Writes the unsealed bytes of each sealed chart file FILE (<name>_2.dat to <name>_6.dat)\n"
    "to standard output, in order; with --restore, puts each sealed song BASE back together.\n";

const std::vector<ExitStatusDoc> kExitStatuses = {
    {"0", "every file was unsealed (--restore: every song put back)"},
    {"1", "a file could not be read, a song could not be put back, or standard output failed"},
    {"2", "a usage error"},
};

struct Parser {
    Parser()
    {
        addCommonOptions(app, help, version);
        app.add_flag("--restore", restore,
                     "put each sealed song BASE back: BASE.sm rebuilt from its plain chart and its\n"
                     "sealed files BASE_2.dat to BASE_6.dat, under the chart's lock, through a new\n"
                     "file renamed over the chart; the sealed files go once it is durable");
        app.add_option("NAME", names, "")->type_name("NAME");
    }
    CLI::App app{"", kProgram};
    bool help = false, version = false, restore = false;
    std::vector<std::string> names;
};

}  // namespace

UnsealCommand::UnsealCommand(File& out, std::ostream& err, FileOps& ops) : out_(out), err_(err), ops_(ops) {}

int UnsealCommand::run(const std::vector<std::string>& args)
{
    const auto usage = [this](const std::string& why) {
        err_ << (std::string(kProgram) + ": " + why + "; try '" + kProgram + " --help'\n") << std::flush;
        return kExitUsage;
    };
    if (const Asked asked = askedFor(args); asked != Asked::nothing) {
        try {
            out_.writeAll(asked == Asked::help
                              ? helpText(Parser().app, kAbout, "end of the options: every argument after it is a name",
                                         "", kExitStatuses)
                              : versionText(kProgram));
        } catch (const RunError& e) {
            err_ << (std::string(kProgram) + ": " + e.what() + "\n") << std::flush;
            return kExitOutputFailed;
        }
        return kExitSuccess;
    }
    Parser parser;
    if (const std::optional<std::string> error = parseArguments(parser.app, args)) return usage(*error);
    if (parser.names.empty()) return usage(parser.restore ? "no song given" : "no file given");
    if (parser.restore) {
        return restoreSongs(ops_, parser.names, err_) == 0 ? kExitSuccess : kExitOutputFailed;
    }
    return unseal(parser.names);
}

int UnsealCommand::unseal(const std::vector<std::string>& files)
{
    std::vector<char> block(std::size_t{256} << 10);
    int status = kExitSuccess;
    const auto fail = [this, &status](const std::string& line) {
        err_ << (std::string(kProgram) + ": " + line + "\n") << std::flush;
        status = kExitOutputFailed;
    };
    for (const std::string& name : files) {
        // A failing input is that file's failure, and the others still go
        // out; a failing standard output ends the program.
        try {
            std::error_code ec;
            const FileHandle handle = ops_.openForReading(name, ec);
            if (ec) throw RunError(name, ec.message());
            File in(ops_, name, handle);
            if (in.status().kind == FileKind::directory) {
                throw RunError(name, std::make_error_code(std::errc::is_a_directory).message());
            }
            // Through the reader library's interface, as a game build reads.
            std::uint64_t offset = 0;  // every sealed file starts at key byte 0
            while (const std::size_t n = in.readAt(block.data(), block.size(), offset)) {
                chartseal_unseal(block.data(), n, offset);
                offset += n;
                try {
                    out_.writeAll(block.data(), n);
                } catch (const RunError& e) {
                    fail(e.what());
                    return status;
                }
            }
            in.close();
        } catch (...) {
            fail(currentError(name).what());
        }
    }
    return status;
}

}  // namespace chartseal
