#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "dsdsignal/measure.h"

namespace dsdsignal {
namespace {

constexpr double kPi = 3.14159265358979323846;

std::vector<float> Sine(size_t n, double rate, double freq, double amplitude, double phase = 0.3)
{
    std::vector<float> x(n);
    for (size_t i = 0; i < n; ++i)
        x[i] = float(amplitude * std::sin(2 * kPi * freq * double(i) / rate + phase));
    return x;
}

struct NoiseCase {
    double rate;
    double freq;
    double amplitude;
    double sigma;
    size_t count; // not always a power of two: the measurement pads
};

class MeasureNoiseTest : public ::testing::TestWithParam<NoiseCase> {};

// White noise of known power: the in-band share is sigma^2 * (band width) / (rate / 2).
TEST_P(MeasureNoiseTest, SineInWhiteNoiseGivesTheExpectedSnr)
{
    const NoiseCase c = GetParam();
    std::vector<float> x = Sine(c.count, c.rate, c.freq, c.amplitude);
    std::mt19937_64 rng(7);
    std::normal_distribution<double> gauss(0.0, c.sigma);
    for (float &v : x)
        v = float(v + gauss(rng));

    const double bandPower = c.sigma * c.sigma * (20000.0 - 20.0) / (c.rate / 2);
    const double expected = 10 * std::log10((c.amplitude * c.amplitude / 2) / bandPower);
    const ToneMeasurement m = MeasureTone(x.data(), x.size(), c.rate, c.freq);
    EXPECT_NEAR(m.snrDb, expected, 1.0);
    EXPECT_NEAR(m.signalDb, 20 * std::log10(c.amplitude), 0.05);
    EXPECT_NEAR(m.noiseDb, 10 * std::log10(bandPower / 0.5), 1.0);
    EXPECT_NEAR(MeasureSnrDb(x.data(), x.size(), c.rate, c.freq), m.snrDb, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MeasureNoiseTest,
    ::testing::Values(NoiseCase{48000, 1000, 0.5, 1e-3, 65536}, NoiseCase{44100, 997, 0.9, 1e-5, 50000},
                      NoiseCase{352800, 1000, 0.25, 1e-4, 131072}, NoiseCase{96000, 5000, 0.5, 3e-6, 100000}),
    [](const ::testing::TestParamInfo<NoiseCase> &i) {
        return "Tone" + std::to_string(int(i.param.freq)) + "HzAt" + std::to_string(int(i.param.rate)) + "Hz";
    });

TEST(MeasureTone, WindowLeakageStaysBelowFloatRounding)
{
    // A float sine's rounding noise sits near -150 dB; the window must not leak more.
    const std::vector<float> x = Sine(1 << 16, 44100, 1000, 0.5);
    EXPECT_GT(MeasureSnrDb(x.data(), x.size(), 44100, 1000), 135.0);
}

TEST(MeasureTone, HarmonicInBandIsNoiseAndOutOfBandIsNot)
{
    const size_t n = 1 << 16;
    const double rate = 96000;
    std::vector<float> x = Sine(n, rate, 1000, 0.5);
    const std::vector<float> h3 = Sine(n, rate, 3000, 0.5e-3);  // -60 dB below the tone
    const std::vector<float> hi = Sine(n, rate, 30000, 0.5e-1); // -20 dB, above the band
    std::vector<float> withH3 = x, withHi = x;
    for (size_t i = 0; i < n; ++i) {
        withH3[i] += h3[i];
        withHi[i] += hi[i];
    }
    EXPECT_NEAR(MeasureSnrDb(withH3.data(), n, rate, 1000), 60.0, 0.2);
    EXPECT_GT(MeasureSnrDb(withHi.data(), n, rate, 1000), 130.0);
    // A narrower band leaves the harmonic out too.
    EXPECT_GT(MeasureSnrDb(withH3.data(), n, rate, 1000, 20, 2500), 130.0);
}

TEST(MeasureTone, DcOffsetIsNotCountedAsNoise)
{
    std::vector<float> x = Sine(1 << 16, 48000, 1000, 0.5);
    for (float &v : x)
        v += 0.25f;
    EXPECT_GT(MeasureSnrDb(x.data(), x.size(), 48000, 1000), 130.0);
}

TEST(MeasureTone, ChannelOfInterleavedSamples)
{
    const size_t frames = 1 << 15;
    const std::vector<float> left = Sine(frames, 48000, 1000, 0.5);
    std::mt19937_64 rng(3);
    std::normal_distribution<double> gauss(0.0, 1e-3);
    std::vector<float> interleaved(frames * 3);
    for (size_t i = 0; i < frames; ++i) {
        interleaved[3 * i] = float(gauss(rng));
        interleaved[3 * i + 1] = left[i];
        interleaved[3 * i + 2] = float(gauss(rng));
    }
    const double clean = MeasureChannelSnrDb(interleaved.data(), frames, 3, 1, 48000, 1000);
    const double noisy = MeasureChannelSnrDb(interleaved.data(), frames, 3, 0, 48000, 1000);
    EXPECT_GT(clean, 130.0);
    EXPECT_LT(noisy, 0.0);
    EXPECT_TRUE(std::isnan(MeasureChannelSnrDb(interleaved.data(), frames, 3, 3, 48000, 1000)));
}

TEST(MeasureTone, TooFewSamplesGiveNoFigure)
{
    const std::vector<float> x = Sine(32, 48000, 1000, 0.5);
    EXPECT_TRUE(std::isnan(MeasureSnrDb(x.data(), x.size(), 48000, 1000)));
    EXPECT_TRUE(std::isnan(MeasureSnrDb(x.data(), x.size(), 0, 1000)));
}

TEST(DsdToFloat, EarliestSampleIsBit7)
{
    const uint8_t bytes[] = {0x80, 0x01, 0xFF};
    const std::vector<float> x = DsdToFloat(bytes, 20);
    ASSERT_EQ(x.size(), 20u);
    EXPECT_EQ(x[0], 1.0f);
    for (int i = 1; i < 15; ++i)
        EXPECT_EQ(x[i], -1.0f) << i;
    EXPECT_EQ(x[15], 1.0f);
    for (int i = 16; i < 20; ++i)
        EXPECT_EQ(x[i], 1.0f) << i;
}

} // namespace
} // namespace dsdsignal
