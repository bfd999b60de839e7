/* fuzz_replay_test.cpp - the fuzz harness over the kept corpus and the generated seeds, in every build. */
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "create/stream_create.h"
#include "fake_host.h"
#include "fuzz_input.h"
#include "host/host.h"

namespace {

std::vector<uint8_t> ReadFile(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(FuzzReplay, CorpusFiles)
{
    std::vector<std::filesystem::path> files;
    for (const auto &entry : std::filesystem::directory_iterator(VELMDSD_FUZZ_CORPUS))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty()) << "no inputs in " << VELMDSD_FUZZ_CORPUS;
    for (const auto &path : files) {
        std::vector<uint8_t> bytes = ReadFile(path);
        EXPECT_EQ(FuzzOneInput(bytes.data(), bytes.size()), 0) << path.filename();
    }
}

TEST(FuzzReplay, GeneratedSeeds)
{
    for (const fuzz::Seed &seed : fuzz::Seeds()) {
        std::vector<uint8_t> bytes = seed.Bytes();
        EXPECT_EQ(FuzzOneInput(bytes.data(), bytes.size()), 0) << seed.name;
    }
}

/* Every prefix of an input is an input of its own, the missing control bytes being zeros. */
TEST(FuzzReplay, TruncatedInputs)
{
    std::vector<uint8_t> bytes = fuzz::Seeds().at(0).Bytes();
    for (size_t n = 0; n <= fuzz::CONTROL_BYTES + 200; n++)
        EXPECT_EQ(FuzzOneInput(bytes.data(), n), 0) << n << " bytes";
}

TEST(FuzzReplay, SeedsDecodeToTheirControls)
{
    for (const fuzz::Seed &seed : fuzz::Seeds()) {
        std::vector<uint8_t> bytes = seed.Bytes();
        size_t offset = 0;
        fuzz::Controls decoded = fuzz::Decode(bytes.data(), bytes.size(), &offset);
        EXPECT_TRUE(decoded == seed.controls) << seed.name;
        ASSERT_LE(offset, bytes.size()) << seed.name;
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + static_cast<ptrdiff_t>(offset), bytes.end()),
                  seed.filePart)
            << seed.name;
    }
}

/* The seeds start the fuzzer inside the readers and the read procedure: each makes a stream with sound. */
TEST(FuzzReplay, SeedsMakeStreams)
{
    for (const fuzz::Seed &seed : fuzz::Seeds()) {
        const fuzz::Controls &c = seed.controls;
        fake::Reset();
        AddonLoad();
        uint32_t file = fake::AddSource(fuzz::MakeSource(c, seed.filePart.data(), seed.filePart.size()));
        uint32_t h = DsdStreamCreate(file, fuzz::CreationFlags(c), fuzz::FreqTable()[c.freqIndex]);
        EXPECT_EQ(h != 0, seed.creates) << seed.name << ": error " << fake::LastError();
        if (h != 0) {
            fake::Stream *s = fake::GetStream(h);
            EXPECT_GT(static_cast<DsdStream *>(s->user)->length, 0u) << seed.name;
            fake::FreeStream(h);
        }
        AddonUnload();
    }
    fake::Reset();
}

} // namespace
