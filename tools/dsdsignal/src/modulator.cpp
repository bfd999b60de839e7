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

// What one unit of v adds to each new state, through the non-delaying second
// integrators of the resonators.
constexpr double kStep[7] = {kFeedback[0],
                             kFeedback[1],
                             kFeedback[1] + kFeedback[2],
                             kFeedback[3],
                             kFeedback[3] + kFeedback[4],
                             kFeedback[5],
                             kFeedback[5] + kFeedback[6]};

// Clip bounds of the states: twice the largest magnitude the leading path reached in
// 10 s runs of sines from 20 Hz to 20 kHz at -3 dBFS (at most 2.9e-5, 4.5e-4, 5.0e-3,
// 3.5e-2, 0.20, 0.63, 1.7), rounded up.
constexpr double kBound[7] = {6e-5, 9e-4, 1e-2, 7e-2, 0.4, 1.25, 3.5};
constexpr double kInverseBound[7] = {1 / kBound[0], 1 / kBound[1], 1 / kBound[2], 1 / kBound[3],
                                     1 / kBound[4], 1 / kBound[5], 1 / kBound[6]};

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
        base[0][i] = x_[0][i] + kFeedback[0] * u;
        base[1][i] = x_[1][i] + x_[0][i] - kResonator[0] * x_[2][i];
        base[3][i] = x_[3][i] + x_[2][i] - kResonator[1] * x_[4][i];
        base[5][i] = x_[5][i] + x_[4][i] - kResonator[2] * x_[6][i];
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
            x_[j][i] = std::clamp(base[j][parent[i]] + sign[i] * kStep[j], -kBound[j], kBound[j]);
        }
    }
    std::copy(history, history + m, history_);
    std::copy(cost, cost + m, cost_);
    pathCount_ = m;
    double load = 0.0;
    for (int j = 0; j < kOrder; ++j)
        load = std::max(load, std::fabs(x_[j][0]) * kInverseBound[j]);
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
