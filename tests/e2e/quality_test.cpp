/*
 * Decoding quality of a real modulated tone through the whole chain: the
 * test-signal library's modulator and DSF writer, the stand-in host and the add-on.
 */
#include <gtest/gtest.h>

#include <string.h>

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
