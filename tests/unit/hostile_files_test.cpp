/*
 * Hostile sources: hosts that report more than they read, and files whose
 * header words claim more than the file holds. Creation must fail with the
 * right code or give a stream that plays, with memory bounded by the file.
 */
#include "addon_fixture.h"

#include <string.h>

#include <string>

#include "ops/operations.h"

namespace {

using fixture::Chunk;

/* The fake host's table with FileRead reporting `extra` bytes more than it was asked for. */
HostFunctions overReporting;
int32_t overReport = 0;

int32_t OverReportingRead(uint32_t file, void *buffer, uint32_t length)
{
    int32_t got = fake::HostTable()->FileRead(file, buffer, length);
    return got > 0 ? got + overReport : got;
}

class HostileTest : public AddonTest {
protected:
    void TearDown() override
    {
        hostFunctions = fake::HostTable();
        AddonTest::TearDown();
    }

    static void ReportMoreThanRead(int32_t extra)
    {
        overReporting = *fake::HostTable();
        overReporting.FileRead = OverReportingRead;
        overReport = extra;
        hostFunctions = &overReporting;
    }
};

TEST_F(HostileTest, HostReportingMoreThanItReadCannotOverrunTheBlocks)
{
    fixture::DffSpec shape;
    shape.sound = fixture::Interleave({fixture::PatternBytes(3000, 1), fixture::PatternBytes(3000, 2)});
    shape.artist = "Artist";
    shape.title = "A Title";
    shape.comments = {fixture::Comment{2020, 1, 2, 3, 4, 0, 0, "odd"}, fixture::Comment{2021, 5, 6, 7, 8, 1, 2, "even"}};
    for (int32_t extra : {1, 100, INT32_MAX - 8192}) {
        ReportMoreThanRead(extra);
        uint32_t h = Create(fixture::MakeDff(shape), STREAM_DECODE_ONLY | DSD_RAW);
        ASSERT_NE(h, 0u) << extra;
        const DsdStream *s = Record(h);
        EXPECT_STREQ(s->artist, "Artist") << extra;
        EXPECT_STREQ(s->title, "A Title") << extra;
        ASSERT_EQ(s->commentCount, 2u) << extra;
        EXPECT_EQ(s->comments[1]->commentLength, 4u) << extra;
        std::vector<uint8_t> out(4096), all;
        for (int calls = 0; calls < 100; calls++) {
            uint32_t r = fake::Read(h, out.data(), static_cast<uint32_t>(out.size()));
            all.insert(all.end(), out.begin(), out.begin() + (r & ~STREAM_READ_END));
            if (r & STREAM_READ_END)
                break;
        }
        EXPECT_EQ(all, shape.sound) << extra;
        fake::FreeStream(h);
    }
}

} // namespace
