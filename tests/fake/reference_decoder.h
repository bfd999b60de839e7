/* reference_decoder.h - test sounds, their DSF and DSDIFF files, and a straight decode of them:
   the one reference the unit tests and the fuzz harness compare the read procedure with. */
#ifndef VELMDSD_TESTS_REFERENCE_DECODER_H
#define VELMDSD_TESTS_REFERENCE_DECODER_H

#include <stdint.h>
#include <string.h>

#include <vector>

#include "convert/filter.h"
#include "convert/hq_decimator.h"
#include "convert/stream_read.h"
#include "dsf_fixture.h"

/* The fuzzer's coverage feedback is for the add-on, not for the reference it is checked against
   (which would otherwise take most of each run). */
#if defined(__clang__)
#define REFERENCE_CODE __attribute__((no_sanitize("coverage")))
#else
#define REFERENCE_CODE
#endif

namespace reference {

/* The sound of a test file: per channel, bytes with the oldest bit in bit 7. */
struct Sound {
    std::vector<std::vector<uint8_t>> channels;
    size_t PerChannel() const { return channels.empty() ? 0 : channels[0].size(); }
};

inline Sound MakeSound(uint32_t channels, size_t perChannel, uint32_t seed)
{
    Sound s;
    for (uint32_t ch = 0; ch < channels; ch++)
        s.channels.push_back(fixture::PatternBytes(perChannel, seed * 31 + ch));
    return s;
}

inline std::vector<uint8_t> Reversed(std::vector<uint8_t> bytes)
{
    for (auto &b : bytes)
        b = bitReverse[b];
    return bytes;
}

/* The sound as a DSF file; lsbFirst files store every byte bit-reversed. */
inline std::vector<uint8_t> AsDsf(const Sound &sound, uint32_t blockSize, bool lsbFirst, uint8_t padByte = 0)
{
    fixture::DsfSpec shape;
    shape.channels = static_cast<uint32_t>(sound.channels.size());
    shape.blockSize = blockSize;
    shape.bitsPerSample = lsbFirst ? 1 : 8;
    shape.padByte = padByte;
    shape.sampleCount = sound.PerChannel() * 8;
    for (const auto &ch : sound.channels)
        shape.channelBytes.push_back(lsbFirst ? Reversed(ch) : ch);
    return fixture::MakeDsf(shape);
}

inline std::vector<uint8_t> AsDff(const Sound &sound)
{
    fixture::DffSpec shape;
    shape.channels = static_cast<uint16_t>(sound.channels.size());
    shape.sound = fixture::Interleave(sound.channels);
    return fixture::MakeDff(shape);
}

/* ---- the reference decoder: straight from the bits, no tables, no buffering ---- */

inline std::vector<uint8_t> RefRaw(const Sound &s)
{
    return fixture::Interleave(s.channels);
}

REFERENCE_CODE inline std::vector<uint8_t> RefDop(const Sound &s)
{
    std::vector<float> out;
    uint32_t marker = 0x05;
    for (size_t p = 0; p + 1 < s.PerChannel(); p += 2) {
        for (const auto &ch : s.channels) {
            int32_t word = static_cast<int32_t>((marker << 16) | (ch[p] << 8) | ch[p + 1]);
            if (word & 0x800000)
                word -= 0x1000000;
            out.push_back(static_cast<float>(word) / 8388608.0f);
        }
        marker ^= 0x05 ^ 0xFA;
    }
    std::vector<uint8_t> bytes(out.size() * 4);
    if (!out.empty())
        memcpy(bytes.data(), out.data(), bytes.size());
    return bytes;
}

/* The 200-tap convolution of +-1 bits, eight taps folded per byte and the 25 folds added in time order. */
REFERENCE_CODE inline std::vector<uint8_t> RefPcm(const Sound &s, uint32_t dsdRate, int32_t ratio,
                                                  float gainDb, bool floatOutput)
{
    float taps[FILTER_TAPS];
    DesignFilterTaps(dsdRate, ratio, taps);
    float g = FilterGain(gainDb, floatOutput);
    std::vector<uint8_t> bytes;
    size_t perChannel = s.PerChannel();
    for (size_t start = 0; start + FILTER_GROUPS <= perChannel; start += static_cast<size_t>(ratio)) {
        for (const auto &ch : s.channels) {
            float acc = 0.0f;
            for (int group = 0; group < FILTER_GROUPS; group++) {
                double fold = 0.0;
                for (int k = 0; k < 8; k++) {
                    bool one = (ch[start + group] >> (7 - k)) & 1;
                    float p = (one ? g : -g) * taps[8 * group + k];
                    fold += p;
                }
                acc += static_cast<float>(fold);
            }
            if (floatOutput) {
                uint8_t b[4];
                memcpy(b, &acc, 4);
                bytes.insert(bytes.end(), b, b + 4);
            } else {
                int16_t v = PcmToInt16(acc);
                uint8_t b[2];
                memcpy(b, &v, 2);
                bytes.insert(bytes.end(), b, b + 2);
            }
        }
    }
    return bytes;
}

/*
 * The high-quality converter over whole arrays: every first-stage window that lies within the
 * data through the converter's tables (oldest byte first; others count as zero), then each
 * half-band over the whole array, output i centred on input 2i, in 64-bit sums rounded once.
 * One output per `ratio` bytes of a channel, scaled by 2^-shift.
 */
REFERENCE_CODE inline std::vector<uint8_t> RefHq(const Sound &s, const HqState &plan, int32_t ratio,
                                                 bool floatOutput)
{
    const size_t perChannel = s.PerChannel(), outputs = perChannel / static_cast<size_t>(ratio);
    const int64_t half = plan.firstBytes / 2;
    std::vector<std::vector<int32_t>> values;
    if (outputs == 0)
        return {};
    for (const auto &ch : s.channels) {
        /* Enough first-stage outputs that every later one would see only zeros. */
        size_t reach = 0;
        for (uint32_t k = 0; k < plan.bands; k++)
            reach += static_cast<size_t>((plan.band[k].length - 1) / 2) << k;
        std::vector<int32_t> x((outputs << plan.bands) + reach + (2u << plan.bands));
        for (size_t j = 0; j < x.size(); j++) {
            int64_t start = static_cast<int64_t>(j * plan.step) - half;
            if (start < 0 || static_cast<size_t>(start) + plan.firstBytes > perChannel)
                continue;
            int64_t acc = 0;
            for (uint32_t g = 0; g < plan.firstBytes; g++)
                acc += plan.tables[g][ch[static_cast<size_t>(start) + g]];
            x[j] = static_cast<int32_t>(acc);
        }
        for (uint32_t k = 0; k < plan.bands; k++) {
            const HqBand &b = plan.band[k];
            const int64_t c = (b.length - 1) / 2, pairs = (b.length + 1) / 4;
            const int64_t size = static_cast<int64_t>(x.size());
            std::vector<int32_t> y(x.size() / 2);
            for (int64_t i = 0; i < static_cast<int64_t>(y.size()); i++) {
                int64_t acc = 0;
                for (int64_t t = 0; t < pairs; t++) {
                    const int64_t a = 2 * i - c + 2 * t, z = 2 * i + c - 2 * t;
                    acc += static_cast<int64_t>(b.q31[t]) *
                           ((a >= 0 ? int64_t{x[a]} : 0) + (z < size ? int64_t{x[z]} : 0));
                }
                acc += static_cast<int64_t>(b.q31[pairs]) * x[2 * i];
                acc = (acc + (int64_t{1} << 30)) >> 31;
                y[i] = static_cast<int32_t>(acc > INT32_MAX ? INT32_MAX : acc < INT32_MIN ? INT32_MIN : acc);
            }
            x.swap(y);
        }
        x.resize(outputs);
        values.push_back(x);
    }
    const double scale = ldexp(floatOutput ? 1.0 : 32768.0, -plan.shift);
    std::vector<uint8_t> bytes;
    for (size_t n = 0; n < outputs; n++)
        for (const auto &v : values) {
            if (floatOutput) {
                float f = static_cast<float>(v[n] * scale);
                bytes.insert(bytes.end(), reinterpret_cast<uint8_t *>(&f),
                             reinterpret_cast<uint8_t *>(&f) + 4);
            } else {
                int16_t i = HqToInt16(v[n] * scale);
                bytes.insert(bytes.end(), reinterpret_cast<uint8_t *>(&i),
                             reinterpret_cast<uint8_t *>(&i) + 2);
            }
        }
    return bytes;
}

/* The decode in the output form the stream flags choose. */
inline std::vector<uint8_t> RefDecode(const Sound &s, uint32_t flags, uint32_t dsdRate, int32_t ratio,
                                      float gainDb)
{
    if (flags & DSD_RAW)
        return RefRaw(s);
    if (flags & DSD_DOP)
        return RefDop(s);
    return RefPcm(s, dsdRate, ratio, gainDb, (flags & STREAM_FLOAT) != 0);
}

/* Bytes per channel per output unit of the form the stream flags choose. */
inline uint32_t UnitBytes(uint32_t flags)
{
    if (flags & DSD_RAW)
        return 1;
    return (flags & STREAM_FLOAT) ? 4 : 2;
}

} // namespace reference

#endif /* VELMDSD_TESTS_REFERENCE_DECODER_H */
