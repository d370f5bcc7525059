// The seal key and the sealed-file format: both are a contract with every
// reader of sealed chart files, so exact bytes are pinned here.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <random>

#include "TestSupport.h"
#include "format/SealKey.h"
#include "format/SealTransform.h"
#include "output/ChartSealer.h"

namespace chartseal {
namespace {

std::string fromHex(std::string_view hex)
{
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return bytes;
}

TEST(SealKey, IsThePinnedTableOfValuesFromTenToTwentyNine)
{
    std::uint64_t hash = 0xcbf29ce484222325;  // FNV-1a over the 137 values
    for (const std::uint8_t value : SealKey) {
        EXPECT_GE(value, 10);
        EXPECT_LE(value, 29);
        hash = (hash ^ value) * 0x100000001b3;
    }
    EXPECT_EQ(SEAL_KEY_LENGTH, 137u);
    EXPECT_EQ(hash, 0xe8ce64a0c752847bu) << "the seal key changed: every sealed chart file depends on it";
}

// The transform itself, against bytes pinned from the key's formula; the
// tests' own oracle (test::sealed) must give them too.
std::string sealedByTheTransform(std::string bytes)
{
    sealBytes(bytes.data(), bytes.data(), bytes.size(), 0);
    return bytes;
}

TEST(SealTransform, SealsAPinnedSampleLongerThanTheKey)
{
    std::string sample;
    for (int i = 0; i < 3; ++i) sample += "//---------------step-single - Hard----------------\n#NOTES:\n     Hard:\n";
    sample.resize(213);
    const std::string pinned =
        fromHex("4c434647413f424a374543483a3d44484387807e8245887887757f79313f3b577c827244493d4538383e3a4749444743"
                "4040431c3a626b6c626447192d36352e3a5f708079521d4a47424a3f43384647463e3c373b433c3c7f8278804a8d7c7b"
                "8177703745325e71887940413e413d3c3f383c4245464a4a3746273760625e53674b1a2c2b303a2a5a7e867d541e4144"
                "4a374543483a3d4448434139463f4588837e7e40877a80827b80303b3764718a6f383e3a47494447434040433f444149"
                "4527345b5e615b684824372f2e35385b7c8a79571c");
    EXPECT_EQ(sealedByTheTransform(sample), pinned);
    EXPECT_EQ(test::sealed(sample), pinned);
}

TEST(SealTransform, WrapsModulo256AndRestartsTheKeyAfterItsLength)
{
    constexpr std::size_t n = SEAL_KEY_LENGTH;
    std::string in(300, '\0');
    in[1] = static_cast<char>(250);      // key byte 1 is 20: 250 + 20 wraps to 14
    in[n] = static_cast<char>(255);      // the position after the key takes key byte 0 again
    in[n + 1] = static_cast<char>(250);  // and the next key byte 1
    const std::string out = sealedByTheTransform(in);
    EXPECT_EQ(static_cast<unsigned char>(out[1]), 14);
    EXPECT_EQ(static_cast<unsigned char>(out[n]), (255 + SealKey[0]) % 256);
    EXPECT_EQ(static_cast<unsigned char>(out[n + 1]), 14);
    EXPECT_EQ(static_cast<unsigned char>(out[n - 1]), SealKey[n - 1]);
    EXPECT_EQ(static_cast<unsigned char>(out[2 * n]), SealKey[0]);
}

TEST(SealTransform, TakingTheInputInPartsGivesTheSameBytes)
{
    std::mt19937 random(7);
    std::string in(5000, '\0');
    for (char& c : in) c = static_cast<char>(random());
    const std::string whole = test::sealed(in);
    for (const std::size_t part : {1u, 5u, 136u, 137u, 138u, 1000u}) {
        std::string out(in.size(), '\0');
        std::size_t keyIndex = 0;
        for (std::size_t pos = 0; pos < in.size(); pos += part) {
            const std::size_t n = std::min(part, in.size() - pos);
            keyIndex = sealBytes(in.data() + pos, out.data() + pos, n, keyIndex);
        }
        EXPECT_EQ(out, whole) << "parts of " << part;
        std::string back(in.size(), '\0');
        unsealBytes(out.data(), back.data(), out.size(), 0);
        EXPECT_EQ(back, in);
    }
}

class SealSlot : public test::TempDirTest {};

TEST_F(SealSlot, EachFileStartsAtKeyByteZeroAndHoldsOneByteForEachByte)
{
    std::mt19937 random(11);
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, ChartSealer::kBlockSize - 1,
                                   ChartSealer::kBlockSize, 3 * ChartSealer::kBlockSize + 5}) {
        std::string chart(size, '\0');
        for (char& c : chart) c = static_cast<char>(random());
        test::writeFile(at("chart"), chart);
        File in = test::openForReading(at("chart"));
        Slot slot;
        slot.add({0, size});
        for (const char* name : {"a.dat", "b.dat"}) {
            File out = test::createOutput(at(name));
            ChartSealer::sealSlot(slot, in, out);
            out.close();
        }
        EXPECT_EQ(test::readFile(at("a.dat")), test::sealed(chart)) << size;
        EXPECT_EQ(test::readFile(at("b.dat")), test::sealed(chart)) << size;
    }
}

TEST_F(SealSlot, ASlotOfManyRangesIsSealedAsOneRunOfBytes)
{
    // Ranges out of a chart, some crossing a block's end, and the line feed
    // a last line without one receives: the key runs on across all of them.
    std::string chart(3 * ChartSealer::kBlockSize, '\0');
    std::mt19937 random(5);
    for (char& c : chart) c = static_cast<char>(random());
    test::writeFile(at("chart"), chart);
    File in = test::openForReading(at("chart"));
    const ByteRange ranges[] = {{3, 200}, {1000, 1}, {ChartSealer::kBlockSize - 7, 20}, {5000, 2 * ChartSealer::kBlockSize}};
    Slot slot;
    std::string expected;
    for (const ByteRange& r : ranges) {
        slot.add(r);
        expected += chart.substr(r.offset, r.length);
    }
    slot.addedLineFeed = true;
    expected += '\n';
    File out = test::createOutput(at("s.dat"));
    ChartSealer::sealSlot(slot, in, out);
    out.close();
    EXPECT_EQ(test::readFile(at("s.dat")), test::sealed(expected));
}

TEST_F(SealSlot, AChartShorterThanItsSlotIsAChangeNotShortOutput)
{
    test::writeFile(at("chart"), "short");
    File in = test::openForReading(at("chart"));
    Slot slot;
    slot.add({0, 50});
    File out = test::createOutput(at("s.dat"));
    EXPECT_THROW(ChartSealer::sealSlot(slot, in, out), RunError);
}

}  // namespace
}  // namespace chartseal
