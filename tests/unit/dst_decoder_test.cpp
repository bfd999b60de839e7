#include <gtest/gtest.h>

#include <string.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "dsdsignal/dst.h"
#include "dsdsignal/music.h"
#include "dsdsignal/tone.h"
#include "dst/dst_decoder.h"

namespace {

using dsdsignal::ChannelBytes;
using dsdsignal::DstEncodeOptions;
using dsdsignal::DstValueCoding;

constexpr uint32_t kDsd64 = 2822400;

struct Decoded {
    std::vector<uint8_t> sound;
    std::vector<DstFrameResult> results;
    size_t codedFrames = 0;
    size_t bytes = 0;
};

Decoded DecodeAll(uint32_t rate, uint32_t channels, const std::vector<std::vector<uint8_t>> &frames)
{
    Decoded d;
    DstDecoder *decoder = DstDecoderCreate(channels, rate);
    EXPECT_NE(decoder, nullptr);
    if (decoder == nullptr)
        return d;
    std::vector<uint8_t> out(DstFrameBytes(decoder));
    for (const std::vector<uint8_t> &f : frames) {
        d.results.push_back(DstDecodeFrame(decoder, f.data(), f.size(), out.data()));
        d.sound.insert(d.sound.end(), out.begin(), out.end());
        d.codedFrames += DstFrameIsCoded(f.data(), f.size()) ? 1 : 0;
        d.bytes += f.size();
    }
    DstDecoderFree(decoder);
    return d;
}

ChannelBytes RandomChannels(uint32_t channels, size_t bytes, uint32_t seed)
{
    ChannelBytes c(channels, std::vector<uint8_t>(bytes));
    for (std::vector<uint8_t> &ch : c)
        for (uint8_t &b : ch) {
            seed = seed * 1664525u + 1013904223u;
            b = static_cast<uint8_t>(seed >> 24);
        }
    return c;
}

struct RoundTrip {
    const char *name;
    uint32_t rate;
    uint32_t channels;
    int signal; // 0 music, 1 tone, 2 random bits, 3 silence
    DstEncodeOptions options;
    bool expectCoded; // every frame coded, not stored
    bool searchTaps;  // let the encoder choose the filters' lengths (else 32 taps unless forced)
};

DstEncodeOptions With(void (*change)(DstEncodeOptions &))
{
    DstEncodeOptions o;
    change(o);
    return o;
}

/* Encoder to decoder on the modulator's signals with every feature forced in turn: the decoder
   gives back the bytes encoded, frame by frame, and the frames use the feature (they are coded,
   and a forced coding changes the frames' size against the other one). */
TEST(DstDecoder, RoundTripsEveryFeature)
{
    const RoundTrip cases[] = {
        {"music stereo", kDsd64, 2, 0, {}, true, true},
        {"music mono DSD128", 2 * kDsd64, 1, 0, {}, true, false},
        {"music 6 channels", kDsd64, 6, 0, {}, true, false},
        {"tone 5 channels", kDsd64, 5, 1, {}, true, false},
        {"uncoded", kDsd64, 2, 0, With([](DstEncodeOptions &o) { o.uncoded = true; }), false, false},
        {"random bits fall back to uncoded", kDsd64, 2, 2, {}, false, false},
        {"silence pattern", kDsd64, 2, 3, {}, true, false},
        {"one filter for all", kDsd64, 6, 0, With([](DstEncodeOptions &o) { o.channelsPerFilter = 6; }), true,
         false},
        {"filters by pairs, own tables", kDsd64, 6, 0,
         With([](DstEncodeOptions &o) { o.channelsPerFilter = 2; }), true, false},
        {"own filters, tables by threes", kDsd64, 6, 0,
         With([](DstEncodeOptions &o) { o.channelsPerTable = 3; }), true, false},
        {"one table for all", kDsd64, 3, 0, With([](DstEncodeOptions &o) { o.channelsPerTable = 3; }), true,
         false},
        {"half probability", kDsd64, 2, 0, With([](DstEncodeOptions &o) { o.halfProbability = true; }), true,
         false},
        {"plain filters and tables", kDsd64, 2, 0, With([](DstEncodeOptions &o) {
             o.filterCoding = DstValueCoding::kPlain;
             o.tableCoding = DstValueCoding::kPlain;
         }),
         true, false},
        {"Rice filters and tables", kDsd64, 2, 0, With([](DstEncodeOptions &o) {
             o.filterCoding = DstValueCoding::kRice;
             o.tableCoding = DstValueCoding::kRice;
         }),
         true, false},
        {"one tap", kDsd64, 2, 1, With([](DstEncodeOptions &o) { o.filterTaps = 1; }), false, false},
        {"128 taps, half probability", kDsd64, 2, 0, With([](DstEncodeOptions &o) {
             o.filterTaps = 128;
             o.halfProbability = true;
         }),
         true, false},
        {"DSD256 4 channels", 4 * kDsd64, 4, 0, {}, true, false},
    };
    std::map<std::pair<uint32_t, uint32_t>, ChannelBytes> musicMade;
    for (const RoundTrip &c : cases) {
        SCOPED_TRACE(c.name);
        const double seconds = 3.0 / 75 + 0.001; // three frames and a bit: the last one padded
        ChannelBytes sound;
        if (c.signal == 0) {
            /* The modulator costs most of the test's time: each shape of music is made once. */
            ChannelBytes &made = musicMade[{c.rate, c.channels}];
            if (made.empty())
                made = dsdsignal::MakeMusic(c.rate, c.channels, seconds);
            sound = made;
        } else if (c.signal == 1) {
            sound = dsdsignal::MakeTone(c.rate, c.channels, seconds, 1000.0, -6.0);
        } else if (c.signal == 2) {
            sound = RandomChannels(c.channels, static_cast<size_t>(seconds * c.rate / 8), c.channels);
        } else {
            sound = ChannelBytes(c.channels,
                                 std::vector<uint8_t>(static_cast<size_t>(seconds * c.rate / 8), 0x69));
        }
        /* The length search costs most of the encoding time: one case runs it, the others
           test their own feature at a fixed length. */
        DstEncodeOptions options = c.options;
        if (options.filterTaps == 0 && !c.searchTaps)
            options.filterTaps = 32;
        const std::vector<std::vector<uint8_t>> frames = dsdsignal::EncodeDst(c.rate, sound, options);
        ASSERT_EQ(frames.size(), 4u);
        const Decoded d = DecodeAll(c.rate, c.channels, frames);
        for (DstFrameResult r : d.results)
            EXPECT_EQ(r, DST_FRAME_OK);
        EXPECT_EQ(d.sound, dsdsignal::Interleave(dsdsignal::PadToDstFrames(c.rate, sound)));
        if (c.expectCoded) {
            EXPECT_EQ(d.codedFrames, frames.size());
        } else if (c.options.uncoded) {
            EXPECT_EQ(d.codedFrames, 0u);
        } else if (c.signal == 2) {
            EXPECT_LE(d.codedFrames, 1u); // only the last frame, mostly padding, is smaller coded
        }
    }

    /* The value codings are really chosen: plain and Rice give frames of different sizes, and
       the smaller of the two is what kSmallest writes. */
    const ChannelBytes music = dsdsignal::MakeMusic(kDsd64, 2, 1.0 / 75);
    size_t sizes[3];
    for (int coding = 0; coding < 3; coding++) {
        DstEncodeOptions o;
        o.filterCoding = o.tableCoding = static_cast<DstValueCoding>(coding);
        sizes[coding] = dsdsignal::EncodeDst(kDsd64, music, o)[0].size();
    }
    EXPECT_NE(sizes[1], sizes[2]);
    EXPECT_LE(sizes[0], std::min(sizes[1], sizes[2]));

    /* Filters and tables shared by cost: two copies of the music share one filter and one
       table (header bits 4 and 5: the same map for both, "one for all"), the music beside the
       aggressive modulator's tone does not share its filter. */
    const ChannelBytes tone =
        dsdsignal::MakeTone(kDsd64, 1, 1.0 / 75, 1000.0, -6.0, dsdsignal::Shaping::kAggressive);
    const struct {
        ChannelBytes sound;
        bool shared;
    } pairs[] = {{{music[0], music[0]}, true}, {{music[0], tone[0]}, false}};
    for (const auto &pair : pairs) {
        DstEncodeOptions o;
        o.filterTaps = 32;
        const std::vector<std::vector<uint8_t>> f = dsdsignal::EncodeDst(kDsd64, pair.sound, o);
        EXPECT_EQ(DecodeAll(kDsd64, 2, f).sound,
                  dsdsignal::Interleave(dsdsignal::PadToDstFrames(kDsd64, pair.sound)));
        ASSERT_TRUE(DstFrameIsCoded(f[0].data(), f[0].size()));
        EXPECT_EQ((f[0][0] >> 2) & 1, pair.shared ? 1 : 0) << "filter map";
        if (pair.shared) {
            EXPECT_EQ((f[0][0] >> 3) & 1, 1) << "the same map for the tables";
        }
    }

    /* The filter design: the length and scale chosen by cost code the music no larger than a
       length of 16, 32 or 64 forced on the frame, and by more than 1.85:1. */
    auto frameSize = [&](uint32_t taps) {
        DstEncodeOptions o;
        o.filterTaps = taps;
        const std::vector<std::vector<uint8_t>> f = dsdsignal::EncodeDst(kDsd64, music, o);
        EXPECT_EQ(DecodeAll(kDsd64, 2, f).sound,
                  dsdsignal::Interleave(dsdsignal::PadToDstFrames(kDsd64, music)));
        return f[0].size();
    };
    const size_t chosen = frameSize(0);
    for (uint32_t taps : {16u, 32u, 64u})
        EXPECT_LE(chosen, frameSize(taps)) << taps << " taps";
    EXPECT_LT(static_cast<double>(chosen) * 1.85, static_cast<double>(DstFrameBits(kDsd64) / 8 * 2))
        << chosen << " bytes";
}

/* A frame the decoder cannot take becomes silence and says why; frames after it decode. */
TEST(DstDecoder, BrokenFramesBecomeSilence)
{
    const ChannelBytes music = dsdsignal::MakeMusic(kDsd64, 3, 2.0 / 75);
    DstEncodeOptions own; // each channel its own filter and table, whatever would code smaller
    own.channelsPerFilter = own.channelsPerTable = 1;
    const std::vector<std::vector<uint8_t>> good = dsdsignal::EncodeDst(kDsd64, music, own);
    ASSERT_EQ(good.size(), 2u);
    ASSERT_TRUE(DstFrameIsCoded(good[0].data(), good[0].size()));
    const uint32_t frameBytes = DstFrameBits(kDsd64) / 8 * 3;

    auto withBit = [&](size_t bit, int value) {
        std::vector<uint8_t> f = good[0];
        const uint8_t mask = static_cast<uint8_t>(0x80u >> (bit % 8));
        f[bit / 8] = static_cast<uint8_t>(value ? f[bit / 8] | mask : f[bit / 8] & ~mask);
        return f;
    };
    std::vector<uint8_t> stored(1 + frameBytes, 0x55);
    stored[0] = 0x40; // the bit of no meaning may be set
    std::vector<uint8_t> storedReserved = stored;
    storedReserved[0] = 0x01;
    std::vector<uint8_t> storedShort(stored.begin(), stored.end() - 1);
    std::vector<uint8_t> cut(good[0].begin(), good[0].begin() + good[0].size() / 2);
    std::vector<uint8_t> headerOnly(good[0].begin(), good[0].begin() + 2);
    /* Bits of a 3-channel frame with its own filter per channel: 0 coded, 1 to 3 the
       segmentation, 4 same maps, 5 "one for all", 6 channel 1's filter (1 bit), 7 and 8 channel
       2's (2 bits: 2, the new one; 3 is out of range). */
    struct Case {
        const char *name;
        std::vector<uint8_t> frame;
        DstFrameResult result;
    } cases[] = {
        {"empty", {}, DST_FRAME_BAD_SYNTAX},
        {"stored", stored, DST_FRAME_OK},
        {"stored with reserved bits", storedReserved, DST_FRAME_BAD_SYNTAX},
        {"stored one byte short", storedShort, DST_FRAME_TOO_SHORT},
        {"segmentation not the same for filters and tables", withBit(1, 0), DST_FRAME_UNSUPPORTED},
        {"segmentation per channel", withBit(2, 0), DST_FRAME_UNSUPPORTED},
        {"several segments", withBit(3, 0), DST_FRAME_UNSUPPORTED},
        {"filter number out of range", withBit(8, 1), DST_FRAME_BAD_SYNTAX},
        {"cut in half", cut, DST_FRAME_OVERREAD},
        {"header cut", headerOnly, DST_FRAME_BAD_SYNTAX},
    };
    DstDecoder *decoder = DstDecoderCreate(3, kDsd64);
    ASSERT_NE(decoder, nullptr);
    std::vector<uint8_t> out(frameBytes);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        memset(out.data(), 0, out.size());
        EXPECT_EQ(DstDecodeFrame(decoder, c.frame.data(), c.frame.size(), out.data()), c.result);
        if (c.result == DST_FRAME_OK) {
            EXPECT_EQ(out, std::vector<uint8_t>(stored.begin() + 1, stored.end()));
        } else {
            EXPECT_EQ(out, std::vector<uint8_t>(frameBytes, DST_SILENCE));
        }
        /* The decoder keeps nothing of a broken frame: the next one decodes. */
        ASSERT_EQ(DstDecodeFrame(decoder, good[1].data(), good[1].size(), out.data()), DST_FRAME_OK);
    }

    /* Garbage that claims to be coded: never a crash or a read outside the frame, silence
       unless it decodes. Each frame takes bounded work (the sanitizer build checks the
       reads). */
    uint32_t seed = 7;
    size_t broken = 0;
    for (int n = 0; n < 300; n++) {
        std::vector<uint8_t> f(1 + n * 37 % 900);
        for (uint8_t &b : f) {
            seed = seed * 1664525u + 1013904223u;
            b = static_cast<uint8_t>(seed >> 24);
        }
        f[0] |= 0xF8; // coded, one segment per channel
        if (DstDecodeFrame(decoder, f.data(), f.size(), out.data()) != DST_FRAME_OK) {
            broken++;
            ASSERT_EQ(out, std::vector<uint8_t>(frameBytes, DST_SILENCE));
        }
    }
    EXPECT_GT(broken, 250u);
    DstDecoderFree(decoder);

    /* Only what a frame can describe is accepted. */
    EXPECT_EQ(DstDecoderCreate(0, kDsd64), nullptr);
    EXPECT_EQ(DstDecoderCreate(7, kDsd64), nullptr);
    EXPECT_EQ(DstDecoderCreate(2, 44100 * 4), nullptr);
    EXPECT_EQ(DstDecoderCreate(2, 0), nullptr);
    EXPECT_EQ(DstDecoderCreate(2, DST_MAX_RATE * 2), nullptr);
    DstDecoder *largest = DstDecoderCreate(6, DST_MAX_RATE);
    ASSERT_NE(largest, nullptr);
    EXPECT_EQ(DstFrameBytes(largest), 75264u * 6);
    DstDecoderFree(largest);
}

} // namespace
