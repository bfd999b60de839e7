// 1-bit sigma-delta modulation for DSD test signals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dsdsignal {

// A growing 1-bit stream packed 8 samples to a byte, the earliest sample in bit 7
// (the order of DSDIFF sound data and of DSF files with 8 bits per sample).
struct PackedBits {
    std::vector<uint8_t> bytes;
    uint64_t bitCount = 0;

    void Append(int bit)
    {
        if ((bitCount & 7) == 0)
            bytes.push_back(0);
        if (bit)
            bytes.back() |= static_cast<uint8_t>(0x80u >> (bitCount & 7));
        ++bitCount;
    }
};

struct ModulatorStats {
    uint64_t samples = 0;        // input samples consumed
    uint64_t clippedSamples = 0; // samples after which the leading path had a state at its bound
    uint64_t resets = 0;         // times the guard cleared the loop filter
    double peakLoad = 0;         // largest |state| / bound seen on the leading path (1 = clipped)
};

// 7th-order modulator with a noise transfer function whose zeros spread over 0..20 kHz
// at 2822400 Hz (over 0..rate/141.12 at any rate, the coefficients being rate-independent)
// and whose gain never exceeds 1.4, so that the noise also stays low up to about 60 kHz.
// The quantiser looks ahead: it keeps the kPaths best candidate bit sequences by the
// energy of their quantisation error and settles each bit kDelay samples late, which
// keeps the loop stable up to -3 dBFS and beyond. As a guard, every loop-filter state is
// clipped at a fixed bound, and the filter is cleared when the leading path stays
// clipped for kResetAfter samples, so that no input can make it diverge.
//
// Input is in units of full modulation: +-1 is a bitstream of all ones or all zeros;
// -3 dBFS is a sine of amplitude 0.708. Input is clamped to +-1; NaN counts as 0.
// How the modulator shapes its noise. kGentle: the loop filter above, the same coefficients at
// every rate. kAggressive: the same structure with its zeros over 0..20 kHz at the modulator's
// rate and a largest NTF gain of 1.7: far less noise in the band, more on the ultrasonic
// plateau, so that a converter's stop bands must reject more against what the bits hold (as
// modulators that push the in-band noise down hard need); it is stable up to -9 dBFS.
enum class Shaping { kGentle, kAggressive };

class SigmaDeltaModulator {
public:
    static constexpr int kOrder = 7;
    static constexpr int kPaths = 8;
    static constexpr int kDelay = 40;
    static constexpr uint32_t kResetAfter = 4096;

    explicit SigmaDeltaModulator(Shaping shaping = Shaping::kGentle, uint32_t dsdRate = 2822400);

    // Back to silence, with no pending bits; the statistics are cleared too.
    void Reset();

    // Feeds `count` input samples. Each bit is appended to `out` as soon as it is
    // settled, kDelay samples after its input; a first call therefore appends nothing
    // until more than kDelay samples have been fed.
    void Process(const double *in, size_t count, PackedBits &out);

    // Settles the pending bits as the best path has them, so that `out` then holds exactly
    // one bit per input sample fed since Reset(). Further input continues from there.
    void Finish(PackedBits &out);

    // Bits fed but not yet appended.
    uint32_t Pending() const { return pending_; }

    const ModulatorStats &Stats() const { return stats_; }

private:
    int Step(double u); // the settled bit, or -1 while fewer than kDelay + 1 samples are fed
    void ClearFilter();

    // The candidate paths, best first: loop-filter states, accumulated cost, and the bits
    // chosen so far (bit i: the decision i samples ago, 1 for +1).
    double x_[kOrder][kPaths];
    double cost_[kPaths];
    uint64_t history_[kPaths];
    int pathCount_ = 1;
    uint32_t pending_ = 0;
    uint32_t clippedRun_ = 0;
    ModulatorStats stats_;
    // The loop filter's coefficients (see modulator.cpp) and the states' clip bounds.
    double feedback_[kOrder], step_[kOrder], resonator_[3];
    double bound_[kOrder], inverseBound_[kOrder];
};

} // namespace dsdsignal
