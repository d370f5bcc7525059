// chartunseal FILE...: writes the unsealed bytes of each sealed chart file to
// standard output, in order.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <vector>

#include "app/StandardStreams.h"
#include "io/FileOps.h"
#include "output/ChartSealer.h"

int main(int argc, char** argv)
{
    using chartseal::File;
    using chartseal::FileError;
    if (argc < 2) {
        std::cerr << "usage: chartunseal FILE...\n";
        return 2;
    }
    chartseal::prepareStandardStreams();
    chartseal::FileOps& ops = chartseal::systemFileOps();
    File out(ops, "standard output", STDOUT_FILENO);
    std::vector<char> block(chartseal::ChartSealer::kBlockSize);
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        try {
            const int fd = ops.open(argv[i], O_RDONLY, 0);
            if (fd < 0) throw FileError::fromErrno(argv[i], errno);
            File in(ops, argv[i], fd);
            std::size_t keyIndex = 0;  // every sealed file starts at key byte 0
            while (const std::size_t n = in.readSome(block.data(), block.size())) {
                keyIndex = chartseal::ChartSealer::unsealBytes(block.data(), block.data(), n, keyIndex);
                out.writeAll(block.data(), n);
            }
            in.close();
        } catch (const FileError& e) {
            std::cerr << "chartunseal: " << e.what() << '\n';
            status = 1;
        } catch (const std::exception& e) {
            std::cerr << "chartunseal: " << argv[i] << ": " << e.what() << '\n';
            status = 1;
        }
    }
    try {
        out.close();
    } catch (const FileError& e) {
        std::cerr << "chartunseal: " << e.what() << '\n';
        status = 1;
    }
    return status;
}
