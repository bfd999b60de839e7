#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "convert/dsd_bytes.h"
#include "convert/filter.h"

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

/* The vectorised byte work against the byte-by-byte definitions, on lengths around every vector
   width and every channel count the wide paths treat differently. Each output buffer is sized
   exactly, so that a sanitizer sees a store beyond it. */
TEST(DsdBytes, MatchByteByByteDefinitions)
{
    BuildBitReverse();
    for (uint32_t channels = 1; channels <= 10; channels++)
        for (uint32_t blockSize : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 33u, 4096u}) {
            const std::vector<uint8_t> staging = RandomBytes(blockSize * channels, blockSize + channels);
            std::vector<uint8_t> got(staging.size());
            Deinterleave(got.data(), staging.data(), blockSize, channels);
            for (uint32_t i = 0; i < blockSize; i++)
                for (uint32_t ch = 0; ch < channels; ch++)
                    ASSERT_EQ(got[i * channels + ch], staging[ch * blockSize + i])
                        << "channels " << channels << " block " << blockSize << " byte " << i;
        }
    for (size_t n = 0; n <= 40; n++) {
        const std::vector<uint8_t> in = RandomBytes(n, static_cast<uint32_t>(n));
        std::vector<uint8_t> out(n);
        ReverseBits(out.data(), in.data(), n);
        for (size_t i = 0; i < n; i++)
            ASSERT_EQ(out[i], bitReverse[in[i]]) << "length " << n << " byte " << i;
    }
    /* DoP: frames alternate their marker, and the returned marker is the next frame's. */
    for (uint32_t channels : {1u, 2u, 6u})
        for (bool lsbFirst : {false, true}) {
            const uint32_t frames = 5;
            const std::vector<uint8_t> in = RandomBytes(2 * channels * frames, channels);
            std::vector<float> out(channels * frames);
            EXPECT_EQ(PackDop(out.data(), in.data(), channels, frames, 0x00050000u, lsbFirst), 0xFFFA0000u);
            for (uint32_t f = 0; f < frames; f++)
                for (uint32_t c = 0; c < channels; c++) {
                    uint32_t a = in[2 * f * channels + c], b = in[2 * f * channels + channels + c];
                    if (lsbFirst) {
                        a = bitReverse[a];
                        b = bitReverse[b];
                    }
                    int32_t word = (f % 2 ? -0x60000 : 0x50000) + static_cast<int32_t>(a << 8 | b);
                    ASSERT_EQ(out[f * channels + c], static_cast<float>(word) / 8388608.0f) << f << " " << c;
                }
        }
}

} // namespace
