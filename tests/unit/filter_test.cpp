#include <gtest/gtest.h>

#include <math.h>
#include <memory>
#include <stdlib.h>
#include <string.h>

#include "convert/filter.h"
#include "host/host_api.h"

namespace {

struct StreamDeleter {
    void operator()(DsdStream *s) const { free(s); }
};
using StreamPtr = std::unique_ptr<DsdStream, StreamDeleter>;

StreamPtr PcmStream(uint32_t dsdRate, int32_t ratio, float gainDb, uint32_t flags, uint32_t lsbFirst)
{
    StreamPtr s(static_cast<DsdStream *>(calloc(1, sizeof(DsdStream))));
    s->dsdRate = dsdRate;
    s->ratio = ratio;
    s->gainDb = gainDb;
    s->flags = flags;
    s->lsbFirst = lsbFirst;
    BuildFilterTables(s.get());
    return s;
}

TEST(BitReverse, KnownEntriesAndInvolution)
{
    BuildBitReverse();
    const struct {
        uint8_t in, out;
    } cases[] = {{0x00, 0x00}, {0x01, 0x80}, {0x02, 0x40}, {0x03, 0xC0}, {0x0F, 0xF0},
                 {0x80, 0x01}, {0xAA, 0x55}, {0xFF, 0xFF}, {0x12, 0x48}};
    for (auto c : cases)
        EXPECT_EQ(bitReverse[c.in], c.out) << int(c.in);
    for (int i = 0; i < 256; i++) {
        EXPECT_EQ(bitReverse[bitReverse[i]], i);
        EXPECT_EQ(__builtin_popcount(bitReverse[i]), __builtin_popcount(i));
    }
}

TEST(FilterDesign, CutoffFollowsRateAndRatio)
{
    EXPECT_EQ(FilterCutoff(2822400, 8), 0.013749999925494194);
    EXPECT_EQ(FilterCutoff(2822400, 4), 0.017715418711304665);
    EXPECT_EQ(FilterCutoff(2822400, 1), 0.017715418711304665);
    /* Higher rates keep the 25 kHz limit until 0.44 x output rate falls below it. */
    EXPECT_EQ(FilterCutoff(5644800, 16), static_cast<double>(static_cast<float>(0.11 / 16)));
}

TEST(FilterDesign, TapsMatchTheDesignedValues)
{
    float taps[FILTER_TAPS];
    DesignFilterTaps(2822400, 8, taps);
    /* Nine significant digits name one float: these comparisons are exact. */
    EXPECT_EQ(taps[0], -7.49930891e-8f);
    EXPECT_EQ(taps[1], -6.69081942e-7f);
    EXPECT_EQ(taps[99], 0.0158627722f);
    double sum = 0.0;
    for (int n = 0; n < FILTER_TAPS; n++) {
        EXPECT_EQ(taps[n], taps[FILTER_TAPS - 1 - n]) << n;
        sum += taps[n];
    }
    EXPECT_NEAR(sum, 1.0, 1e-6);
}

TEST(FilterDesign, GainIsExact)
{
    EXPECT_EQ(FilterGain(6.0f, false), 65380.75390625f);
    EXPECT_EQ(FilterGain(6.0f, true), 1.9952622652053833f);
    EXPECT_EQ(FilterGain(0.0f, false), 32768.0f);
    EXPECT_EQ(FilterGain(0.0f, true), 1.0f);
}

TEST(FilterTables, EntriesMatchTheDesignedValues)
{
    StreamPtr s = PcmStream(2822400, 8, 6.0f, 0, 0);
    const struct {
        int g, b;
        float value;
    } cases[] = {{5, 0x80, -495.11908f},  {5, 0x01, -373.739532f}, {5, 0xFF, 585.395691f},
                 {5, 0x00, -585.395691f}, {0, 0xFF, -3.10039783f}, {24, 0xFF, -3.10039783f},
                 {12, 0xFF, 8267.35742f}};
    for (auto c : cases)
        EXPECT_EQ(s->filterTables[c.g][c.b], c.value) << c.g << " " << c.b;
    EXPECT_EQ(s->filterTables[0][0xFF], s->filterTables[24][0xFF]);
}

TEST(FilterTables, LsbFirstExchangesMirroredBytes)
{
    StreamPtr msb = PcmStream(2822400, 8, 6.0f, 0, 0);
    StreamPtr lsb = PcmStream(2822400, 8, 6.0f, 0, 1);
    EXPECT_EQ(lsb->filterTables[5][0x80], msb->filterTables[5][0x01]);
    EXPECT_EQ(lsb->filterTables[5][0x01], msb->filterTables[5][0x80]);
    BuildBitReverse();
    for (int g = 0; g < FILTER_GROUPS; g++)
        for (int b = 0; b < 256; b++)
            ASSERT_EQ(lsb->filterTables[g][b], msb->filterTables[g][bitReverse[b]]) << g << " " << b;
}

TEST(FilterTables, ComplementIsExactNegationAndWindowsSumToGain)
{
    const struct {
        uint32_t rate;
        int32_t ratio;
        float gainDb;
        uint32_t flags;
    } cases[] = {{2822400, 8, 6.0f, 0},
                 {2822400, 1, 0.0f, STREAM_FLOAT},
                 {5644800, 16, -3.0f, 0},
                 {3072000, 8, 12.5f, STREAM_FLOAT},
                 {22579200, 64, 6.0f, 0}};
    for (auto c : cases) {
        StreamPtr s = PcmStream(c.rate, c.ratio, c.gainDb, c.flags, 0);
        double ones = 0.0, zeros = 0.0;
        for (int g = 0; g < FILTER_GROUPS; g++) {
            for (int b = 0; b < 256; b++)
                ASSERT_EQ(s->filterTables[g][255 - b], -s->filterTables[g][b]);
            ones += s->filterTables[g][0xFF];
            zeros += s->filterTables[g][0x00];
        }
        double g = FilterGain(c.gainDb, (c.flags & STREAM_FLOAT) != 0);
        EXPECT_NEAR(ones, g, fabs(g) * 1e-5) << c.rate << " " << c.ratio;
        EXPECT_NEAR(zeros, -g, fabs(g) * 1e-5);
    }
}

} // namespace
