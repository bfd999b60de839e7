#include "dsdsignal/music.h"

#include <cmath>

#include "dsdsignal/modulator.h"

namespace dsdsignal {

std::vector<std::vector<uint8_t>> MakeMusic(uint32_t dsdRate, uint32_t channels, double seconds,
                                            double noiseDbfs, uint32_t seed)
{
    constexpr double kPi = 3.14159265358979323846;
    const double freq[] = {110.0, 440.0, 1234.5, 3520.0, 9000.0};
    const double level[] = {-12.0, -18.0, -20.0, -26.0, -34.0};
    std::vector<std::vector<uint8_t>> out(channels);
    if (dsdRate == 0 || !(seconds > 0.0))
        return out;
    const uint64_t bytes = static_cast<uint64_t>(seconds * dsdRate / 8.0);
    // Uniform noise of RMS 1 is +-sqrt(3).
    const double noise = std::pow(10.0, noiseDbfs / 20.0) * std::sqrt(3.0);
    for (uint32_t ch = 0; ch < channels; ch++) {
        SigmaDeltaModulator modulator;
        PackedBits bits;
        uint32_t state = seed * 2654435761u + ch * 40503u + 1u;
        constexpr size_t kChunk = 4096;
        std::vector<double> in(kChunk);
        for (uint64_t start = 0; bits.bitCount < bytes * 8; start += kChunk) {
            for (size_t i = 0; i < kChunk; ++i) {
                double x = 0;
                for (int k = 0; k < 5; k++) {
                    double t = static_cast<double>(start + i) * freq[k] / dsdRate + 0.1 * (ch + 1) * k;
                    t -= std::floor(t);
                    x += std::pow(10.0, level[k] / 20.0) * std::sin(2.0 * kPi * t);
                }
                state = state * 1664525u + 1013904223u;
                x += noise * (static_cast<double>(state >> 8) / 8388608.0 - 1.0);
                in[i] = x;
            }
            modulator.Process(in.data(), kChunk, bits);
        }
        bits.bytes.resize(bytes);
        out[ch] = std::move(bits.bytes);
    }
    return out;
}

} // namespace dsdsignal
