// chartunseal FILE...: writes the unsealed bytes of each sealed chart file to
// standard output, in order, through the reader library's interface.
// chartunseal --restore BASE...: puts each sealed song back together.
#include <iostream>
#include <string>
#include <vector>

#include "app/ExitStatus.h"
#include "app/RestoreSong.h"
#include "app/StandardStreams.h"
#include "chartseal/reader.h"
#include "io/FileOps.h"

namespace {

constexpr const char* kUsage =
    "usage: chartunseal FILE...\n"
    "       chartunseal --restore BASE...\n"
    "Writes the unsealed bytes of each sealed chart file to standard output, in order.\n"
    "  --restore  puts each sealed song BASE.sm back together from its chart and its\n"
    "             sealed files BASE_2.dat to BASE_6.dat, which it then removes\n"
    "  --         ends the options: the names after it are taken as they are\n"
    "  --help     this text\n"
    "  --version  the version\n";

}  // namespace

int main(int argc, char** argv)
{
    using chartseal::File;
    using chartseal::RunError;
    chartseal::prepareStandardStreams();
    const std::vector<std::string> args = chartseal::programArguments(argc, argv);
    if (argc < 2) {
        std::cerr << kUsage;
        return chartseal::kExitUsage;
    }
    if (argc == 2 && args[1] == "--help") {
        std::cout << kUsage << std::flush;
        return std::cout ? chartseal::kExitSuccess : chartseal::kExitOutputFailed;
    }
    if (argc == 2 && args[1] == "--version") {
        std::cout << "chartunseal " << chartseal_reader_version() << '\n' << std::flush;
        return std::cout ? chartseal::kExitSuccess : chartseal::kExitOutputFailed;
    }
    chartseal::FileOps& ops = chartseal::systemFileOps();
    if (args[1] == "--restore") {
        std::vector<std::string> bases(args.begin() + 2, args.end());
        if (!bases.empty() && bases.front() == "--") bases.erase(bases.begin());
        if (bases.empty()) {
            std::cerr << kUsage;
            return chartseal::kExitUsage;
        }
        return chartseal::restoreSongs(ops, bases, std::cerr) == 0 ? chartseal::kExitSuccess
                                                                   : chartseal::kExitOutputFailed;
    }
    const int first = args[1] == "--" ? 2 : 1;
    if (first == argc) {
        std::cerr << kUsage;
        return chartseal::kExitUsage;
    }
    File out(ops, "standard output", chartseal::standardOutputHandle());
    std::vector<char> block(std::size_t{256} << 10);
    int status = chartseal::kExitSuccess;
    const auto fail = [&status](const std::string& line) {
        std::cerr << ("chartunseal: " + line + "\n") << std::flush;
        status = chartseal::kExitOutputFailed;
    };
    for (int i = first; i < argc; ++i) {
        // A failing input is that file's failure, and the others still go
        // out; a failing standard output ends the program.
        try {
            std::error_code ec;
            const chartseal::FileHandle handle = ops.openForReading(args[i], ec);
            if (ec) throw RunError(args[i], ec.message());
            File in(ops, args[i], handle);
            if (in.status().kind == chartseal::FileKind::directory) {
                throw RunError(args[i], std::make_error_code(std::errc::is_a_directory).message());
            }
            std::uint64_t offset = 0;  // every sealed file starts at key byte 0
            while (const std::size_t n = in.readAt(block.data(), block.size(), offset)) {
                chartseal_unseal(block.data(), n, offset);
                offset += n;
                try {
                    out.writeAll(block.data(), n);
                } catch (const RunError& e) {
                    fail(e.what());
                    return status;
                }
            }
            in.close();
        } catch (const RunError& e) {
            fail(e.what());
        } catch (const std::exception& e) {
            fail(chartseal::shownName(args[i]) + ": " + e.what());
        }
    }
    try {
        out.close();
    } catch (const RunError& e) {
        fail(e.what());
    }
    return status;
}
