#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "dsdsignal/bytes.h"
#include "dsdsignal/wav_stream.h"
#include "dsdsignal/writers.h"

namespace dsdsignal {
namespace {

uint8_t Reverse(uint8_t b)
{
    uint8_t r = 0;
    for (int i = 0; i < 8; ++i)
        r = uint8_t(r | (((b >> i) & 1) << (7 - i)));
    return r;
}

// Channel c, byte i: a value that tells both apart and is not bit-symmetric.
ChannelBytes Pattern(size_t channels, size_t bytes)
{
    ChannelBytes ch(channels, std::vector<uint8_t>(bytes));
    for (size_t c = 0; c < channels; ++c)
        for (size_t i = 0; i < bytes; ++i)
            ch[c][i] = uint8_t(0x01 + 0x10 * c + 3 * i);
    return ch;
}

struct DsfCase {
    size_t channels;
    size_t bytes;     // per channel given
    uint64_t samples; // 0: all
    uint32_t bitsPerSample;
    uint32_t blockSize;
    uint32_t channelType;
};

class DsfLayout : public ::testing::TestWithParam<DsfCase> {};

TEST_P(DsfLayout, ParsesBack)
{
    const DsfCase c = GetParam();
    const ChannelBytes ch = Pattern(c.channels, c.bytes);
    DsfOptions o;
    o.bitsPerSample = c.bitsPerSample;
    o.blockSize = c.blockSize;
    o.sampleCount = c.samples;
    const std::vector<uint8_t> f = MakeDsf(2822400, ch, o);
    const uint64_t samples = c.samples ? c.samples : c.bytes * 8;
    const uint64_t used = (samples + 7) / 8;
    const uint64_t blocks = (used + c.blockSize - 1) / c.blockSize;
    const uint64_t dataBytes = blocks * c.blockSize * c.channels;

    ASSERT_EQ(f.size(), 92 + dataBytes);
    EXPECT_EQ(GetId(f, 0), "DSD ");
    EXPECT_EQ(GetLe(f, 4, 8), 28u);
    EXPECT_EQ(GetLe(f, 12, 8), f.size());
    EXPECT_EQ(GetLe(f, 20, 8), 0u); // no tag
    EXPECT_EQ(GetId(f, 28), "fmt ");
    EXPECT_EQ(GetLe(f, 32, 8), 52u);
    EXPECT_EQ(GetLe(f, 40, 4), 1u);
    EXPECT_EQ(GetLe(f, 44, 4), 0u);
    EXPECT_EQ(GetLe(f, 48, 4), c.channelType);
    EXPECT_EQ(GetLe(f, 52, 4), c.channels);
    EXPECT_EQ(GetLe(f, 56, 4), 2822400u);
    EXPECT_EQ(GetLe(f, 60, 4), c.bitsPerSample);
    EXPECT_EQ(GetLe(f, 64, 8), samples);
    EXPECT_EQ(GetLe(f, 72, 4), c.blockSize);
    EXPECT_EQ(GetLe(f, 76, 4), 0u);
    EXPECT_EQ(GetId(f, 80), "data");
    EXPECT_EQ(GetLe(f, 84, 8), 12 + dataBytes);

    // Block groups: channel 0's block first; the tail of every last block is zero; with
    // 1 bit per sample the earliest sample is bit 0; bits past the count are cleared.
    const unsigned tail = unsigned(samples & 7);
    for (uint64_t b = 0; b < blocks; ++b) {
        for (size_t k = 0; k < c.channels; ++k) {
            const size_t block = 92 + size_t((b * c.channels + k) * c.blockSize);
            for (uint64_t i = 0; i < c.blockSize; ++i) {
                const uint64_t index = b * c.blockSize + i;
                uint8_t want = 0;
                if (index < used) {
                    want = ch[k][index];
                    if (index + 1 == used && tail)
                        want &= uint8_t(0xFF00u >> tail);
                    if (c.bitsPerSample == 1)
                        want = Reverse(want);
                }
                ASSERT_EQ(f[block + i], want) << "block " << b << " channel " << k << " byte " << i;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, DsfLayout,
                         ::testing::Values(DsfCase{2, 5000, 0, 1, 4096, 2}, // last block padded
                                           DsfCase{2, 8192, 0, 8, 4096, 2}, // blocks filled exactly
                                           DsfCase{1, 100, 797, 1, 64, 1},  // partial last byte, lsb first
                                           DsfCase{3, 100, 797, 8, 64, 3},  // partial last byte, msb first
                                           DsfCase{4, 10, 0, 1, 4, 4}, DsfCase{5, 10, 0, 1, 4, 6},
                                           DsfCase{6, 300, 2000, 1, 128, 7}, // fewer samples than given bytes
                                           DsfCase{8, 9, 0, 8, 16, 7}),
                         [](const ::testing::TestParamInfo<DsfCase> &i) {
                             const DsfCase &c = i.param;
                             return std::to_string(c.channels) + "Channels" + std::to_string(c.bytes) +
                                    "Bytes" +
                                    (c.samples ? std::to_string(c.samples) + "Samples"
                                               : std::string("AllSamples")) +
                                    std::to_string(c.bitsPerSample) + "BitBlock" +
                                    std::to_string(c.blockSize);
                         });

TEST(Dsf, TagAtTheMetadataPointer)
{
    DsfOptions o;
    o.id3Tag = MakeId3v23Tag("Sine", "Tester");
    const std::vector<uint8_t> f = MakeDsf(5644800, Pattern(2, 10), o);
    const uint64_t pointer = GetLe(f, 20, 8);
    EXPECT_EQ(pointer, 92u + 2 * 4096);
    EXPECT_EQ(GetLe(f, 12, 8), f.size());
    ASSERT_EQ(f.size(), pointer + o.id3Tag.size());
    EXPECT_TRUE(std::equal(o.id3Tag.begin(), o.id3Tag.end(), f.begin() + long(pointer)));
}

TEST(Dsf, RejectsUnusableInput)
{
    EXPECT_TRUE(MakeDsf(2822400, {{1, 2, 3}, {1, 2}}).empty());
    DsfOptions o;
    o.sampleCount = 25; // needs 4 bytes
    EXPECT_TRUE(MakeDsf(2822400, {{1, 2, 3}}, o).empty());
    o = DsfOptions{};
    o.blockSize = 0;
    EXPECT_TRUE(MakeDsf(2822400, {{1, 2, 3}}, o).empty());
}

TEST(Id3, Minimal23TagWithTextFrames)
{
    const std::vector<uint8_t> t = MakeId3v23Tag("Title", "Art");
    ASSERT_GE(t.size(), 10u);
    EXPECT_EQ(std::string(t.begin(), t.begin() + 3), "ID3");
    EXPECT_EQ(t[3], 3);
    EXPECT_EQ(t[4], 0);
    EXPECT_EQ(t[5], 0);
    const uint32_t size = uint32_t(t[6]) << 21 | uint32_t(t[7]) << 14 | uint32_t(t[8]) << 7 | t[9];
    EXPECT_EQ(size + 10, t.size());
    // TIT2: 10-byte header, encoding 0, "Title"; then TPE1 likewise.
    EXPECT_EQ(GetId(t, 10), "TIT2");
    EXPECT_EQ(GetBe(t, 14, 4), 6u);
    EXPECT_EQ(GetBe(t, 18, 2), 0u);
    EXPECT_EQ(t[20], 0);
    EXPECT_EQ(std::string(t.begin() + 21, t.begin() + 26), "Title");
    EXPECT_EQ(GetId(t, 26), "TPE1");
    EXPECT_EQ(GetBe(t, 30, 4), 4u);
    EXPECT_EQ(std::string(t.begin() + 37, t.begin() + 40), "Art");
    EXPECT_EQ(t.size(), 40u);
}

TEST(Id3, NonAsciiBecomesUtf16AndEmptyFramesAreLeftOut)
{
    const std::vector<uint8_t> t = MakeId3v23Tag("", "Z\xC3\xA9\xF0\x9F\x8E\xB5"); // Z, e-acute, U+1F3B5
    EXPECT_EQ(GetId(t, 10), "TPE1");
    const std::vector<uint8_t> want = {1, 0xFF, 0xFE, 'Z', 0, 0xE9, 0, 0x3C, 0xD8, 0xB5, 0xDF};
    EXPECT_EQ(GetBe(t, 14, 4), want.size());
    EXPECT_EQ(std::vector<uint8_t>(t.begin() + 20, t.end()), want);
    EXPECT_EQ(MakeId3v23Tag("", "").size(), 10u);
}

// A DSDIFF chunk as found by walking: id, data offset, data size.
struct Chunk {
    std::string id;
    size_t data;
    uint64_t size;
};

std::vector<Chunk> Walk(const std::vector<uint8_t> &f, size_t from, size_t to)
{
    std::vector<Chunk> out;
    while (from + 12 <= to) {
        const uint64_t size = GetBe(f, from + 4, 8);
        out.push_back({GetId(f, from), from + 12, size});
        from += 12 + size_t(size) + size_t(size & 1);
    }
    EXPECT_EQ(from, to) << "chunks must end exactly at their parent's end";
    return out;
}

const Chunk *Find(const std::vector<Chunk> &chunks, const std::string &id)
{
    for (const Chunk &c : chunks)
        if (c.id == id)
            return &c;
    return nullptr;
}

TEST(Dff, StructureSizesAndPads)
{
    DffOptions o;
    o.artist = "Odd"; // 4 + 3: odd, padded
    o.title = "Even"; // 4 + 4
    o.comments =
        std::vector<DffComment>{{2024, 5, 17, 13, 45, 1, 2, "abc"}, {1999, 12, 31, 23, 59, 0, 3, "xy"}};
    const ChannelBytes ch = Pattern(3, 5); // 15 sound bytes: odd
    const std::vector<uint8_t> f = MakeDff(2822400, ch, o);

    ASSERT_GE(f.size(), 16u);
    EXPECT_EQ(GetId(f, 0), "FRM8");
    EXPECT_EQ(GetBe(f, 4, 8), f.size() - 12);
    EXPECT_EQ(GetId(f, 12), "DSD ");
    const std::vector<Chunk> top = Walk(f, 16, f.size());
    ASSERT_EQ(top.size(), 5u);
    EXPECT_EQ(top[0].id, "FVER");
    EXPECT_EQ(top[1].id, "PROP");
    EXPECT_EQ(top[2].id, "DIIN");
    EXPECT_EQ(top[3].id, "COMT");
    EXPECT_EQ(top[4].id, "DSD ");
    EXPECT_EQ(top[0].size, 4u);
    EXPECT_EQ(GetBe(f, top[0].data, 4), 0x01050000u);

    const Chunk &prop = top[1];
    EXPECT_EQ(GetId(f, prop.data), "SND ");
    const std::vector<Chunk> props = Walk(f, prop.data + 4, prop.data + prop.size);
    const Chunk *fs = Find(props, "FS  ");
    const Chunk *chnl = Find(props, "CHNL");
    const Chunk *cmpr = Find(props, "CMPR");
    ASSERT_TRUE(fs && chnl && cmpr);
    EXPECT_EQ(fs->size, 4u);
    EXPECT_EQ(GetBe(f, fs->data, 4), 2822400u);
    EXPECT_EQ(chnl->size, 2u + 4 * 3);
    EXPECT_EQ(GetBe(f, chnl->data, 2), 3u);
    EXPECT_EQ(GetId(f, chnl->data + 2), "MLFT");
    EXPECT_EQ(GetId(f, chnl->data + 6), "MRGT");
    EXPECT_EQ(GetId(f, chnl->data + 10), "C   ");
    EXPECT_EQ(cmpr->size, 20u); // "DSD ", count 14, text, pad to even
    EXPECT_EQ(GetId(f, cmpr->data), "DSD ");
    EXPECT_EQ(f[cmpr->data + 4], 14);
    EXPECT_EQ(std::string(f.begin() + long(cmpr->data) + 5, f.begin() + long(cmpr->data) + 19),
              "not compressed");

    const std::vector<Chunk> diin = Walk(f, top[2].data, top[2].data + top[2].size);
    ASSERT_EQ(diin.size(), 2u);
    EXPECT_EQ(diin[0].id, "DIAR");
    EXPECT_EQ(diin[0].size, 7u);
    EXPECT_EQ(GetBe(f, diin[0].data, 4), 3u);
    EXPECT_EQ(std::string(f.begin() + long(diin[0].data) + 4, f.begin() + long(diin[0].data) + 7), "Odd");
    EXPECT_EQ(f[diin[0].data + 7], 0); // pad
    EXPECT_EQ(diin[1].id, "DITI");
    EXPECT_EQ(diin[1].size, 8u);

    // COMT: count, then 14-byte headers, text, a pad after odd text.
    const Chunk &comt = top[3];
    EXPECT_EQ(comt.size, 2u + (14 + 3 + 1) + (14 + 2));
    size_t at = comt.data;
    EXPECT_EQ(GetBe(f, at, 2), 2u);
    at += 2;
    EXPECT_EQ(GetBe(f, at, 2), 2024u);
    EXPECT_EQ(f[at + 2], 5);
    EXPECT_EQ(f[at + 3], 17);
    EXPECT_EQ(f[at + 4], 13);
    EXPECT_EQ(f[at + 5], 45);
    EXPECT_EQ(GetBe(f, at + 6, 2), 1u);
    EXPECT_EQ(GetBe(f, at + 8, 2), 2u);
    EXPECT_EQ(GetBe(f, at + 10, 4), 3u);
    EXPECT_EQ(std::string(f.begin() + long(at) + 14, f.begin() + long(at) + 17), "abc");
    EXPECT_EQ(f[at + 17], 0);
    at += 18;
    EXPECT_EQ(GetBe(f, at, 2), 1999u);
    EXPECT_EQ(GetBe(f, at + 8, 2), 3u);
    EXPECT_EQ(GetBe(f, at + 10, 4), 2u);
    EXPECT_EQ(std::string(f.begin() + long(at) + 14, f.begin() + long(at) + 16), "xy");

    // Sound: byte-interleaved frames, bits as given, then the pad byte.
    const Chunk &dsd = top[4];
    EXPECT_EQ(dsd.size, 15u);
    for (size_t i = 0; i < 5; ++i)
        for (size_t c = 0; c < 3; ++c)
            EXPECT_EQ(f[dsd.data + 3 * i + c], ch[c][i]);
    EXPECT_EQ(f.back(), 0);
    EXPECT_EQ(f.size(), dsd.data + 16);
}

TEST(Dff, TagsAfterSoundAndOptionalChunks)
{
    DffOptions o;
    o.title = "";
    o.comments = std::vector<DffComment>{};
    o.tagsAfterSound = true;
    const std::vector<uint8_t> f = MakeDff(5644800, Pattern(2, 4), o);
    const std::vector<Chunk> top = Walk(f, 16, f.size());
    ASSERT_EQ(top.size(), 5u);
    EXPECT_EQ(top[2].id, "DSD ");
    EXPECT_EQ(top[3].id, "DIIN");
    EXPECT_EQ(top[4].id, "COMT");
    const std::vector<Chunk> diin = Walk(f, top[3].data, top[3].data + top[3].size);
    ASSERT_EQ(diin.size(), 1u);
    EXPECT_EQ(diin[0].id, "DITI");
    EXPECT_EQ(diin[0].size, 4u);
    EXPECT_EQ(top[4].size, 2u);
    EXPECT_EQ(GetBe(f, top[4].data, 2), 0u);

    const std::vector<uint8_t> bare = MakeDff(2822400, Pattern(2, 4));
    const std::vector<Chunk> plain = Walk(bare, 16, bare.size());
    ASSERT_EQ(plain.size(), 3u);
    EXPECT_EQ(plain[2].id, "DSD ");
    EXPECT_TRUE(MakeDff(2822400, {{1, 2}, {1}}).empty());
}

TEST(Dff, ChannelIds)
{
    const std::vector<std::vector<std::string>> want = {
        {"C   "},
        {"SLFT", "SRGT"},
        {"MLFT", "MRGT", "C   "},
        {"MLFT", "MRGT", "LS  ", "RS  "},
        {"MLFT", "MRGT", "C   ", "LS  ", "RS  "},
        {"MLFT", "MRGT", "C   ", "LFE ", "LS  ", "RS  "},
        {"C000", "C001", "C002", "C003", "C004", "C005", "C006"}};
    for (const auto &ids : want) {
        const std::vector<uint8_t> f = MakeDff(2822400, Pattern(ids.size(), 2));
        const std::vector<Chunk> top = Walk(f, 16, f.size());
        const std::vector<Chunk> props = Walk(f, top[1].data + 4, top[1].data + top[1].size);
        const Chunk *chnl = Find(props, "CHNL");
        ASSERT_TRUE(chnl);
        ASSERT_EQ(GetBe(f, chnl->data, 2), ids.size());
        for (size_t i = 0; i < ids.size(); ++i)
            EXPECT_EQ(GetId(f, chnl->data + 2 + 4 * i), ids[i]) << ids.size();
    }
}

struct WavCase {
    WavSampleFormat format;
    uint16_t formatTag;
    uint16_t bits;
    uint32_t fmtSize;
    size_t dataOffset;
};

class WavHeader : public ::testing::TestWithParam<WavCase> {};

TEST_P(WavHeader, Fields)
{
    const WavCase c = GetParam();
    const std::vector<float> samples = {0.5f, -0.5f, 0.25f, 1.0f, -1.0f, 0.0f};
    const WavFormat fmt{96000, 3, c.format};
    const std::vector<uint8_t> w = MakeWav(fmt, samples.data(), samples.size());
    const uint32_t bytes = uint32_t(c.bits / 8 * samples.size());
    EXPECT_EQ(GetId(w, 0), "RIFF");
    EXPECT_EQ(GetLe(w, 4, 4), w.size() - 8);
    EXPECT_EQ(GetId(w, 8), "WAVE");
    EXPECT_EQ(GetId(w, 12), "fmt ");
    EXPECT_EQ(GetLe(w, 16, 4), c.fmtSize);
    EXPECT_EQ(GetLe(w, 20, 2), c.formatTag);
    EXPECT_EQ(GetLe(w, 22, 2), 3u);
    EXPECT_EQ(GetLe(w, 24, 4), 96000u);
    EXPECT_EQ(GetLe(w, 28, 4), 96000u * 3 * c.bits / 8);
    EXPECT_EQ(GetLe(w, 32, 2), 3u * c.bits / 8);
    EXPECT_EQ(GetLe(w, 34, 2), c.bits);
    if (c.format == WavSampleFormat::kFloat32) {
        EXPECT_EQ(GetLe(w, 36, 2), 0u);
        EXPECT_EQ(GetId(w, 38), "fact");
        EXPECT_EQ(GetLe(w, 42, 4), 4u);
        EXPECT_EQ(GetLe(w, 46, 4), 2u); // frames
    }
    EXPECT_EQ(GetId(w, c.dataOffset - 8), "data");
    EXPECT_EQ(GetLe(w, c.dataOffset - 4, 4), bytes);
    EXPECT_EQ(w.size(), c.dataOffset + bytes + (bytes & 1));
    EXPECT_EQ(MakeWavHeader(fmt, bytes), std::vector<uint8_t>(w.begin(), w.begin() + long(c.dataOffset)));
}

INSTANTIATE_TEST_SUITE_P(Formats, WavHeader,
                         ::testing::Values(WavCase{WavSampleFormat::kPcm16, 1, 16, 16, 44},
                                           WavCase{WavSampleFormat::kPcm24, 1, 24, 16, 44},
                                           WavCase{WavSampleFormat::kFloat32, 3, 32, 18, 58}),
                         [](const ::testing::TestParamInfo<WavCase> &i) {
                             return std::string(i.param.formatTag == 3 ? "Float" : "Pcm") +
                                    std::to_string(i.param.bits) + "Bit";
                         });

TEST(Wav, OddDataIsPaddedAndHugeSizesAreUnknown)
{
    const int16_t s[3] = {1, 2, 3};
    const int32_t none[1] = {0};
    const std::vector<uint8_t> w = MakeWav({8000, 1, WavSampleFormat::kPcm24}, none, 0);
    EXPECT_EQ(GetLe(w, 40, 4), 0u);
    const std::vector<uint8_t> odd = MakeWav({8000, 1, WavSampleFormat::kPcm24}, s, 3); // 9 bytes
    EXPECT_EQ(odd.size(), 44u + 10);
    EXPECT_EQ(GetLe(odd, 4, 4), 36u + 10);
    EXPECT_EQ(GetLe(odd, 40, 4), 9u);
    const std::vector<uint8_t> huge = MakeWavHeader({8000, 2, WavSampleFormat::kFloat32}, uint64_t{5} << 30);
    EXPECT_EQ(GetLe(huge, 4, 4), 0xFFFFFFFFu);
    EXPECT_EQ(GetLe(huge, 46, 4), 0xFFFFFFFFu);
    EXPECT_EQ(GetLe(huge, 54, 4), 0xFFFFFFFFu);
}

TEST(Wav, SampleConversion)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float f[] = {0.5f, -1.0f, 2.0f, -2.0f, nan, 0.1f, -0.1f}; // 0.1f * 2^15 = 3276.8
    std::vector<uint8_t> out;
    AppendWavSamples(WavSampleFormat::kPcm16, f, 7, out);
    const int16_t want16[] = {16384, -32768, 32767, -32768, 0, 3277, -3277};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(int16_t(GetLe(out, 2 * size_t(i), 2)), want16[i]) << i;

    out.clear();
    AppendWavSamples(WavSampleFormat::kPcm24, f, 7, out);
    const int32_t want24[] = {4194304, -8388608, 8388607, -8388608, 0, 838861, -838861};
    for (int i = 0; i < 7; ++i) {
        const int32_t v = int32_t(uint32_t(GetLe(out, 3 * size_t(i), 3)) << 8) >> 8;
        EXPECT_EQ(v, want24[i]) << i;
    }

    out.clear();
    const int32_t dop[] = {0x05FF00, -0x05FF00, 0x7FFFFFF, -0x7FFFFFF};
    AppendWavSamples(WavSampleFormat::kPcm24, dop, 4, out);
    EXPECT_EQ(GetLe(out, 0, 3), 0x05FF00u);
    EXPECT_EQ(GetLe(out, 3, 3), 0xFA0100u);
    EXPECT_EQ(GetLe(out, 6, 3), 0x7FFFFFu);
    EXPECT_EQ(GetLe(out, 9, 3), 0x800000u);

    out.clear();
    AppendWavSamples(WavSampleFormat::kFloat32, f, 2, out);
    float back[2];
    std::memcpy(back, out.data(), 8);
    EXPECT_EQ(back[0], 0.5f);
    EXPECT_EQ(back[1], -1.0f);

    out.clear();
    const int16_t s16[] = {-32768, 12345};
    AppendWavSamples(WavSampleFormat::kPcm16, s16, 2, out);
    EXPECT_EQ(int16_t(GetLe(out, 0, 2)), -32768);
    EXPECT_EQ(int16_t(GetLe(out, 2, 2)), 12345);
}

std::string TempPath(const char *name)
{
    const char *dir = std::getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/dsdsignal_" + std::to_string(getpid()) + "_" + name;
}

std::vector<uint8_t> ReadAll(const std::string &path)
{
    std::vector<uint8_t> out;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return out;
    uint8_t buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return out;
}

// Written piece by piece to a file, the result equals the whole file made in memory.
TEST(WavStream, FileGetsPatchedSizes)
{
    const std::string path = TempPath("stream.wav");
    std::vector<float> samples(1001);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = float(std::sin(0.01 * double(i)));
    for (WavSampleFormat format :
         {WavSampleFormat::kPcm16, WavSampleFormat::kPcm24, WavSampleFormat::kFloat32}) {
        const WavFormat fmt{44100, 1, format};
        WavStreamWriter w;
        ASSERT_TRUE(w.Open(path, fmt));
        EXPECT_FALSE(w.Open(path, fmt));
        for (size_t i = 0; i < samples.size(); i += 100)
            ASSERT_TRUE(w.Write(samples.data() + i, std::min<size_t>(100, samples.size() - i)));
        EXPECT_EQ(w.DataBytes(), samples.size() * WavBytesPerSample(format));
        ASSERT_TRUE(w.Close());
        EXPECT_FALSE(w.IsOpen());
        EXPECT_EQ(ReadAll(path), MakeWav(fmt, samples.data(), samples.size()));
    }
    std::remove(path.c_str());
}

// A pipe cannot seek: the placeholders stay, the samples follow the header.
TEST(WavStream, PipeKeepsPlaceholders)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    FILE *writeEnd = fdopen(fds[1], "wb");
    ASSERT_TRUE(writeEnd);
    const int16_t s[4] = {1, -1, 2, -2};
    WavStreamWriter w;
    ASSERT_TRUE(w.Open(writeEnd, WavFormat{48000, 2, WavSampleFormat::kPcm16}));
    ASSERT_TRUE(w.Write(s, 4));
    ASSERT_TRUE(w.Close());
    std::fclose(writeEnd);
    std::vector<uint8_t> got(64);
    size_t n = 0;
    ssize_t r;
    while ((r = read(fds[0], got.data() + n, got.size() - n)) > 0)
        n += size_t(r);
    close(fds[0]);
    ASSERT_EQ(n, 44u + 8);
    got.resize(n);
    EXPECT_EQ(GetLe(got, 4, 4), 0xFFFFFFFFu);
    EXPECT_EQ(GetLe(got, 40, 4), 0xFFFFFFFFu);
    EXPECT_EQ(int16_t(GetLe(got, 46, 2)), -1);
}

TEST(WavStream, AbortRemovesTheFile)
{
    const std::string path = TempPath("abort.wav");
    WavStreamWriter w;
    ASSERT_TRUE(w.Open(path, WavFormat{}));
    const float s[2] = {0.1f, 0.2f};
    ASSERT_TRUE(w.Write(s, 2));
    w.Abort();
    EXPECT_FALSE(w.IsOpen());
    EXPECT_EQ(std::fopen(path.c_str(), "rb"), nullptr);
    EXPECT_FALSE(w.Write(s, 2));
    EXPECT_FALSE(w.Close());
}

TEST(WriteFileBytes, WritesAndFailsCleanly)
{
    const std::string path = TempPath("bytes.bin");
    const std::vector<uint8_t> bytes = {1, 2, 3, 0, 255};
    ASSERT_TRUE(WriteFileBytes(path, bytes));
    EXPECT_EQ(ReadAll(path), bytes);
    std::remove(path.c_str());
    EXPECT_FALSE(WriteFileBytes("/nonexistent-dir/x.bin", bytes));
}

} // namespace
} // namespace dsdsignal
