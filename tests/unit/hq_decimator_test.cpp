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
        EXPECT_TRUE(got == reference::RefHq(stored, *s->hq, ratio, (flags & STREAM_FLOAT) != 0))
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

/* Every half-band kernel this processor runs gives the plain kernel's values, for each stage's
   length, every count of outputs (the vector kernels leave the odd ones over) and any inputs
   (those of 17 outputs all at the limits, so that the sums must be held to 32 bits); the plain
   one is the exact sum, rounded. */
TEST(HqFilters, KernelsAddInThePlainOrder)
{
    std::mt19937 random(5);
    std::uniform_int_distribution<int32_t> value(INT32_MIN, INT32_MAX);
    for (int32_t ratio : {2, 4, 8, 128}) { /* every stage's length: 119; 127; 39; 111, 31, 19 and 15 */
        HqState *hq = HqCreate(ratio, 1);
        ASSERT_NE(hq, nullptr);
        for (uint32_t k = 0; k < hq->bands; k++) {
            const HqBand &band = hq->band[k];
            for (uint32_t outputs = 0; outputs <= 19; outputs++) {
                /* One value more than used: the kernels may read it. */
                std::vector<int32_t> odds(outputs + 2 * band.pairs + 1), evens(outputs + 1);
                /* 17 outputs: inputs at the limits, the first output's of its taps' signs (its
                   sum past 32 bits), the rest alternating; else random ones of two sizes. */
                for (uint32_t j = 0; j < odds.size(); j++) {
                    const uint32_t t = j < band.pairs ? j : 2 * band.pairs - 1 - j;
                    const bool up = j < 2 * band.pairs ? band.q31[t] > 0 : j % 2 == 0;
                    odds[j] =
                        outputs == 17 ? (up ? INT32_MAX : INT32_MIN) : value(random) >> (outputs % 3 ? 1 : 8);
                }
                for (int32_t &v : evens)
                    v = outputs == 17 ? INT32_MAX : value(random) >> 1;
                std::vector<int32_t> plain(outputs);
                HqHalfBandRun(HQ_KERNEL_PLAIN, band.q31, band.pairs, odds.data(), evens.data(), plain.data(),
                              outputs);
                /* Each input times its tap, the last first: y is the sum over 2^31, rounded. */
                for (uint32_t i = 0; i < outputs; i++) {
                    int64_t sum = static_cast<int64_t>(band.q31[band.pairs]) * evens[i];
                    for (uint32_t j = 2 * band.pairs; j-- > 0;)
                        sum += static_cast<int64_t>(band.q31[j < band.pairs ? j : 2 * band.pairs - 1 - j]) *
                               odds[i + j];
                    const int64_t y = static_cast<int64_t>(plain[i]) << 31, half = int64_t{1} << 30;
                    ASSERT_TRUE((y - half <= sum || plain[i] == INT32_MIN) &&
                                (sum < y + half || plain[i] == INT32_MAX))
                        << i;
                }
                if (outputs == 17) {
                    EXPECT_EQ(plain[0], INT32_MAX);
                }
                for (uint32_t kernel = HQ_KERNEL_SSE2; kernel <= HqBestKernel(); kernel++) {
                    std::vector<int32_t> y(outputs);
                    HqHalfBandRun(kernel, band.q31, band.pairs, odds.data(), evens.data(), y.data(), outputs);
                    EXPECT_TRUE(y == plain)
                        << "kernel " << kernel << ", " << band.pairs << " pairs, " << outputs << " outputs";
                }
            }
        }
        free(hq);
    }
}

/* Stored samples (stereo goes four frames at a time) are the plain conversions of the scaled
   values: floats rounded to nearest, 16-bit by HqToInt16, at ties and limits, at scales from
   2^-1 to 2^-35 of 16-bit full scale. */
TEST(HqFilters, StoredSamplesAreThePlainConversions)
{
    const int32_t u = 1 << 16; /* 1.0 at the shift 31 */
    const int32_t values[] = {0,
                              1,
                              -1,
                              u / 2,
                              -u / 2,
                              3 * u / 2,
                              5 * u / 2,
                              -5 * u / 2,
                              u / 2 - 1,
                              32766 * u + u / 2,
                              32766 * u + u / 2 - 1,
                              32767 * u,
                              32767 * u + u / 2,
                              INT32_MAX,
                              -32767 * u - u / 2,
                              INT32_MIN,
                              -32767 * u,
                              12345678,
                              -87654321,
                              u / 3,
                              -u / 2 - 1,
                              3,
                              -3};
    const uint32_t n = sizeof values / sizeof values[0];
    for (int32_t shift : {16, 17, 31, 46, 50})
        for (uint32_t channels = 1; channels <= 3; channels++)
            for (bool floatOutput : {false, true}) {
                std::vector<int32_t> v(HQ_BLOCK * channels);
                for (uint32_t c = 0; c < channels; c++)
                    for (uint32_t i = 0; i < n; i++)
                        v[c * HQ_BLOCK + i] = values[(i + 7 * c) % n];
                std::vector<float> f(n * channels + 1, 9.0f), fWant = f;
                std::vector<int16_t> w(n * channels + 1, 9), wWant = w;
                for (uint32_t i = 0; i < n; i++)
                    for (uint32_t c = 0; c < channels; c++) {
                        const double x = v[c * HQ_BLOCK + i];
                        fWant[1 + i * channels + c] = static_cast<float>(ldexp(x, -shift));
                        wWant[1 + i * channels + c] = HqToInt16(ldexp(x, 15 - shift));
                    }
                HqStoreFrames(v.data(), channels, n, floatOutput, shift,
                              floatOutput ? static_cast<void *>(f.data()) : w.data(), 1);
                if (floatOutput)
                    EXPECT_EQ(memcmp(f.data(), fWant.data(), f.size() * sizeof(float)), 0)
                        << channels << " channels, shift " << shift;
                else
                    EXPECT_TRUE(w == wWant) << channels << " channels, shift " << shift;
            }
    /* The rounding of HqToInt16 itself: half away from zero, clamped, NaN to 0. */
    const struct {
        double v;
        int16_t want;
    } ties[] = {{0.5, 1},           {-0.5, -1},       {2.5, 3}, {-2.5, -3},         {32767.5, 32767},
                {-32768.5, -32768}, {40000.0, 32767}, {NAN, 0}, {-INFINITY, -32768}};
    for (const auto &t : ties)
        EXPECT_EQ(HqToInt16(t.v), t.want) << t.v;
}

/* The scale a gain sets: the largest power of two at which the worst bits cannot carry a
   first-stage output past 32 bits (the sum of each table's largest entry), twice it would:
   every bit of range is used, none overflows. */
TEST_F(HqTest, ScaleUsesTheRangeWithoutOverflow)
{
    for (int32_t ratio : {1, 8, 64})
        for (float gainDb : {-100.0f, 0.0f, 6.0f, 60.0f}) {
            SCOPED_TRACE(testing::Message() << "ratio " << ratio << ", gain " << gainDb);
            const uint32_t dsdRate = 2822400 * static_cast<uint32_t>(ratio > 8 ? ratio / 8 : 1);
            reference::Sound sound = reference::MakeSound(1, 64, 1);
            fixture::DsfSpec shape = fixture::PatternDsf(1, sound.PerChannel(), 1);
            shape.dsdRate = dsdRate;
            shape.channelBytes = sound.channels;
            uint32_t h = Create(fixture::MakeDsf(shape), DSD_PCM_HQ | STREAM_FLOAT,
                                dsdRate / 8 / static_cast<uint32_t>(ratio));
            ASSERT_NE(h, 0u) << fake::LastError();
            DsdStream *s = Record(h);
            Ops(h)->attribute(s, DSD_ATTRIB_GAIN, &gainDb, 1);
            const HqState *hq = s->hq;
            /* The worst first-stage output: each table's largest entry; then the half-bands'. */
            double worst = 0.0;
            for (uint32_t g = 0; g < hq->firstBytes; g++)
                worst += *std::max_element(hq->tables[g], hq->tables[g] + 256);
            EXPECT_LT(worst, 2147483648.0);
            EXPECT_GT(worst, 1073741824.0 * 0.99);
            fake::FreeStream(h);
        }
}

} // namespace
