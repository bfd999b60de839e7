#include "dsdsignal/tone.h"

#include <algorithm>
#include <cmath>
#include <thread>

#include "dsdsignal/modulator.h"

namespace dsdsignal {
namespace {

constexpr double kPi = 3.14159265358979323846;

std::vector<uint8_t> ModulateTone(uint64_t bytes, double cycles, double phase, double amplitude,
                                  Shaping shaping, uint32_t dsdRate)
{
    SigmaDeltaModulator modulator(shaping, dsdRate);
    PackedBits bits;
    bits.bytes.reserve(bytes + 1);
    constexpr size_t kChunk = 4096;
    std::vector<double> in(kChunk);
    for (uint64_t start = 0; bits.bitCount < bytes * 8; start += kChunk) {
        for (size_t i = 0; i < kChunk; ++i) {
            // The phase is reduced in cycles before scaling, so that it stays exact for long tones.
            double t = static_cast<double>(start + i) * cycles + phase;
            t -= std::floor(t);
            in[i] = amplitude * std::sin(2.0 * kPi * t);
        }
        modulator.Process(in.data(), kChunk, bits);
    }
    bits.bytes.resize(bytes);
    return std::move(bits.bytes);
}

} // namespace

std::vector<std::vector<uint8_t>> MakeTone(uint32_t dsdRate, uint32_t channels, double seconds, double freqHz,
                                           double levelDbfs, Shaping shaping)
{
    std::vector<std::vector<uint8_t>> out(channels);
    if (dsdRate == 0 || !(seconds > 0.0))
        return out;
    const uint64_t bytes = static_cast<uint64_t>(std::llround(seconds * dsdRate / 8.0));
    const double amplitude = std::pow(10.0, levelDbfs / 20.0);
    const double cycles = freqHz / dsdRate; // per sample

    // Channels are independent: spread them over the cores.
    const uint32_t workers = std::max(1u, std::min(channels, std::thread::hardware_concurrency()));
    auto work = [&](uint32_t first) {
        for (uint32_t c = first; c < channels; c += workers) {
            out[c] = ModulateTone(bytes, cycles, (c % 8) * 0.125, amplitude, shaping, dsdRate);
        }
    };
    std::vector<std::thread> threads;
    for (uint32_t w = 1; w < workers; ++w)
        threads.emplace_back(work, w);
    work(0);
    for (auto &t : threads)
        t.join();
    return out;
}

} // namespace dsdsignal
