#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "convert/dsd_bytes.h"
#include "convert/filter.h"
#include "convert/kernels.h"

namespace {

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    for (uint8_t &b : v) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(seed >> 24);
    }
    return v;
}

/* Every kernel set's byte work (and the functions that use the preferred set) against the
   byte-by-byte definitions, on lengths around every vector width and every channel count the wide
   paths treat differently. Each output buffer is sized exactly, so that a sanitizer sees a store
   beyond it. */
TEST(DsdBytes, MatchByteByByteDefinitions)
{
    BuildBitReverse();
    struct Kernels {
        const char *name;
        DeinterleaveKernel *deinterleave;
        ReverseBitsKernel *reverseBits;
        PackDopKernel *packDop;
    };
    std::vector<Kernels> sets = {{"preferred", Deinterleave, ReverseBits, PackDop}};
    for (uint32_t i = 0; i < ConvertKernelCount(); i++) {
        const ConvertKernels &k = *ConvertKernelAt(i);
        sets.push_back({k.name, k.deinterleave, k.reverseBits, k.packDop});
    }
    for (const Kernels &k : sets) {
        SCOPED_TRACE(k.name);
        for (uint32_t channels = 1; channels <= 10; channels++)
            for (uint32_t blockSize : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 33u, 4096u}) {
                const std::vector<uint8_t> staging = RandomBytes(blockSize * channels, blockSize + channels);
                std::vector<uint8_t> got(staging.size());
                k.deinterleave(got.data(), staging.data(), blockSize, channels);
                for (uint32_t i = 0; i < blockSize; i++)
                    for (uint32_t ch = 0; ch < channels; ch++)
                        ASSERT_EQ(got[i * channels + ch], staging[ch * blockSize + i])
                            << "channels " << channels << " block " << blockSize << " byte " << i;
            }
        for (size_t n = 0; n <= 40; n++) {
            const std::vector<uint8_t> in = RandomBytes(n, static_cast<uint32_t>(n));
            std::vector<uint8_t> out(n);
            k.reverseBits(out.data(), in.data(), n);
            for (size_t i = 0; i < n; i++)
                ASSERT_EQ(out[i], bitReverse[in[i]]) << "length " << n << " byte " << i;
        }
        /* DoP: frames alternate their marker, and the returned marker is the next frame's. */
        for (uint32_t channels : {1u, 2u, 3u, 6u})
            for (uint32_t frames : {5u, 8u, 21u})
                for (bool lsbFirst : {false, true}) {
                    const std::vector<uint8_t> in = RandomBytes(2 * channels * frames, channels + frames);
                    std::vector<float> out(channels * frames);
                    EXPECT_EQ(k.packDop(out.data(), in.data(), channels, frames, 0x00050000u, lsbFirst),
                              frames % 2 ? 0xFFFA0000u : 0x00050000u);
                    for (uint32_t f = 0; f < frames; f++)
                        for (uint32_t c = 0; c < channels; c++) {
                            uint32_t a = in[2 * f * channels + c], b = in[2 * f * channels + channels + c];
                            if (lsbFirst) {
                                a = bitReverse[a];
                                b = bitReverse[b];
                            }
                            int32_t word = (f % 2 ? -0x60000 : 0x50000) + static_cast<int32_t>(a << 8 | b);
                            ASSERT_EQ(out[f * channels + c], static_cast<float>(word) / 8388608.0f)
                                << channels << " channels, frame " << f << " channel " << c;
                        }
                }
    }
}

} // namespace
