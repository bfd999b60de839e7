#include <gtest/gtest.h>

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "convert/filter.h"
#include "convert/kernels.h"
#include "convert/pcm_kernel.h"
#include "host/host_api.h"

namespace {

/* Every kernel set this processor runs against the plain one on random bytes: every ratio, 1 to 8
   channels, float and 16-bit output (a 20 dB gain drives 16-bit samples into both clamps), both
   bit orders, frame counts on both sides of the kernels' block sizes, interleaved and planar
   bytes. The output must be the same bits. */
TEST(PcmKernel, EveryKernelIsBitIdenticalToPlain)
{
    DsdStream *s = static_cast<DsdStream *>(calloc(1, sizeof(DsdStream)));
    ASSERT_NE(s, nullptr);
    uint32_t x = 12345;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    int clampedHigh = 0, clampedLow = 0;
    for (uint32_t flags : {0u, STREAM_FLOAT})
        for (uint32_t lsbFirst : {0u, 1u})
            for (int32_t ratio = 1; ratio <= 64; ratio++) {
                s->dsdRate = 2822400u << (next() % 3);
                s->ratio = ratio;
                s->gainDb = 20.0f;
                s->flags = flags;
                s->lsbFirst = lsbFirst;
                BuildFilterTables(s);
                for (uint32_t set = 1; set < ConvertKernelCount(); set++) {
                    const ConvertKernels &f = *ConvertKernelAt(set);
                    PcmLaneTables &lanes = s->laneTables;
                    lanes.ratio = 0;
                    if (f.pcmPrepare != nullptr)
                        f.pcmPrepare(s->filterTables, ratio, &lanes);
                    for (uint32_t channels = 1; channels <= 8; channels++)
                        for (bool planar : {false, true}) {
                            const uint32_t frames = 1 + next() % 40;
                            const size_t perChannel = (frames - 1) * ratio + FILTER_GROUPS;
                            const PcmLayout layout =
                                planar ? PcmLayout{perChannel + next() % 5, 1} : PcmLayout{1, channels};
                            /* Exactly the bytes the windows cover, so that a sanitizer sees any read beyond. */
                            std::vector<uint8_t> in(planar ? (channels - 1) * layout.channelStep + perChannel
                                                           : perChannel * channels);
                            for (uint8_t &b : in)
                                b = static_cast<uint8_t>(next() >> 24);
                            const size_t bytes = frames * channels * (flags ? 4 : 2);
                            std::vector<uint8_t> plain(bytes, 0x00), fast(bytes, 0xFF);
                            const ConvertKernels &p = convertKernelsPlain;
                            (flags ? p.pcmFloat : p.pcmInt16)(s->filterTables, &lanes, in.data(), layout,
                                                              channels, ratio, frames, plain.data());
                            (flags ? f.pcmFloat : f.pcmInt16)(s->filterTables, &lanes, in.data(), layout,
                                                              channels, ratio, frames, fast.data());
                            ASSERT_EQ(memcmp(plain.data(), fast.data(), bytes), 0)
                                << f.name << " flags " << flags << " lsbFirst " << lsbFirst << " ratio "
                                << ratio << " channels " << channels << " planar " << planar << " frames "
                                << frames;
                            if (!flags)
                                for (size_t i = 0; i < bytes; i += 2) {
                                    int16_t v;
                                    memcpy(&v, &plain[i], 2);
                                    clampedHigh += v == 32767;
                                    clampedLow += v == -32768;
                                }
                        }
                }
            }
    EXPECT_GT(clampedHigh, 0);
    EXPECT_GT(clampedLow, 0);
    free(s);
}

/* The vector kernels' rows exist for every gain from -100 to +60 dB (no table entry and no partial
   sum can be denormal: convert/arm/kernels_arm.cpp), at every DSD rate and ratio they serve, both
   output forms and bit orders (the gathering kernels of ratios 16 to 64 at both ends of the range
   and between: a gain scales every entry alike); a gain far below that range is left to the scalar
   kernels. */
TEST(PcmKernel, VectorRowsCoverTheGainRange)
{
    DsdStream *s = static_cast<DsdStream *>(calloc(1, sizeof(DsdStream)));
    ASSERT_NE(s, nullptr);
    const ConvertKernels &best = *ConvertKernelsBest();
    if (best.pcmPrepare == nullptr) {
        free(s);
        GTEST_SKIP() << "no vector kernel of the designed filter here (" << best.name << ")";
    }
    float smallest = 1.0f;
    for (uint32_t dsdRate = 2822400; dsdRate <= 8 * 2822400u; dsdRate *= 2)
        for (int32_t ratio : {1, 2, 4, 8, 16, 32, 64})
            for (uint32_t flags : {0u, STREAM_FLOAT})
                for (uint32_t lsbFirst : {0u, 1u})
                    for (float gainDb = -100.0f; gainDb <= 60.0f; gainDb += ratio <= 8 ? 2.0f : 80.0f) {
                        s->dsdRate = dsdRate;
                        s->ratio = ratio;
                        s->gainDb = gainDb;
                        s->flags = flags;
                        s->lsbFirst = lsbFirst;
                        BuildFilterTables(s);
                        ASSERT_EQ(s->laneTables.ratio, static_cast<uint32_t>(ratio))
                            << "rate " << dsdRate << " ratio " << ratio << " gain " << gainDb;
                        for (int g = 0; g < FILTER_GROUPS; g++)
                            for (float v : s->filterTables[g])
                                if (v != 0.0f && fabsf(v) < smallest)
                                    smallest = fabsf(v);
                    }
    /* The margin the argument leaves: the smallest entry is far above 2^-103. */
    EXPECT_GT(smallest, 0x1p-90f);
    s->flags = STREAM_FLOAT;
    s->ratio = 1;
    s->gainDb = -700.0f;
    BuildFilterTables(s);
    EXPECT_EQ(s->laneTables.ratio, 0u) << "a gain that makes denormal entries must stay scalar";
    free(s);
}

} // namespace
