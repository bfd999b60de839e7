/* The high-quality converter: its streamed output against a whole-array decode, and the
   passband of its stages. */
#include <math.h>

#include <algorithm>
#include <complex>
#include <random>

#include "addon_fixture.h"
#include "convert/hq_decimator.h"
#include "convert/hq_filters.h"
#include "ops/operations.h"
#include "reference_decoder.h"

namespace {

class HqTest : public AddonTest {};

/*
 * Random sound through both containers, 1 to 3 channels, every ratio from 1 to 64, both bit
 * orders, float and 16-bit, a 20 dB gain set through the attribute, pulled in
 * requests of random size: the bytes are those of the whole-array decode, and as many.
 */
TEST_F(HqTest, StreamedOutputIsTheWholeArrayDecode)
{
    std::mt19937 random(13);
    auto pick = [&](uint32_t lo, uint32_t hi) {
        return std::uniform_int_distribution<uint32_t>(lo, hi)(random);
    };
    float gain = 20.0f;
    for (int trial = 0; trial < 42; trial++) {
        const int32_t ratio = 1 << (trial % 7);
        const uint32_t channels = pick(1, 3), flags = DSD_PCM_HQ | (trial % 2 ? STREAM_FLOAT : 0);
        const bool dff = trial % 3 == 0, lsbFirst = !dff && trial % 5 == 0;
        const uint32_t dsdRate = 2822400 * static_cast<uint32_t>(ratio > 8 ? ratio / 8 : 1);
        const uint32_t freq = dsdRate / 8 / static_cast<uint32_t>(ratio);
        const uint32_t bytes = trial % 6 == 5 ? pick(1, 30) : pick(1, 2400) * (ratio > 8 ? 4 : 1);
        reference::Sound sound = reference::MakeSound(channels, bytes, trial);
        std::vector<uint8_t> file;
        if (dff) {
            fixture::DffSpec shape;
            shape.channels = static_cast<uint16_t>(channels);
            shape.dsdRate = dsdRate;
            shape.sound = fixture::Interleave(sound.channels);
            file = fixture::MakeDff(shape);
        } else {
            fixture::DsfSpec shape = fixture::PatternDsf(channels, sound.PerChannel(), 1);
            shape.dsdRate = dsdRate;
            shape.bitsPerSample = lsbFirst ? 1 : 8;
            shape.channelBytes.clear();
            for (const auto &ch : sound.channels)
                shape.channelBytes.push_back(lsbFirst ? reference::Reversed(ch) : ch);
            file = fixture::MakeDsf(shape);
        }
        /* Every half-band kernel this processor runs meets every ratio: all add in one order. */
        const uint32_t kernel = std::min<uint32_t>((trial / 7) % 3, HqBestKernel());
        SCOPED_TRACE(testing::Message() << "trial " << trial << " ratio " << ratio << " channels " << channels
                                        << " kernel " << kernel
                                        << (dff        ? " DSDIFF"
                                            : lsbFirst ? " DSF lsb first"
                                                       : " DSF"));
        uint32_t h = Create(file, flags, freq);
        ASSERT_NE(h, 0u) << fake::LastError();
        DsdStream *s = Record(h);
        ASSERT_EQ(s->ratio, ratio);
        s->hq->kernel = kernel;
        Ops(h)->attribute(s, DSD_ATTRIB_GAIN, &gain, 1);
        const uint32_t unit = (flags & STREAM_FLOAT) ? 4 : 2;
        const std::vector<uint8_t> got = PullToEnd(h, unit * channels * pick(1, 900));
        s = Record(h);
        /* The tables of an lsb-first stream take the bytes as the file stores them. */
        reference::Sound stored = sound;
        for (auto &ch : stored.channels)
            ch = lsbFirst ? reference::Reversed(ch) : ch;
        EXPECT_TRUE(got ==
                    reference::RefHq(stored, *s->hq, s->filterTables, ratio, (flags & STREAM_FLOAT) != 0))
            << got.size() << " bytes";
        EXPECT_EQ(got.size(), sound.PerChannel() / static_cast<size_t>(ratio) * channels * unit);
        fake::FreeStream(h);
    }
}

/* Who gets the converter: PCM streams with the flag, or while the quality option is set; never
   raw DSD or DoP. */
TEST_F(HqTest, FlagAndOptionChooseTheConverterForPcmOnly)
{
    const struct {
        uint32_t flags, quality;
        bool hq;
    } cases[] = {
        {0, 0, false},
        {DSD_PCM_HQ, 0, true},
        {STREAM_FLOAT, 1, true},
        {DSD_PCM_HQ | DSD_DOP | STREAM_FLOAT, 1, false},
        {DSD_PCM_HQ | DSD_RAW | STREAM_DECODE_ONLY, 0, false},
    };
    for (auto c : cases) {
        ConfigStore(&defaultQuality, c.quality);
        uint32_t h = Create(Dsf(5000), c.flags, 44100);
        ASSERT_NE(h, 0u);
        EXPECT_EQ(Record(h)->hq != nullptr, c.hq) << c.flags << " " << c.quality;
        EXPECT_EQ(fake::GetStream(h)->flags & DSD_PCM_HQ, 0u); /* the host never sees the bit */
        fake::FreeStream(h);
    }
    ConfigStore(&defaultQuality, 0u);
}

/* The stages together pass 0 to 0.4535 of the output rate (20 kHz at 44.1 kHz) within 0.1 dB, at
   every ratio; above 0.55 of the output rate the last stage stops what would fold back. */
TEST(HqFilters, PassbandIsFlatAtEveryRatio)
{
    for (int32_t ratio = 1; ratio <= 64; ratio *= 2) {
        HqState *hq = HqCreate(ratio, 1);
        ASSERT_NE(hq, nullptr);
        /* Frequencies in units of the output rate; the first stage runs at 8 x ratio of it. */
        auto response = [&](double f) {
            const uint32_t taps = 8 * hq->firstBytes;
            std::complex<double> h = 0.0;
            for (uint32_t n = 1; n < taps; n++)
                h += hq->first[n <= taps / 2 ? n : taps - n] *
                     std::polar(1.0, -2.0 * M_PI * f * n / (8.0 * ratio));
            double rate = static_cast<double>(8 * ratio) / (hq->step * 8); /* first-stage output, over Fo */
            for (uint32_t k = 0; k < hq->bands; k++, rate /= 2) {
                const HqBand &b = hq->band[k];
                const int c = static_cast<int>(b.length - 1) / 2, pairs = static_cast<int>(b.length + 1) / 4;
                double r = b.taps[pairs];
                for (int t = 0; t < pairs; t++)
                    r += 2.0 * b.taps[t] * cos(2.0 * M_PI * f / rate * (c - 2 * t));
                h *= r;
            }
            return 20.0 * log10(std::abs(h));
        };
        double worst = 0.0;
        for (double f = 0.0; f <= 0.4535; f += 0.0005)
            worst = fmax(worst, fabs(response(f)));
        EXPECT_LT(worst, 0.1) << "ratio " << ratio;
        if (ratio > 1) {
            EXPECT_LT(response(0.5465), -60.0) << "ratio " << ratio;
        }
        printf("[ measured ] ratio %d: passband within %.4f dB\n", ratio, worst);
        free(hq);
    }
}

/* Every half-band kernel this processor runs gives the plain kernel's doubles bit for bit, for
   each stage's length and every count of outputs (the vector kernels leave the odd ones over). */
TEST(HqFilters, KernelsAddInThePlainOrder)
{
    std::mt19937 random(5);
    std::uniform_real_distribution<double> value(-3e4, 3e4);
    const struct {
        const double *taps;
        uint32_t pairs;
    } bands[] = {
        {hqHalfBand15, 4}, {hqHalfBand19, 5}, {hqHalfBand31, 8}, {hqHalfBand111, 28}, {hqHalfBand143, 36}};
    for (const auto &band : bands)
        for (uint32_t outputs = 0; outputs <= 11; outputs++) {
            std::vector<double> odds(outputs + 2 * band.pairs), evens(outputs);
            for (double &v : odds)
                v = value(random);
            for (double &v : evens)
                v = value(random);
            std::vector<double> plain(outputs);
            HqHalfBandRun(HQ_KERNEL_PLAIN, band.taps, band.pairs, odds.data(), evens.data(), plain.data(),
                          outputs);
            for (uint32_t kernel = HQ_KERNEL_SSE2; kernel <= HqBestKernel(); kernel++) {
                std::vector<double> y(outputs);
                HqHalfBandRun(kernel, band.taps, band.pairs, odds.data(), evens.data(), y.data(), outputs);
                EXPECT_TRUE(outputs == 0 || memcmp(y.data(), plain.data(), outputs * sizeof(double)) == 0)
                    << "kernel " << kernel << ", " << band.pairs << " pairs, " << outputs << " outputs";
            }
        }
}

/* Stored samples (stereo goes two frames at a time) are the plain conversions: floats rounded to
   nearest, 16-bit by HqToInt16, at ties, limits, infinities and NaN. */
TEST(HqFilters, StoredSamplesAreThePlainConversions)
{
    const double values[] = {
        0.0,      -0.0,     0.5,      -0.5,      1.5,     2.5,      -2.5,     0.49999999999999994,
        32766.5,  32766.49, 32767.0,  32767.5,   40000.0, -32767.5, -32768.0, -32768.5,
        -40000.0, NAN,      INFINITY, -INFINITY, 1e300,   1.0 / 3.0};
    const uint32_t n = sizeof values / sizeof values[0];
    for (uint32_t channels = 1; channels <= 3; channels++)
        for (bool floatOutput : {false, true}) {
            std::vector<double> v(HQ_BLOCK * channels);
            for (uint32_t c = 0; c < channels; c++)
                for (uint32_t i = 0; i < n; i++)
                    v[c * HQ_BLOCK + i] = values[(i + 7 * c) % n];
            std::vector<float> f(n * channels + 1, 9.0f), fWant = f;
            std::vector<int16_t> w(n * channels + 1, 9), wWant = w;
            for (uint32_t i = 0; i < n; i++)
                for (uint32_t c = 0; c < channels; c++) {
                    fWant[1 + i * channels + c] = static_cast<float>(v[c * HQ_BLOCK + i]);
                    wWant[1 + i * channels + c] = HqToInt16(v[c * HQ_BLOCK + i]);
                }
            HqStoreFrames(v.data(), channels, n, floatOutput,
                          floatOutput ? static_cast<void *>(f.data()) : w.data(), 1);
            if (floatOutput)
                EXPECT_EQ(memcmp(f.data(), fWant.data(), f.size() * sizeof(float)), 0)
                    << channels << " channels";
            else
                EXPECT_TRUE(w == wWant) << channels << " channels";
        }
}

} // namespace
