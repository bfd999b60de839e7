#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <vector>

#include "convert/filter.h"
#include "convert/pcm_kernel.h"
#include "host/host_api.h"

namespace {

/* The fast kernel against its plain twin on random bytes: every ratio, 1 to 8 channels, float and
   16-bit output (a 20 dB gain drives 16-bit samples into both clamps), both bit orders, frame
   counts on both sides of the fast kernel's block size, interleaved and planar bytes. The output
   must be the same bits. */
TEST(PcmKernel, FastIsBitIdenticalToPlain)
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
                        const PcmKernels &p = pcmKernelsPlain, &f = pcmKernelsFast;
                        (flags ? p.toFloat : p.toInt16)(s->filterTables, in.data(), layout, channels, ratio,
                                                        frames, plain.data());
                        (flags ? f.toFloat : f.toInt16)(s->filterTables, in.data(), layout, channels, ratio,
                                                        frames, fast.data());
                        ASSERT_EQ(memcmp(plain.data(), fast.data(), bytes), 0)
                            << "flags " << flags << " lsbFirst " << lsbFirst << " ratio " << ratio
                            << " channels " << channels << " planar " << planar << " frames " << frames;
                        if (!flags)
                            for (size_t i = 0; i < bytes; i += 2) {
                                int16_t v;
                                memcpy(&v, &plain[i], 2);
                                clampedHigh += v == 32767;
                                clampedLow += v == -32768;
                            }
                    }
            }
    EXPECT_GT(clampedHigh, 0);
    EXPECT_GT(clampedLow, 0);
    free(s);
}

} // namespace
