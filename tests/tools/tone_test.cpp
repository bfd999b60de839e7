#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "dsdsignal/measure.h"
#include "dsdsignal/tone.h"

namespace dsdsignal {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Phase (radians) of the freq component of a +-1 stream over whole periods.
double PhaseAt(const std::vector<uint8_t> &bytes, double rate, double freq)
{
    const std::vector<float> x = DsdToFloat(bytes.data(), bytes.size() * 8);
    const size_t period = size_t(rate / freq);
    const size_t n = x.size() / period * period;
    std::complex<double> acc = 0;
    for (size_t i = 0; i < n; ++i)
        acc += double(x[i]) * std::polar(1.0, -2 * kPi * freq * double(i) / rate);
    return std::arg(acc);
}

TEST(MakeTone, SizesAndDegenerateArguments)
{
    const auto t = MakeTone(2822400, 3, 0.01, 1000, -6);
    ASSERT_EQ(t.size(), 3u);
    for (const auto &c : t)
        EXPECT_EQ(c.size(), 3528u);                                   // 28224 samples
    EXPECT_EQ(MakeTone(2822400, 2, 0.0001, 1000, -6)[1].size(), 35u); // 282.24 samples: rounded bytes
    EXPECT_TRUE(MakeTone(2822400, 0, 1, 1000, -6).empty());
    for (const auto &c : MakeTone(0, 2, 1, 1000, -6))
        EXPECT_TRUE(c.empty());
    for (const auto &c : MakeTone(2822400, 2, -1, 1000, -6))
        EXPECT_TRUE(c.empty());
}

// Channel c is the same tone shifted by c x 45 degrees; channel 8 repeats channel 0.
TEST(MakeTone, ChannelPhases)
{
    const double rate = 2822400, freq = 1000;
    const auto t = MakeTone(uint32_t(rate), 9, 0.05, freq, -6);
    const double p0 = PhaseAt(t[0], rate, freq);
    for (int c = 1; c < 8; ++c) {
        double d = PhaseAt(t[c], rate, freq) - p0 - c * kPi / 4;
        d = std::remainder(d, 2 * kPi);
        EXPECT_NEAR(d, 0.0, 0.01) << "channel " << c;
        EXPECT_NE(t[c], t[0]);
    }
    EXPECT_EQ(t[8], t[0]);
}

struct LevelCase {
    uint32_t rate;
    double freq;
    double level;
};

class MakeToneLevel : public ::testing::TestWithParam<LevelCase> {};

TEST_P(MakeToneLevel, MeasuresAtTheRequestedLevel)
{
    const LevelCase c = GetParam();
    const size_t n = size_t{1} << 19;
    const auto t = MakeTone(c.rate, 1, 1.15 * double(n) / c.rate, c.freq, c.level);
    const std::vector<float> x = DsdToFloat(t[0].data(), t[0].size() * 8);
    ASSERT_GT(x.size(), n);
    const ToneMeasurement m = MeasureTone(x.data() + x.size() - n, n, c.rate, c.freq);
    EXPECT_NEAR(m.signalDb, c.level, 0.05);
    EXPECT_GT(m.snrDb, 100.0 + (c.level + 6)); // the noise floor stays put
}

INSTANTIATE_TEST_SUITE_P(Levels, MakeToneLevel,
                         ::testing::Values(LevelCase{2822400, 1000, -6}, LevelCase{2822400, 440, -20},
                                           LevelCase{2822400, 10000, -40}, LevelCase{5644800, 1000, -6},
                                           LevelCase{3072000, 1000, -6}, LevelCase{11289600, 5000, -6}),
                         [](const ::testing::TestParamInfo<LevelCase> &i) {
                             return "Tone" + std::to_string(int(i.param.freq)) + "HzAtMinus" +
                                    std::to_string(int(-i.param.level)) + "DbfsAndRate" +
                                    std::to_string(i.param.rate);
                         });

} // namespace
} // namespace dsdsignal
