// Sine test tones as 1-bit DSD.
#pragma once

#include <cstdint>
#include <vector>

#include "dsdsignal/modulator.h"

namespace dsdsignal {

// A sine of freqHz at levelDbfs (0 dBFS: amplitude 1, i.e. full modulation) lasting
// `seconds`, rounded to whole bytes, for every channel; each channel is modulated on its
// own, starting from silence. Channel c is shifted in phase by c * 45 degrees
// (sin(2 pi f t + c pi / 4)), so that the channels of up to 8 differ while measuring the
// same. Bytes hold 8 samples each, the earliest in bit 7. The modulator sees the tone go
// on past the end, so the last bits are as good as the rest.
// dsdRate 0, channels 0 or a non-positive duration give empty channels. `shaping` chooses
// the modulator's noise shaping.
std::vector<std::vector<uint8_t>> MakeTone(uint32_t dsdRate, uint32_t channels, double seconds, double freqHz,
                                           double levelDbfs, Shaping shaping = Shaping::kGentle);

} // namespace dsdsignal
