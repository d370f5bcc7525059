// The reader library's C interface, as a game build calls it.
#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <vector>

#include "TestSupport.h"
#include "chartseal/reader.h"

namespace chartseal {
namespace {

class Reader : public test::TempDirTest {};

TEST_F(Reader, UnsealsPiecesOfAnyOffsetAndSize)
{
    std::mt19937 random(3);
    std::string text(3000, '\0');
    for (char& c : text) c = static_cast<char>(random());
    const std::string sealedFile = test::sealed(text);
    for (const std::size_t piece : {1u, 136u, 137u, 138u, 1000u, 3000u}) {
        std::string bytes = sealedFile;
        for (std::size_t at = 0; at < bytes.size(); at += piece) {
            chartseal_unseal(bytes.data() + at, std::min(piece, bytes.size() - at), at);
        }
        EXPECT_EQ(bytes, text) << "pieces of " << piece;
    }
    chartseal_unseal(nullptr, 5, 0);  // no bytes, no harm
}

TEST_F(Reader, ReadsAWholeFileOrSaysHowBigItIs)
{
    const std::string text = test::chartBlock("Hard") + test::chartBlock("Challenge");
    test::writeFile(at("song_3.dat"), test::sealed(text));
    std::vector<char> buffer(text.size());
    std::size_t length = 99;
    ASSERT_EQ(chartseal_read_file(at("song_3.dat").c_str(), buffer.data(), buffer.size(), &length), CHARTSEAL_OK);
    EXPECT_EQ(std::string(buffer.data(), length), text);

    std::vector<char> small(100);
    EXPECT_EQ(chartseal_read_file(at("song_3.dat").c_str(), small.data(), small.size(), &length),
              CHARTSEAL_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, text.size());
    EXPECT_EQ(std::string(small.data(), small.size()), text.substr(0, 100));
    EXPECT_EQ(chartseal_read_file(at("song_3.dat").c_str(), nullptr, 0, &length), CHARTSEAL_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, text.size());

    test::writeFile(at("empty.dat"), "");
    EXPECT_EQ(chartseal_read_file(at("empty.dat").c_str(), nullptr, 0, &length), CHARTSEAL_OK);
    EXPECT_EQ(length, 0u);
}

TEST_F(Reader, FailuresAreStatusesWithAText)
{
    std::size_t length = 0;
    char byte = 0;
    EXPECT_EQ(chartseal_read_file(at("absent.dat").c_str(), &byte, 1, &length), CHARTSEAL_CANNOT_OPEN);
    EXPECT_EQ(errno, ENOENT);
    // A folder is never read as a file: POSIX systems open it and fail to
    // read it, Windows fails to open it.
    const chartseal_status folder = chartseal_read_file(dir().c_str(), &byte, 1, &length);
    EXPECT_TRUE(folder == CHARTSEAL_CANNOT_READ || folder == CHARTSEAL_CANNOT_OPEN) << folder;
    EXPECT_EQ(chartseal_read_file(nullptr, &byte, 1, &length), CHARTSEAL_INVALID_ARGUMENT);
    EXPECT_EQ(chartseal_read_file(at("x").c_str(), nullptr, 4, &length), CHARTSEAL_INVALID_ARGUMENT);
    EXPECT_EQ(chartseal_read_file(at("x").c_str(), &byte, 1, nullptr), CHARTSEAL_INVALID_ARGUMENT);
    EXPECT_STREQ(chartseal_status_text(CHARTSEAL_BUFFER_TOO_SMALL), "the file is longer than the buffer");
    EXPECT_STREQ(chartseal_status_text(static_cast<chartseal_status>(77)), "unknown status");
    EXPECT_STREQ(chartseal_reader_version(), CHARTSEAL_EXPECTED_VERSION);
}

}  // namespace
}  // namespace chartseal
