// Spectral measurement of a test tone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dsdsignal {

struct ToneMeasurement {
    double signalDb = 0; // tone level, dBFS: 0 dB is a sine of amplitude 1
    double noiseDb = 0;  // everything else in the band, relative to the same 0 dB
    double snrDb = 0;    // signalDb - noiseDb
};

// Windowed FFT of `count` samples (taken `stride` apart) with a 7-term Blackman-Harris
// window (side lobes below -180 dB), zero-padded to a power of two. The bins within the
// window's main lobe around toneHz are the signal; every other bin from bandLo to bandHi
// is noise (harmonics included), except the main lobe around DC. Pass only the part of
// a signal to be measured: skip the start where filters settle.
// Returns a measurement of -inf/nan fields when count < 64 or sampleRate <= 0.
ToneMeasurement MeasureTone(const float *samples, size_t count, double sampleRate, double toneHz,
                            double bandLo = 20.0, double bandHi = 20000.0, size_t stride = 1);

double MeasureSnrDb(const float *samples, size_t count, double sampleRate, double toneHz,
                    double bandLo = 20.0, double bandHi = 20000.0);

// One channel of interleaved samples: `frames` frames of `channels` samples.
double MeasureChannelSnrDb(const float *interleaved, size_t frames, uint32_t channels, uint32_t channel,
                           double sampleRate, double toneHz, double bandLo = 20.0, double bandHi = 20000.0);

// A 1-bit stream as +-1.0 samples (bit 1 is +1), the earliest sample in bit 7 of each
// byte. Measuring this directly is an ideal reference: no decimation filter involved.
std::vector<float> DsdToFloat(const uint8_t *bytes, uint64_t bitCount);

} // namespace dsdsignal
