// A stand-in for music as 1-bit DSD: several tones at different levels with noise under them,
// for measuring what compression achieves on something less regular than one sine.
#pragma once

#include <cstdint>
#include <vector>

namespace dsdsignal {

// Per channel, `seconds` (rounded to whole bytes) of tones at 110, 440, 1234.5, 3520 and
// 9000 Hz (-12, -18, -20, -26 and -34 dBFS, their phases shifted from channel to channel) over
// white noise at noiseDbfs (RMS), modulated from silence. `seed` chooses the noise.
std::vector<std::vector<uint8_t>> MakeMusic(uint32_t dsdRate, uint32_t channels, double seconds,
                                            double noiseDbfs = -40.0, uint32_t seed = 1);

} // namespace dsdsignal
