#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "dsdsignal/measure.h"
#include "dsdsignal/modulator.h"
#include "dsdsignal/tone.h"

namespace dsdsignal {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr uint32_t kDsd64 = 2822400;

size_t PowerOfTwoBelow(size_t n)
{
    size_t p = 1;
    while (p * 2 <= n)
        p *= 2;
    return p;
}

// Measures the last power-of-two samples (the start holds the settling).
ToneMeasurement MeasureTail(const std::vector<float> &x, double rate, double tone, size_t most)
{
    const size_t n = std::min(most, PowerOfTwoBelow(x.size() * 9 / 10));
    return MeasureTone(x.data() + x.size() - n, n, rate, tone);
}

std::vector<float> Modulate(SigmaDeltaModulator &m, const std::vector<double> &in)
{
    PackedBits bits;
    m.Process(in.data(), in.size(), bits);
    m.Finish(bits);
    return DsdToFloat(bits.bytes.data(), bits.bitCount);
}

std::vector<double> SineInput(size_t n, double freq, double levelDbfs, double rate = kDsd64)
{
    std::vector<double> x(n);
    const double a = std::pow(10.0, levelDbfs / 20);
    for (size_t i = 0; i < n; ++i)
        x[i] = a * std::sin(2 * kPi * freq * double(i) / rate);
    return x;
}

// One 1 kHz tone at -6 dBFS shared by the quality tests.
class ModulatorQuality : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        const auto tone = MakeTone(kDsd64, 1, 0.8, 1000, -6);
        bits_ = new std::vector<float>(DsdToFloat(tone[0].data(), tone[0].size() * 8));
    }
    static void TearDownTestSuite()
    {
        delete bits_;
        bits_ = nullptr;
    }
    static std::vector<float> *bits_;
};
std::vector<float> *ModulatorQuality::bits_ = nullptr;

TEST_F(ModulatorQuality, IdealReferenceSnrAndLevel)
{
    const ToneMeasurement m = MeasureTail(*bits_, kDsd64, 1000, size_t{1} << 21);
    EXPECT_GE(m.snrDb, 100.0);
    EXPECT_NEAR(m.signalDb, -6.0, 0.05);
    std::printf("    ideal reference: level %.3f dBFS, in-band noise %.1f dB, SNR %.1f dB\n", m.signalDb,
                m.noiseDb, m.snrDb);
}

TEST_F(ModulatorQuality, NoiseIsShapedOutOfTheBand)
{
    const size_t n = size_t{1} << 20;
    const float *tail = bits_->data() + bits_->size() - n;
    const double inBand = MeasureTone(tail, n, kDsd64, 1000, 20, 20000).noiseDb;
    const double near = MeasureTone(tail, n, kDsd64, 1000, 24000, 40000).noiseDb;
    const double mid = MeasureTone(tail, n, kDsd64, 1000, 40000, 60000).noiseDb;
    const double far = MeasureTone(tail, n, kDsd64, 1000, 200000, 1000000).noiseDb;
    std::printf("    noise: 20 Hz-20 kHz %.1f dB, 24-40 kHz %.1f dB, 40-60 kHz %.1f dB, 0.2-1 MHz %.1f dB\n",
                inBand, near, mid, far);
    EXPECT_LT(inBand, -130.0);
    // Just above the band the noise rises but stays low: a short decoder filter folds it in.
    EXPECT_LT(near, -70.0);
    EXPECT_LT(mid, -40.0);
    EXPECT_GT(far, -10.0); // the bitstream's power has to go somewhere
}

struct StabilityCase {
    double freq;
    double seconds;
};

class ModulatorStability : public ::testing::TestWithParam<StabilityCase> {};

// Long runs at -3 dBFS: no state ever reaches its clip bound and the tone stays clean.
TEST_P(ModulatorStability, MinusThreeDbfsStaysBounded)
{
    const StabilityCase c = GetParam();
    SigmaDeltaModulator m;
    const size_t n = size_t(c.seconds * kDsd64);
    const std::vector<float> bits = Modulate(m, SineInput(n, c.freq, -3));
    const ModulatorStats &s = m.Stats();
    EXPECT_EQ(s.samples, n);
    EXPECT_EQ(s.clippedSamples, 0u);
    EXPECT_EQ(s.resets, 0u);
    EXPECT_LT(s.peakLoad, 0.75);
    const ToneMeasurement t = MeasureTail(bits, kDsd64, c.freq, size_t{1} << 20);
    EXPECT_GT(t.snrDb, 100.0);
    EXPECT_NEAR(t.signalDb, -3.0, 0.05);
}

INSTANTIATE_TEST_SUITE_P(Tones, ModulatorStability,
                         ::testing::Values(StabilityCase{20, 1.5}, StabilityCase{1000, 1.0},
                                           StabilityCase{15000, 0.5}),
                         [](const ::testing::TestParamInfo<StabilityCase> &i) {
                             return "Tone" + std::to_string(int(i.param.freq)) + "HzFor" +
                                    std::to_string(int(i.param.seconds * 1000)) + "Ms";
                         });

TEST(Modulator, OverloadStaysBoundedAndRecovers)
{
    SigmaDeltaModulator m;
    PackedBits bits;
    // Full-scale DC, a 0 dBFS sine, and input that is not a number or not finite.
    std::vector<double> bad(kDsd64 / 10, 1.0);
    m.Process(bad.data(), bad.size(), bits);
    const std::vector<double> loud = SineInput(kDsd64 / 10, 300, 0);
    m.Process(loud.data(), loud.size(), bits);
    const double odd[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity(), 1e300};
    for (int i = 0; i < 2000; ++i)
        m.Process(odd, 4, bits);
    EXPECT_GT(m.Stats().clippedSamples, 0u);
    EXPECT_LE(m.Stats().peakLoad, 1.0);

    // Back to a normal level: the guard has put the loop right again.
    const size_t before = bits.bitCount;
    const std::vector<double> tone = SineInput(kDsd64 / 2, 1000, -6);
    m.Process(tone.data(), tone.size(), bits);
    m.Finish(bits);
    const std::vector<float> all = DsdToFloat(bits.bytes.data(), bits.bitCount);
    const std::vector<float> after(all.begin() + long(before), all.end());
    const ToneMeasurement t = MeasureTail(after, kDsd64, 1000, size_t{1} << 19);
    EXPECT_GT(t.snrDb, 100.0);
    EXPECT_NEAR(t.signalDb, -6.0, 0.1);
}

TEST(Modulator, FullScaleDcGivesAllOnes)
{
    SigmaDeltaModulator m;
    const std::vector<double> dc(20000, 1.0);
    const std::vector<float> bits = Modulate(m, dc);
    double mean = 0;
    for (size_t i = 10000; i < bits.size(); ++i)
        mean += bits[i];
    EXPECT_GT(mean / 10000, 0.99);
}

TEST(Modulator, ChunkingDoesNotChangeTheBits)
{
    const std::vector<double> in = SineInput(50000, 3000, -6);
    SigmaDeltaModulator whole;
    PackedBits reference;
    whole.Process(in.data(), in.size(), reference);
    EXPECT_EQ(whole.Pending(), uint32_t(SigmaDeltaModulator::kDelay));
    EXPECT_EQ(reference.bitCount, in.size() - SigmaDeltaModulator::kDelay);
    whole.Finish(reference);
    EXPECT_EQ(reference.bitCount, in.size());
    EXPECT_EQ(whole.Pending(), 0u);

    for (size_t chunk : {size_t{1}, size_t{7}, size_t{39}, size_t{4096}}) {
        SigmaDeltaModulator m;
        PackedBits bits;
        for (size_t i = 0; i < in.size(); i += chunk)
            m.Process(in.data() + i, std::min(chunk, in.size() - i), bits);
        m.Finish(bits);
        EXPECT_EQ(bits.bitCount, reference.bitCount) << chunk;
        EXPECT_EQ(bits.bytes, reference.bytes) << chunk;
    }
}

TEST(Modulator, FirstBitsWaitForTheLookAhead)
{
    SigmaDeltaModulator m;
    PackedBits bits;
    const std::vector<double> in(SigmaDeltaModulator::kDelay, 0.0);
    m.Process(in.data(), in.size(), bits);
    EXPECT_EQ(bits.bitCount, 0u);
    m.Process(in.data(), 1, bits);
    EXPECT_EQ(bits.bitCount, 1u);
    m.Reset();
    EXPECT_EQ(m.Pending(), 0u);
    EXPECT_EQ(m.Stats().samples, 0u);
}

TEST(PackedBits, EarliestBitIsBit7)
{
    PackedBits b;
    for (int bit : {1, 0, 0, 0, 0, 0, 1, 1, 0, 1})
        b.Append(bit);
    ASSERT_EQ(b.bytes.size(), 2u);
    EXPECT_EQ(b.bytes[0], 0x83);
    EXPECT_EQ(b.bytes[1], 0x40);
    EXPECT_EQ(b.bitCount, 10u);
}

} // namespace
// The aggressive variant at DSD64 and DSD512: bounded at -9 dBFS, its in-band noise lower than the
// gentle loop's and its noise plateau (from rate / 8 to rate / 4) higher: a larger noise gain.
TEST(Modulator, AggressiveShapingMovesNoiseAboveTheBand)
{
    for (const uint32_t rate : {kDsd64, 8 * kDsd64}) {
        SCOPED_TRACE(rate);
        ToneMeasurement band[2], above[2];
        for (int v = 0; v < 2; v++) {
            SigmaDeltaModulator m(v ? Shaping::kAggressive : Shaping::kGentle, rate);
            const std::vector<float> bits = Modulate(m, SineInput(size_t(0.3 * rate), 1000, -9, rate));
            EXPECT_EQ(m.Stats().clippedSamples, 0u);
            EXPECT_EQ(m.Stats().resets, 0u);
            const size_t most = size_t{1} << (rate == kDsd64 ? 19 : 22);
            band[v] = MeasureTone(bits.data() + bits.size() - most, most, rate, 1000, 20, 20000);
            above[v] =
                MeasureTone(bits.data() + bits.size() - most, most, rate, 1000, rate / 8.0, rate / 4.0);
        }
        EXPECT_GT(band[1].snrDb, band[0].snrDb);
        EXPECT_LT(above[1].snrDb, above[0].snrDb - 1.0) << above[1].snrDb << " " << above[0].snrDb;
    }
}

} // namespace dsdsignal
