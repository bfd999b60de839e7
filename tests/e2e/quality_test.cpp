/*
 * Decoding quality of a real modulated tone through the whole chain: the
 * test-signal library's modulator and DSF writer, the stand-in host and the add-on.
 */
#include <gtest/gtest.h>

#include <math.h>
#include <string.h>

#include <complex>
#include <vector>

#include "dsdsignal/measure.h"
#include "dsdsignal/tone.h"
#include "dsdsignal/writers.h"
#include "velmdsd.h"

namespace {

std::vector<float> DecodeFloat(const std::vector<uint8_t> &file, uint32_t flags, uint32_t freq,
                               uint32_t *rate)
{
    std::vector<float> out;
    uint32_t h = VELM_DSD_StreamCreateFile(1, file.data(), 0, file.size(), flags, freq);
    EXPECT_NE(h, 0u) << VELM_ErrorGetCode();
    if (h == 0)
        return out;
    VELM_CHANNELINFO info;
    memset(&info, 0, sizeof info);
    VELM_ChannelGetInfo(h, &info);
    *rate = info.freq;
    std::vector<uint8_t> buf(1 << 16);
    for (;;) {
        uint32_t n = VELM_ChannelGetData(h, buf.data(), static_cast<uint32_t>(buf.size()));
        if (n == 0xFFFFFFFFu || n == 0)
            break;
        for (uint32_t i = 0; i < n; i += (flags & VELM_SAMPLE_FLOAT) ? 4 : 2) {
            if (flags & VELM_SAMPLE_FLOAT) {
                float v;
                memcpy(&v, &buf[i], 4);
                out.push_back(v);
            } else {
                int16_t v;
                memcpy(&v, &buf[i], 2);
                out.push_back(v / 32768.0f);
            }
        }
    }
    VELM_StreamFree(h);
    return out;
}

TEST(Quality, MinusSixDbToneDecodesCleanly)
{
    /* One channel, 1.2 s: the first 0.2 s are left out of the measurement. */
    auto tone = dsdsignal::MakeTone(2822400, 1, 1.2, 1000.0, -6.0);
    std::vector<uint8_t> file = dsdsignal::MakeDsf(2822400, tone);
    ASSERT_FALSE(file.empty());
    const struct {
        uint32_t flags, freq;
        uint32_t rate;
        double minSnrDb, levelTolerance;
    } cases[] = {
        {VELM_SAMPLE_FLOAT, 44100, 44100, 80.0, 0.5},
        {0, 44100, 44100, 80.0, 0.5},
        {VELM_SAMPLE_FLOAT, 352800, 352800, 85.0, 0.1}, /* far from the cutoff: the level holds */
    };
    for (auto c : cases) {
        uint32_t rate = 0;
        std::vector<float> pcm = DecodeFloat(file, c.flags, c.freq, &rate);
        ASSERT_EQ(rate, c.rate);
        size_t skip = rate / 5;
        ASSERT_GT(pcm.size(), skip + 4096);
        dsdsignal::ToneMeasurement m =
            dsdsignal::MeasureTone(pcm.data() + skip, pcm.size() - skip, rate, 1000.0, 20.0, 20000.0);
        EXPECT_GE(m.snrDb, c.minSnrDb) << "rate " << rate << " flags " << c.flags;
        /* -6 dBFS through the default 6 dB gain: about full scale. */
        EXPECT_NEAR(m.signalDb, 0.0, c.levelTolerance) << "rate " << rate;
        printf("[ measured ] %u Hz %s: SNR %.1f dB, tone %.2f dB\n", rate,
               (c.flags & VELM_SAMPLE_FLOAT) ? "float" : "16-bit", m.snrDb, m.signalDb);
    }
}

} // namespace

namespace {

/* The tone at toneHz in samples [first, end) of a signal at `rate`, as amplitude and phase
   (Hann window, time from sample 0): what the stream should reproduce from the DSD bits. */
std::complex<double> ToneAt(const float *x, size_t first, size_t end, double rate, double toneHz)
{
    std::complex<double> sum = 0.0;
    double weight = 0.0;
    for (size_t n = first; n < end; n++) {
        double w =
            0.5 - 0.5 * cos(2.0 * M_PI * static_cast<double>(n - first) / static_cast<double>(end - first));
        sum += w * static_cast<double>(x[n]) *
               std::polar(1.0, -2.0 * M_PI * toneHz * static_cast<double>(n) / rate);
        weight += w;
    }
    return 2.0 * sum / weight;
}

/*
 * The high-quality converter on short tones (0.45 s, the first 0.2 s left out): the noise and
 * distortion from 20 Hz to 20 kHz of a -12 dBFS tone, the exact count of samples, and the tone
 * as the DSD bits carry it: the same level to the passband's edge (within 0.1 dB, after the
 * gain) and the same phase (sample n is time n / rate: no delay, no advance).
 */
TEST(Quality, HighQualityModeMeetsItsTargets)
{
    const struct {
        uint32_t dsdRate, rate;
        double toneHz, minSnrDb;
        float gainDb;
        uint32_t flags;
    } cases[] = {
        {2822400, 44100, 1000.0, 128.0, 6.0f, VELM_SAMPLE_FLOAT},
        {2822400, 44100, 20000.0, 0.0, 6.0f, VELM_SAMPLE_FLOAT},
        {2822400, 44100, 1000.0, 80.0, 0.0f, 0},
        {2822400, 352800, 1000.0, 128.0, 6.0f, VELM_SAMPLE_FLOAT},
        {5644800, 352800, 158760.0, 0.0, 6.0f, VELM_SAMPLE_FLOAT},
        {5644800, 88200, 1000.0, 133.0, 6.0f, VELM_SAMPLE_FLOAT},
        {5644800, 88200, 39690.0, 0.0, 6.0f, VELM_SAMPLE_FLOAT},
        {11289600, 176400, 1000.0, 135.0, 6.0f, VELM_SAMPLE_FLOAT},
    };
    const double seconds = 0.45;
    for (auto c : cases) {
        SCOPED_TRACE(testing::Message() << c.dsdRate << " Hz to " << c.rate << " Hz, " << c.toneHz << " Hz");
        auto tone = dsdsignal::MakeTone(c.dsdRate, 1, seconds, c.toneHz, -12.0);
        std::vector<uint8_t> file = dsdsignal::MakeDsf(c.dsdRate, tone);
        ASSERT_TRUE(
            VELM_SetConfig(VELM_DSD_CONFIG_GAIN, static_cast<uint32_t>(static_cast<int32_t>(c.gainDb))));
        uint32_t rate = 0;
        std::vector<float> pcm = DecodeFloat(file, c.flags | VELM_DSD_PCM_HQ, c.rate, &rate);
        VELM_SetConfig(VELM_DSD_CONFIG_GAIN, 6);
        ASSERT_EQ(rate, c.rate);
        ASSERT_EQ(pcm.size(), static_cast<size_t>(seconds * c.rate + 0.5));
        const size_t skip = rate / 5;
        dsdsignal::ToneMeasurement m =
            dsdsignal::MeasureTone(pcm.data() + skip, pcm.size() - skip, rate, c.toneHz, 20.0, 20000.0);
        if (c.minSnrDb > 0.0) {
            EXPECT_GE(m.snrDb, c.minSnrDb);
        }
        std::vector<float> bits = dsdsignal::DsdToFloat(tone[0].data(), tone[0].size() * 8ull);
        const double bitsPerSample = static_cast<double>(c.dsdRate) / rate;
        std::complex<double> want =
            ToneAt(bits.data(), static_cast<size_t>(skip * bitsPerSample),
                   static_cast<size_t>(pcm.size() * bitsPerSample), c.dsdRate, c.toneHz);
        std::complex<double> got = ToneAt(pcm.data(), skip, pcm.size(), rate, c.toneHz);
        const double levelDb = 20.0 * log10(std::abs(got) / std::abs(want)) - c.gainDb;
        const double delay = -std::arg(got / want) / (2.0 * M_PI * c.toneHz) * rate;
        EXPECT_NEAR(levelDb, 0.0, 0.1);
        EXPECT_LT(fabs(delay), 0.25);
        printf("[ measured ] HQ %u to %u Hz, %.0f Hz: SNR %.1f dB, response %.4f dB, delay %.4f samples\n",
               c.dsdRate, rate, c.toneHz, m.snrDb, levelDb, delay);
    }
}

} // namespace

namespace {

/* SINAD (20 Hz to 20 kHz) of a -12 dBFS 1 kHz tone as the DSD bits themselves carry it. */
double BitsSinad(const std::vector<uint8_t> &bytes, uint32_t dsdRate, double skip)
{
    std::vector<float> bits = dsdsignal::DsdToFloat(bytes.data(), bytes.size() * 8ull);
    const size_t first = static_cast<size_t>(skip * dsdRate);
    return dsdsignal::MeasureTone(bits.data() + first, bits.size() - first, dsdRate, 1000.0, 20.0, 20000.0)
        .snrDb;
}

/* The most a float output can carry of the tone measured as `m` in these samples: rounding each
   to float adds white noise of ulp^2 / 12, and its share of 20 Hz to 20 kHz is what lies below
   the tone (power A^2 / 2, signalDb being A^2). The samples' own sizes set the ulps: the tone
   peaks just above 0.5, and at high output rates the modulator's ultrasonic noise, kept in the
   passband, makes them larger still. */
double FloatSinad(const float *x, size_t count, uint32_t rate, const dsdsignal::ToneMeasurement &m)
{
    double sum = 0.0;
    for (size_t n = 0; n < count; n++) {
        int e;
        frexp(x[n], &e); /* |x| in [2^(e-1), 2^e): ulp 2^(e-24) */
        sum += x[n] != 0.0f ? ldexp(1.0, 2 * (e - 24)) : 0.0;
    }
    const double noise = sum / static_cast<double>(count) / 12.0 * (20000.0 - 20.0) / (rate / 2.0);
    return m.signalDb - 10.0 * log10(2.0 * noise);
}

/*
 * Every DSD rate to every output rate of its family, the tone from both of the test modulators
 * (gentle: ours; aggressive: high-order shaping with much more noise just above 20 kHz and in
 * the ultrasonic range, which the stages must keep from folding into the band). Each cell must
 * come within 0.5 dB of what the bits hold, combined with what a float output can hold of the
 * samples decoded.
 */
TEST(Quality, HighQualityModeHoldsWhatTheBitsHold)
{
    using dsdsignal::Shaping;
    const uint32_t outs[4] = {44100, 88200, 176400, 352800};
    const struct {
        uint32_t dsdRate;
        Shaping shaping;
    } rows[] = {
        {2822400, Shaping::kGentle},     {2822400, Shaping::kAggressive},  {5644800, Shaping::kGentle},
        {5644800, Shaping::kAggressive}, {11289600, Shaping::kGentle},     {11289600, Shaping::kAggressive},
        {22579200, Shaping::kGentle},    {22579200, Shaping::kAggressive},
    };
    const double seconds = 0.6, skip = 0.2;
    for (const auto &r : rows) {
        auto tone = dsdsignal::MakeTone(r.dsdRate, 1, seconds, 1000.0, -12.0, r.shaping);
        const double bits = BitsSinad(tone[0], r.dsdRate, skip);
        std::vector<uint8_t> file = dsdsignal::MakeDsf(r.dsdRate, tone);
        for (int o = 0; o < 4; o++) {
            SCOPED_TRACE(testing::Message()
                         << r.dsdRate << " Hz (" << (r.shaping == Shaping::kGentle ? "gentle" : "aggressive")
                         << ") to " << outs[o] << " Hz");
            uint32_t rate = 0;
            std::vector<float> pcm = DecodeFloat(file, VELM_SAMPLE_FLOAT | VELM_DSD_PCM_HQ, outs[o], &rate);
            ASSERT_EQ(rate, outs[o]);
            const size_t first = static_cast<size_t>(skip * rate);
            ASSERT_GT(pcm.size(), first + 4096);
            const dsdsignal::ToneMeasurement m =
                dsdsignal::MeasureTone(pcm.data() + first, pcm.size() - first, rate, 1000.0, 20.0, 20000.0);
            const double got = m.snrDb;
            const double floats = FloatSinad(pcm.data() + first, pcm.size() - first, rate, m);
            const double can = -10.0 * log10(pow(10.0, -bits / 10.0) + pow(10.0, -floats / 10.0));
            EXPECT_GE(got, can - 0.5);
            printf("[ measured ] HQ %s %u to %u Hz: SINAD %.2f dB, bits %.2f dB, float %.2f dB, both %.2f dB "
                   "(%+.2f)\n",
                   r.shaping == Shaping::kGentle ? "gentle" : "aggressive", r.dsdRate, rate, got, bits,
                   floats, can, got - can);
        }
    }
}

} // namespace
