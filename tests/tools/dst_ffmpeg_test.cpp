// An independent check of the DST encoder: ffmpeg's own decoder must turn the encoder's files
// into exactly the PCM it makes of the same bits stored as plain DSDIFF.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "dsdsignal/dst.h"
#include "dsdsignal/music.h"

namespace {

using dsdsignal::DstEncodeOptions;
using dsdsignal::DstValueCoding;

// ffmpeg's PCM (32-bit float, as it decodes DSD) of a file; empty when it failed.
std::vector<uint8_t> FfmpegPcm(const std::string &path)
{
    const std::string command = "ffmpeg -nostdin -v error -i '" + path + "' -f f32le - 2>/dev/null";
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return {};
    std::vector<uint8_t> out;
    uint8_t buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.insert(out.end(), buffer, buffer + n);
    return pclose(pipe) == 0 ? out : std::vector<uint8_t>{};
}

struct Case {
    const char *name;
    uint32_t rate;
    uint32_t channels;
    DstEncodeOptions options;
};

DstEncodeOptions With(void (*change)(DstEncodeOptions &))
{
    DstEncodeOptions o;
    change(o);
    return o;
}

// Only what ffmpeg decodes: it takes one segment per channel (all our encoder writes) and
// copies stored frames to the wrong places, so every frame here is coded.
TEST(DstFfmpeg, DecodesTheEncodersFilesAsThePlainOnes)
{
    if (system("ffmpeg -version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ffmpeg is not installed (scripts/deps.sh --tests installs it)";
    const Case cases[] = {
        {"stereo DSD64", 2822400, 2, {}},
        {"mono DSD128", 5644800, 1, {}},
        {"6 channels, filters by pairs, tables by threes", 2822400, 6, With([](DstEncodeOptions &o) {
             o.channelsPerFilter = 2;
             o.channelsPerTable = 3;
         })},
        {"one filter and table for all, half probability", 2822400, 5, With([](DstEncodeOptions &o) {
             o.channelsPerFilter = o.channelsPerTable = 5;
             o.halfProbability = true;
         })},
        {"plain values, 128 taps", 2822400, 2, With([](DstEncodeOptions &o) {
             o.filterCoding = o.tableCoding = DstValueCoding::kPlain;
             o.filterTaps = 128;
         })},
        {"Rice values, 8 taps", 2822400, 2, With([](DstEncodeOptions &o) {
             o.filterCoding = o.tableCoding = DstValueCoding::kRice;
             o.filterTaps = 8;
         })},
    };
    char dir[] = "/tmp/dst_ffmpeg_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const dsdsignal::ChannelBytes sound =
            dsdsignal::PadToDstFrames(c.rate, dsdsignal::MakeMusic(c.rate, c.channels, 0.1));
        const std::vector<std::vector<uint8_t>> frames = dsdsignal::EncodeDst(c.rate, sound, c.options);
        ASSERT_FALSE(frames.empty());
        for (const std::vector<uint8_t> &f : frames)
            ASSERT_TRUE(f[0] & 0x80) << "a stored frame";
        const std::string dst = std::string(dir) + "/dst.dff", plain = std::string(dir) + "/plain.dff";
        ASSERT_TRUE(dsdsignal::WriteFileBytes(
            dst, dsdsignal::MakeDffDstFromFrames(c.rate, static_cast<uint16_t>(c.channels), frames)));
        ASSERT_TRUE(dsdsignal::WriteFileBytes(plain, dsdsignal::MakeDff(c.rate, sound)));
        const std::vector<uint8_t> fromPlain = FfmpegPcm(plain);
        ASSERT_FALSE(fromPlain.empty());
        EXPECT_TRUE(FfmpegPcm(dst) == fromPlain) << "ffmpeg decodes the DST file differently";
        unlink(dst.c_str());
        unlink(plain.c_str());
    }
    rmdir(dir);
}

} // namespace
