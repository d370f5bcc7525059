// Fuzz target: the survey and the partition over arbitrary bytes, read
// through a small line buffer, must agree with the line-by-line model and
// keep every byte.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "ReferenceModel.h"
#include "chart/ChartScanner.h"

using namespace chartseal;

namespace {

ChartStream openAt(const std::string& path, std::size_t bufferSize)
{
    FileOps& ops = systemFileOps();
    std::error_code ec;
    const FileHandle handle = ops.openForReading(path, ec);
    if (ec) std::abort();
    return ChartStream(File(ops, path, handle), bufferSize);
}

void check(bool ok)
{
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    // The first byte picks the line buffer size: small ones make lines cross
    // its end, larger ones let the vectorised search run over whole blocks.
    const std::size_t bufferSize = data[0] < 128 ? 1 + data[0] % 64 : std::size_t{64} << (data[0] % 6);
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

    const int fd = ::memfd_create("chart", MFD_CLOEXEC);
    check(fd >= 0);
    check(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    ChartStream first = openAt(path, bufferSize);
    const OrdinalTable ordinals = ChartScanner::survey(first);
    ChartStream second = openAt(path, bufferSize);
    SlotSet slots;
    ChartScanner::partition(second, ordinals, slots);
    // Each slot read back through its ranges.
    std::string slotBytes[kSlotCount + 1];
    std::vector<char> buffer(bufferSize);
    for (int n = 1; n <= kSlotCount; ++n) {
        readSlot(slots.slot(n), second.file(), buffer,
                 [&](char* piece, std::size_t length) { slotBytes[n].append(piece, length); });
    }
    ::close(fd);

    const test::ModelResult model = test::modelRun(bytes);
    int present = 0;
    for (int i = 0; i < kDifficultyCount; ++i) {
        check(ordinals.ordinal[i] == model.ordinals[i]);
        present += ordinals.present(i);
    }
    for (int k = 1; k <= present; ++k) check(ordinals.indexOf(k) >= 0);  // 1..k, each once
    for (int n = 1; n <= kSlotCount; ++n) check(slotBytes[n] == model.slots[n]);
    const bool finalLineFeedMissing = !bytes.empty() && bytes.back() != '\n';
    check(slots.totalSize() == bytes.size() + finalLineFeedMissing);
    return 0;
}
