#include "dsdsignal/modulator.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <iterator>
#include <limits>

namespace dsdsignal {
namespace {

// Loop filter, from design_modulator.py (band edge 20000 Hz at 2822400 Hz, largest NTF
// gain 1.4): one integrator followed by three resonators, every stage fed back from
// the output bit v (+-1) and the input u entering the first stage only:
//   x0' = x0 + a0 (u - v)
//   x1' = x1 + x0 - g0 x2 - a1 v      x2' = x2 + x1' - a2 v
//   x3' = x3 + x2 - g1 x4 - a3 v      x4' = x4 + x3' - a4 v
//   x5' = x5 + x4 - g2 x6 - a5 v      x6' = x6 + x5' - a6 v
// and x6 is the quantiser input.
constexpr double kFeedback[7] = {1.2223077617669028e-06, 3.5512618895355654e-05, 0.00053957555931112892,
                                 0.0053436585069216872,  0.03486697528567867,    0.17982743955415165,
                                 0.49061221904722535};
constexpr double kResonator[3] = {0.00032650625662267174, 0.0010899384953049207, 0.0017854560352277282};

// The aggressive variant (design_modulator.py BAND 1.7, BAND = 20000 x 2822400 / rate): the
// same structure with the zeros over 0..20 kHz at every rate and a largest NTF gain of 1.7, so
// that the noise rises steeply right above 20 kHz and stays high to the Nyquist rate. Feedback
// for DSD64, 128, 256 and 512; the resonators follow from the rate (g = 2 - 2 cos w).
constexpr double kAggressiveFeedback[4][7] = {
    {2.418749645105029e-05, 0.00046568155389099033, 0.0043941753278712702, 0.028974831825666021,
     0.1152873106338913, 0.4015851500151395, 0.65453285444035303},
    {2.4011565742807905e-05, 0.00046994118270038046, 0.0044001697204290001, 0.029284263763006791,
     0.1156526085178203, 0.40321268190917881, 0.65411771973460564},
    {2.3967752149683603e-05, 0.00047100691886303633, 0.0044016691734151759, 0.029361716244614339,
     0.11574389042470902, 0.40361971481943415, 0.65401386381766324},
    {2.3956809295279916e-05, 0.00047127340475951125, 0.0044020440900971528, 0.029381085277696169,
     0.11576670823391988, 0.40372148242034922, 0.65398789532136159}};
// The Gauss-Legendre points of 0..band edge at which the resonators put their zeros.
constexpr double kZeroPoints[3] = {0.40584515137740, 0.74153118559939, 0.94910791234276};

// Clip bounds of the states: twice the largest magnitude the leading path reached in
// 10 s runs of sines from 20 Hz to 20 kHz at -3 dBFS (at most 2.9e-5, 4.5e-4, 5.0e-3,
// 3.5e-2, 0.20, 0.63, 1.7), rounded up.
constexpr double kBound[7] = {6e-5, 9e-4, 1e-2, 7e-2, 0.4, 1.25, 3.5};
// The same for the aggressive variant: twice the largest magnitudes in 0.5 s runs of 20 Hz,
// 1 kHz and 15 kHz at -9 dBFS at DSD64 to DSD512 (at most 2.3e-4, 2.7e-3, 2.1e-2, 0.099, 0.42,
// 0.86, 1.65), rounded up. It is stable to -9 dBFS; at -6 dBFS DSD128 and above diverge.
constexpr double kAggressiveBound[7] = {5e-4, 6e-3, 5e-2, 0.2, 0.9, 1.8, 3.5};

inline void CompareExchange(uint64_t &a, uint64_t &b)
{
    const uint64_t lo = a < b ? a : b;
    b = a < b ? b : a;
    a = lo;
}

// Sorts 8 keys ascending (a 19-comparator network).
inline void Sort8(uint64_t *k)
{
    CompareExchange(k[0], k[2]), CompareExchange(k[1], k[3]), CompareExchange(k[4], k[6]);
    CompareExchange(k[5], k[7]), CompareExchange(k[0], k[4]), CompareExchange(k[1], k[5]);
    CompareExchange(k[2], k[6]), CompareExchange(k[3], k[7]), CompareExchange(k[0], k[1]);
    CompareExchange(k[2], k[3]), CompareExchange(k[4], k[5]), CompareExchange(k[6], k[7]);
    CompareExchange(k[2], k[4]), CompareExchange(k[3], k[5]), CompareExchange(k[1], k[4]);
    CompareExchange(k[3], k[6]), CompareExchange(k[1], k[2]), CompareExchange(k[3], k[4]);
    CompareExchange(k[5], k[6]);
}

} // namespace

SigmaDeltaModulator::SigmaDeltaModulator(Shaping shaping, uint32_t dsdRate)
{
    const double *feedback = kFeedback, *bound = kBound;
    double resonator[3] = {kResonator[0], kResonator[1], kResonator[2]};
    if (shaping == Shaping::kAggressive) {
        // The nearest of DSD64 to DSD512 for the set of feedback coefficients.
        const double multiple = static_cast<double>(dsdRate) / 2822400.0;
        int k = 0;
        while (k < 3 && multiple > 1.5 * static_cast<double>(1 << k))
            ++k;
        feedback = kAggressiveFeedback[k];
        bound = kAggressiveBound;
        for (int i = 0; i < 3; ++i)
            resonator[i] =
                2.0 - 2.0 * std::cos(2.0 * 3.14159265358979323846 * 20000.0 / dsdRate * kZeroPoints[i]);
    }
    std::copy(feedback, feedback + kOrder, feedback_);
    std::copy(resonator, resonator + 3, resonator_);
    // What one unit of v adds to each new state, through the non-delaying second
    // integrators of the resonators.
    const double step[kOrder] = {feedback[0],
                                 feedback[1],
                                 feedback[1] + feedback[2],
                                 feedback[3],
                                 feedback[3] + feedback[4],
                                 feedback[5],
                                 feedback[5] + feedback[6]};
    std::copy(step, step + kOrder, step_);
    for (int j = 0; j < kOrder; ++j) {
        bound_[j] = bound[j];
        inverseBound_[j] = 1.0 / bound[j];
    }
    Reset();
}

void SigmaDeltaModulator::Reset()
{
    for (auto &row : x_)
        std::fill(std::begin(row), std::end(row), 0.0);
    std::fill(std::begin(cost_), std::end(cost_), 0.0);
    std::fill(std::begin(history_), std::end(history_), 0);
    pathCount_ = 1;
    pending_ = 0;
    clippedRun_ = 0;
    stats_ = ModulatorStats{};
}

void SigmaDeltaModulator::ClearFilter()
{
    for (auto &row : x_)
        row[0] = 0.0;
    cost_[0] = 0.0;
    pathCount_ = 1;
    clippedRun_ = 0;
    ++stats_.resets;
}

// One sample of the look-ahead quantiser: a breadth-first search that keeps the kPaths
// cheapest bit sequences, where the cost of a sequence is the energy of its quantisation
// errors (y - v)^2. A plain modulator is the one-path case (v = sign(y)); keeping
// alternatives lets the loop steer away from states that would grow without bound.
int SigmaDeltaModulator::Step(double u)
{
    static_assert(kPaths == 8, "the selection below is written for 8 paths");
    u = std::isnan(u) ? 0.0 : std::clamp(u, -1.0, 1.0);

    // Every path branches on both values of its next bit. A kid's cost is its parent's plus
    // the energy of the quantisation error its bit makes, (y - v)^2 with y the parent's
    // quantiser input: the kid whose bit has the sign of y (kid i) costs less than the
    // other (kid i + 8). Keys order the kids by cost, ties by kid number: the bits of a
    // non-negative double order like integers, and the low 4 carry the kid number.
    const int n = pathCount_;
    double kc[2 * kPaths];
    uint64_t good[kPaths], bad[kPaths];
    for (int i = 0; i < kPaths; ++i) {
        const double y = std::fabs(x_[kOrder - 1][i]);
        const bool live = i < n;
        kc[i] = live ? cost_[i] + (y - 1.0) * (y - 1.0) : std::numeric_limits<double>::infinity();
        kc[i + kPaths] = live ? cost_[i] + (y + 1.0) * (y + 1.0) : std::numeric_limits<double>::infinity();
        good[i] = (std::bit_cast<uint64_t>(kc[i]) & ~uint64_t{15}) | static_cast<uint64_t>(i);
        bad[i] =
            (std::bit_cast<uint64_t>(kc[i + kPaths]) & ~uint64_t{15}) | static_cast<uint64_t>(i + kPaths);
    }
    // With both halves sorted, min(good[i], bad[7 - i]) picks the 8 smallest of the 16.
    Sort8(good);
    Sort8(bad);
    uint64_t kept[kPaths];
    for (int i = 0; i < kPaths; ++i)
        kept[i] = std::min(good[i], bad[kPaths - 1 - i]);
    const int best = static_cast<int>(good[0] & 15);
    auto bitOf = [this](int kid) {
        const bool positive = x_[kOrder - 1][kid % kPaths] >= 0.0;
        return static_cast<uint64_t>(positive == (kid < kPaths));
    };

    ++stats_.samples;
    ++pending_;
    int settled = -1;
    if (pending_ > static_cast<uint32_t>(kDelay)) {
        settled = static_cast<int>((history_[best % kPaths] >> (kDelay - 1)) & 1u);
        --pending_;
    }

    // The parents' next states before the bit is added.
    double base[kOrder][kPaths];
    for (int i = 0; i < kPaths; ++i) {
        base[0][i] = x_[0][i] + feedback_[0] * u;
        base[1][i] = x_[1][i] + x_[0][i] - resonator_[0] * x_[2][i];
        base[3][i] = x_[3][i] + x_[2][i] - resonator_[1] * x_[4][i];
        base[5][i] = x_[5][i] + x_[4][i] - resonator_[2] * x_[6][i];
    }
    for (int i = 0; i < kPaths; ++i) {
        base[2][i] = x_[2][i] + base[1][i];
        base[4][i] = x_[4][i] + base[3][i];
        base[6][i] = x_[6][i] + base[5][i];
    }

    // The kept kids become the new paths, the best first; dead kids and those that
    // disagree with the settled bit are dropped.
    const double bestCost = kc[best];
    uint64_t history[kPaths];
    double cost[kPaths];
    int parent[kPaths];
    double sign[kPaths];
    int m = 0;
    for (int r = -1; r < kPaths; ++r) {
        const int a = r < 0 ? best : static_cast<int>(kept[r] & 15);
        if ((r >= 0 && a == best) || kc[a] == std::numeric_limits<double>::infinity())
            continue;
        const int p = a % kPaths;
        const uint64_t bit = bitOf(a);
        const uint64_t h = (history_[p] << 1) | bit;
        if (settled >= 0 && static_cast<int>((h >> kDelay) & 1u) != settled)
            continue;
        history[m] = h;
        cost[m] = std::max(0.0, kc[a] - bestCost); // key truncation may rank a few ulps off
        parent[m] = p;
        sign[m] = bit ? -1.0 : 1.0;
        ++m;
    }
    for (int j = 0; j < kOrder; ++j) {
        for (int i = 0; i < m; ++i) {
            x_[j][i] = std::clamp(base[j][parent[i]] + sign[i] * step_[j], -bound_[j], bound_[j]);
        }
    }
    std::copy(history, history + m, history_);
    std::copy(cost, cost + m, cost_);
    pathCount_ = m;
    double load = 0.0;
    for (int j = 0; j < kOrder; ++j)
        load = std::max(load, std::fabs(x_[j][0]) * inverseBound_[j]);
    stats_.peakLoad = std::max(stats_.peakLoad, load);
    if (load >= 1.0) {
        ++stats_.clippedSamples;
        if (++clippedRun_ >= kResetAfter)
            ClearFilter();
    } else {
        clippedRun_ = 0;
    }
    return settled;
}

void SigmaDeltaModulator::Process(const double *in, size_t count, PackedBits &out)
{
    for (size_t i = 0; i < count; ++i) {
        const int bit = Step(in[i]);
        if (bit >= 0)
            out.Append(bit);
    }
}

void SigmaDeltaModulator::Finish(PackedBits &out)
{
    const uint64_t history = history_[0];
    for (uint32_t i = pending_; i > 0; --i)
        out.Append(static_cast<int>((history >> (i - 1)) & 1u));
    pending_ = 0;
    cost_[0] = 0.0;
    pathCount_ = 1;
}

} // namespace dsdsignal
