/* What an application does with a playing DSD stream through the host: length, seeking, info, attributes. */
#include <gtest/gtest.h>

#include <math.h>
#include <string.h>

#include <vector>

#include "dsf_fixture.h"
#include "velm.h"
#include "velmdsd.h"

namespace {

std::vector<uint8_t> Pull(uint32_t h, uint32_t chunk = 4000)
{
    std::vector<uint8_t> out, buf(chunk);
    for (;;) {
        uint32_t n = VELM_ChannelGetData(h, buf.data(), chunk);
        if (n == 0xFFFFFFFFu || n == 0)
            break;
        out.insert(out.end(), buf.begin(), buf.begin() + n);
    }
    return out;
}

TEST(ChannelOps, SeekingResumesWhereAFreshDecodeWouldBe)
{
    std::vector<uint8_t> file = fixture::PatternDff(40000);
    const struct {
        uint32_t flags;
        uint64_t position;
    } cases[] = {{0, 17640},
                 {VELM_SAMPLE_FLOAT, 20000},
                 {VELM_DSD_DOP | VELM_SAMPLE_FLOAT, 80000},
                 {VELM_DSD_RAW | VELM_STREAM_DECODE, 30002}};
    for (auto c : cases) {
        uint32_t whole = VELM_DSD_StreamCreateFile(1, file.data(), 0, file.size(), c.flags, 0);
        ASSERT_NE(whole, 0u);
        uint64_t length = VELM_ChannelGetLength(whole, VELM_POS_BYTE);
        std::vector<uint8_t> all = Pull(whole);
        EXPECT_EQ(all.size(), length);
        VELM_StreamFree(whole);

        uint32_t h = VELM_DSD_StreamCreateFile(1, file.data(), 0, file.size(), c.flags, 0);
        std::vector<uint8_t> head(1000);
        ASSERT_EQ(VELM_ChannelGetData(h, head.data(), 1000), 1000u);
        ASSERT_EQ(VELM_ChannelSetPosition(h, c.position, VELM_POS_BYTE), 1u)
            << VELM_ErrorGetCode() << " flags " << c.flags << " length " << length;
        uint64_t reached = VELM_ChannelGetPosition(h, VELM_POS_BYTE);
        EXPECT_EQ(reached, c.position) << std::hex << c.flags; /* DSDIFF reaches any whole frame */
        std::vector<uint8_t> rest = Pull(h);
        if (c.flags & VELM_DSD_DOP) {
            /* The marker runs on across the seek: compare the DSD bytes under it. */
            ASSERT_EQ(rest.size(), all.size() - reached);
            for (size_t i = 0; i < rest.size(); i += 4) {
                float a, b;
                memcpy(&a, &rest[i], 4);
                memcpy(&b, &all[reached + i], 4);
                EXPECT_EQ(static_cast<int32_t>(a * 8388608.0f) & 0xFFFF,
                          static_cast<int32_t>(b * 8388608.0f) & 0xFFFF);
            }
        } else {
            EXPECT_TRUE(std::equal(rest.begin(), rest.end(), all.begin() + static_cast<ptrdiff_t>(reached)) &&
                        rest.size() == all.size() - reached)
                << std::hex << c.flags;
        }
        EXPECT_EQ(VELM_ChannelGetPosition(h, VELM_POS_BYTE), length);

        /* Past the end, or a mode of another unit: refused, the stream stays usable. */
        EXPECT_EQ(VELM_ChannelSetPosition(h, length, VELM_POS_BYTE), 0u);
        EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_POSITION);
        EXPECT_EQ(VELM_ChannelSetPosition(h, 0, 1), 0u);
        EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_NOTAVAIL);
        EXPECT_EQ(VELM_ChannelGetLength(h, 1), 0xFFFFFFFFFFFFFFFFull);
        EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_NOTAVAIL);
        /* Seeking back after the end forgets the end. */
        ASSERT_EQ(VELM_ChannelSetPosition(h, 0, VELM_POS_BYTE), 1u);
        EXPECT_EQ(Pull(h).size(), all.size());
        VELM_StreamFree(h);
    }
}

TEST(ChannelOps, InfoAttributesAndFilePositions)
{
    std::vector<uint8_t> file = fixture::PatternDff(20000);
    uint32_t pcm = VELM_DSD_StreamCreateFile(1, file.data(), 0, file.size(), 0, 0);
    uint32_t dop =
        VELM_DSD_StreamCreateFile(1, file.data(), 0, file.size(), VELM_DSD_DOP | VELM_SAMPLE_FLOAT, 0);
    ASSERT_NE(pcm, 0u);
    ASSERT_NE(dop, 0u);

    VELM_CHANNELINFO info;
    memset(&info, 0, sizeof info);
    VELM_ChannelGetInfo(dop, &info);
    EXPECT_EQ(info.ctype, VELM_CTYPE_DSD);
    EXPECT_EQ(info.origres, 24u);
    EXPECT_EQ(info.flags & VELM_DSD_DOP, VELM_DSD_DOP);
    VELM_ChannelGetInfo(pcm, &info);
    EXPECT_EQ(info.origres, 0u);

    float v = 0;
    for (uint32_t h : {pcm, dop}) {
        EXPECT_EQ(VELM_ChannelGetAttribute(h, VELM_DSD_ATTRIB_RATE, &v), 1u);
        EXPECT_EQ(v, 2822400.0f);
        EXPECT_EQ(VELM_ChannelSetAttribute(h, VELM_DSD_ATTRIB_RATE, 1.0f), 0u);
        EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_NOTAVAIL);
        EXPECT_EQ(VELM_ChannelGetAttribute(h, 0x1400F, &v), 0u);
        EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_ILLTYPE);
    }
    EXPECT_EQ(VELM_ChannelGetAttribute(pcm, VELM_DSD_ATTRIB_GAIN, &v), 1u);
    EXPECT_EQ(v, 6.0f);
    EXPECT_EQ(VELM_ChannelSetAttribute(dop, VELM_DSD_ATTRIB_GAIN, -3.0f), 0u);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_NOTAVAIL);

    /* -6 dB of gain halves the float output exactly where it does not clip. */
    uint32_t a = VELM_DSD_StreamCreateFile(1, file.data(), 0, file.size(), VELM_SAMPLE_FLOAT, 0);
    uint32_t b = VELM_DSD_StreamCreateFile(1, file.data(), 0, file.size(), VELM_SAMPLE_FLOAT, 0);
    ASSERT_EQ(VELM_ChannelSetAttribute(b, VELM_DSD_ATTRIB_GAIN, 0.0f), 1u);
    std::vector<uint8_t> loud = Pull(a), quiet = Pull(b);
    ASSERT_EQ(loud.size(), quiet.size());
    for (size_t i = 0; i < loud.size(); i += 4) {
        float x, y;
        memcpy(&x, &loud[i], 4);
        memcpy(&y, &quiet[i], 4);
        ASSERT_NEAR(x, y * 1.99526231f, 1e-5f + fabsf(x) * 1e-5f);
    }
    VELM_StreamFree(a);
    VELM_StreamFree(b);

    EXPECT_EQ(VELM_StreamGetFilePosition(pcm, 2), 40000u); /* sound bytes the source holds */
    uint8_t buf[4000];
    VELM_ChannelGetData(pcm, buf, sizeof buf);
    uint64_t pos = VELM_StreamGetFilePosition(pcm, 0);
    EXPECT_NE(pos, 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(VELM_StreamGetFilePosition(pcm, 1), 0xFFFFFFFFFFFFFFFFull);
    VELM_StreamFree(pcm);
    VELM_StreamFree(dop);
}

} // namespace
