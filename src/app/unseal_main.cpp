// chartunseal FILE...: writes the unsealed bytes of each sealed chart file to
// standard output, in order, through the reader library's interface.
#include <cerrno>
#include <iostream>
#include <string>
#include <vector>

#include "app/StandardStreams.h"
#include "chartseal/reader.h"
#include "io/FileOps.h"

namespace {

constexpr const char* kUsage =
    "usage: chartunseal FILE...\n"
    "Writes the unsealed bytes of each sealed chart file to standard output, in order.\n"
    "  --help     this text\n"
    "  --version  the version\n";

}  // namespace

int main(int argc, char** argv)
{
    using chartseal::File;
    using chartseal::FileError;
    chartseal::prepareStandardStreams();
    const std::vector<std::string> args = chartseal::programArguments(argc, argv);
    if (argc < 2) {
        std::cerr << kUsage;
        return 2;
    }
    if (argc == 2 && args[1] == "--help") {
        std::cout << kUsage << std::flush;
        return std::cout ? 0 : 1;
    }
    if (argc == 2 && args[1] == "--version") {
        std::cout << "chartunseal " << chartseal_reader_version() << '\n' << std::flush;
        return std::cout ? 0 : 1;
    }
    chartseal::FileOps& ops = chartseal::systemFileOps();
    File out(ops, "standard output", chartseal::standardOutputHandle());
    std::vector<char> block(std::size_t{256} << 10);
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        try {
            const chartseal::FileHandle handle = ops.openForReading(args[i]);
            if (handle == chartseal::kNoFile) throw FileError::fromErrno(args[i], errno);
            File in(ops, args[i], handle);
            std::uint64_t offset = 0;  // every sealed file starts at key byte 0
            while (const std::size_t n = in.readSome(block.data(), block.size())) {
                chartseal_unseal(block.data(), n, offset);
                offset += n;
                out.writeAll(block.data(), n);
            }
            in.close();
        } catch (const FileError& e) {
            std::cerr << ("chartunseal: " + std::string(e.what()) + "\n");
            status = 1;
            if (std::string(e.what()).starts_with("standard output")) break;
        } catch (const std::exception& e) {
            std::cerr << ("chartunseal: " + std::string(args[i]) + ": " + e.what() + "\n");
            status = 1;
        }
    }
    try {
        out.close();
    } catch (const FileError& e) {
        std::cerr << ("chartunseal: " + std::string(e.what()) + "\n");
        status = 1;
    }
    return status;
}
