/* DST-compressed DSDIFF through the whole add-on: every form gives what the same bits stored
   plain give, seeks land where the plain file's land, damage becomes counted silence. */
#include "addon_fixture.h"

#include <string.h>

#include <map>
#include <string>
#include <tuple>

#include "create/dst_source.h"
#include "dsdsignal/dst.h"
#include "dsdsignal/music.h"
#include "dsdsignal/writers.h"
#include "ops/operations.h"

namespace {

using dsdsignal::ChannelBytes;
using dsdsignal::DffChunk;
using dsdsignal::DstEncodeOptions;

const uint32_t D = STREAM_DECODE_ONLY, F = STREAM_FLOAT;
const uint32_t kDsd64 = 2822400;

/* A sound, its DST file and the same bits stored plain (the last frame padded as encoded). */
struct Pair {
    std::vector<uint8_t> plain, dst;
    uint32_t frameBytes;
    std::vector<std::vector<uint8_t>> frames;
};

/* The modulator's music, frames - 1/2 frames long, made once per shape: making it costs more
   than everything the tests do with it. */
const ChannelBytes &Music(uint32_t rate, uint32_t channels, uint32_t frames)
{
    static std::map<std::tuple<uint32_t, uint32_t, uint32_t>, ChannelBytes> made;
    ChannelBytes &sound = made[{rate, channels, frames}];
    if (sound.empty())
        sound = dsdsignal::MakeMusic(rate, channels, (frames - 0.5) / 75.0);
    return sound;
}

/* Short filters: the encoder's design time grows with their length. */
DstEncodeOptions Short()
{
    DstEncodeOptions o;
    o.filterTaps = 16;
    return o;
}

Pair MakePair(uint32_t rate, uint32_t channels, uint32_t frames, const DstEncodeOptions &options = Short(),
              const dsdsignal::DffDstOptions &file = {})
{
    const ChannelBytes &sound = Music(rate, channels, frames);
    Pair p;
    p.plain = dsdsignal::MakeDff(rate, dsdsignal::PadToDstFrames(rate, sound), file.tags);
    p.frames = dsdsignal::EncodeDst(rate, sound, options);
    p.dst = dsdsignal::MakeDffDstFromFrames(rate, static_cast<uint16_t>(channels), p.frames, file);
    p.frameBytes = dsdsignal::DstFrameBitsAt(rate) / 8 * channels;
    return p;
}

/* A DST file from frames as given, each followed by a "DSTC" and an unknown chunk when asked,
   with the FRTE fields as given. */
std::vector<uint8_t> DstFile(uint32_t rate, uint16_t channels,
                             const std::vector<std::vector<uint8_t>> &frames, bool extraChunks,
                             uint32_t declared, uint16_t frameRate = 75)
{
    std::vector<DffChunk> sound = {dsdsignal::DffFrte(declared, frameRate)};
    for (const std::vector<uint8_t> &f : frames) {
        sound.push_back(DffChunk{"DSTF", f, {}, std::nullopt, nullptr});
        if (extraChunks) {
            sound.push_back(DffChunk{"DSTC", {1, 2, 3, 4}, {}, std::nullopt, nullptr});
            sound.push_back(DffChunk{"XTRA", {9, 9, 9}, {}, std::nullopt, nullptr});
        }
    }
    return dsdsignal::WriteDff(dsdsignal::DffDstChunks(rate, channels, std::move(sound)));
}

class DstStreamTest : public AddonTest {
protected:
    std::vector<uint8_t> Decode(const std::vector<uint8_t> &bytes, uint32_t flags, uint32_t freq,
                                uint32_t chunk = 5000, fake::Source knobs = {})
    {
        uint32_t h = Create(bytes, flags, freq, knobs);
        EXPECT_NE(h, 0u) << fake::LastError();
        if (h == 0)
            return {};
        std::vector<uint8_t> out = PullToEnd(h, chunk);
        fake::FreeStream(h);
        return out;
    }
    static uint64_t SetPos(uint32_t h, uint64_t pos) { return Ops(h)->setPosition(Record(h), pos, 0); }
    static float Attribute(uint32_t h, uint32_t attrib)
    {
        float v = -1.0f;
        EXPECT_EQ(Ops(h)->attribute(Record(h), attrib, &v, 0), 1u);
        return v;
    }
};

struct Form {
    const char *name;
    uint32_t flags, freq;
    int32_t gainDb;
};
const Form kForms[] = {{"raw", DSD_RAW | D, 0, 6},
                       {"DoP", DSD_DOP | F, 0, 6},
                       {"16-bit designed", 0, 0, 6},
                       {"float designed 88.2 kHz, gain -3", F, 88200, -3},
                       {"16-bit high quality", DSD_PCM_HQ, 0, 6},
                       {"float high quality 176.4 kHz, gain 10", DSD_PCM_HQ | F, 176400, 10}};

TEST_F(DstStreamTest, EveryFormGivesWhatTheSameBitsStoredPlainGive)
{
    DstEncodeOptions uncoded;
    uncoded.uncoded = true;
    DstEncodeOptions shared = Short();
    shared.channelsPerFilter = 6;
    shared.channelsPerTable = 3;
    dsdsignal::DffDstOptions tagged;
    tagged.index = true;
    tagged.tags.artist = "artist";
    tagged.tags.title = "title";
    tagged.tags.tagsAfterSound = true;
    const struct {
        const char *name;
        Pair pair;
    } files[] = {
        {"stereo DSD64 coded", MakePair(kDsd64, 2, 3)},
        {"mono DSD128 stored, index and tags", MakePair(2 * kDsd64, 1, 3, uncoded, tagged)},
        {"6 channels shared filters", MakePair(kDsd64, 6, 2, shared)},
        {"stereo DSD256", MakePair(4 * kDsd64, 2, 1)},
    };
    for (const auto &file : files) {
        for (const Form &form : kForms) {
            SCOPED_TRACE(std::string(file.name) + ", " + form.name);
            int32_t gain = form.gainDb;
            DsdConfigHandler(DSD_CONFIG_GAIN, 1, &gain);
            const std::vector<uint8_t> want = Decode(file.pair.plain, form.flags, form.freq);
            ASSERT_FALSE(want.empty());
            EXPECT_EQ(Decode(file.pair.dst, form.flags, form.freq), want);
            if (form.flags == (DSD_RAW | D) || form.flags == DSD_PCM_HQ) { /* small requests */
                EXPECT_EQ(Decode(file.pair.dst, form.flags, form.freq, 333), want);
            }
        }
    }
}

TEST_F(DstStreamTest, DeclaredFramesGiveTheLengthAndTheAttributes)
{
    Pair p = MakePair(kDsd64, 2, 3);
    for (const Form &form : kForms) {
        SCOPED_TRACE(form.name);
        uint32_t plain = Create(p.plain, form.flags, form.freq);
        uint32_t h = Create(p.dst, form.flags, form.freq);
        ASSERT_NE(h, 0u);
        EXPECT_EQ(Ops(h)->getLength(Record(h), VELM_POS_BYTE),
                  Ops(plain)->getLength(Record(plain), VELM_POS_BYTE));
        EXPECT_EQ(Attribute(h, DSD_ATTRIB_DST_FRAMES), 3.0f);
        EXPECT_EQ(Attribute(h, DSD_ATTRIB_DST_BROKEN), 0.0f);
        size_t stored = 0;
        for (const auto &f : p.frames)
            stored += 12 + f.size() + (f.size() & 1);
        EXPECT_FLOAT_EQ(Attribute(h, DSD_ATTRIB_COMPRESSION), 3.0f * p.frameBytes / stored);
        EXPECT_GT(Attribute(h, DSD_ATTRIB_COMPRESSION), 1.5f); /* the music is coded, not stored */
        EXPECT_EQ(Attribute(plain, DSD_ATTRIB_DST_FRAMES), 0.0f);
        EXPECT_EQ(Attribute(plain, DSD_ATTRIB_COMPRESSION), 1.0f);
        fake::FreeStream(h);
        fake::FreeStream(plain);
    }
}

/* Seeks in every form, forward and back, with a sane index, a lying one and none: each lands
   where the plain file's seek lands and plays on as it does. */
TEST_F(DstStreamTest, SeeksLandAndPlayOnAsThePlainFilesDo)
{
    dsdsignal::DffDstOptions indexed;
    indexed.index = true;
    Pair p = MakePair(kDsd64, 2, 6, Short(), indexed);
    std::vector<uint8_t> lying = p.dst;
    size_t dsti = 0;
    for (size_t i = 0; i + 4 <= lying.size(); i++)
        if (memcmp(&lying[i], "DSTI", 4) == 0)
            dsti = i;
    ASSERT_NE(dsti, 0u);
    for (size_t e = dsti + 12; e + 12 <= lying.size(); e += 12)
        lying[e + 7] ^= 0x10; /* every offset 16 bytes off */
    const std::vector<uint8_t> none = DstFile(kDsd64, 2, p.frames, true, 6);
    for (const auto &dst : {p.dst, lying, none}) {
        for (const Form &form : {kForms[0], kForms[1], kForms[3], kForms[5]}) {
            SCOPED_TRACE(form.name);
            uint32_t plain = Create(p.plain, form.flags, form.freq);
            uint32_t h = Create(dst, form.flags, form.freq);
            ASSERT_NE(h, 0u);
            const uint64_t length = Ops(plain)->getLength(Record(plain), VELM_POS_BYTE);
            for (double at : {0.7, 0.1, 0.95, 0.4, 0.0, 0.55}) {
                uint64_t target = static_cast<uint64_t>(at * static_cast<double>(length));
                uint64_t reached = SetPos(plain, target);
                ASSERT_EQ(SetPos(h, target), reached) << at;
                std::vector<uint8_t> a(3000), b(3000);
                uint32_t ra = fake::Read(plain, a.data(), 3000), rb = fake::Read(h, b.data(), 3000);
                ASSERT_EQ(rb, ra) << at;
                EXPECT_EQ(memcmp(a.data(), b.data(), ra & ~STREAM_READ_END), 0) << at;
            }
            EXPECT_EQ(PullToEnd(h), PullToEnd(plain));
            fake::FreeStream(h);
            fake::FreeStream(plain);
        }
    }
}

TEST_F(DstStreamTest, SourceReadAsItArrivesPlaysThroughWithoutSeeking)
{
    Pair p = MakePair(kDsd64, 2, 3);
    fake::Source streamed;
    streamed.fileFlags = FILE_STREAMED;
    streamed.maxRead = 700;
    for (const Form &form : kForms) {
        SCOPED_TRACE(form.name);
        EXPECT_EQ(Decode(p.dst, form.flags, form.freq, 5000, streamed),
                  Decode(p.plain, form.flags, form.freq));
    }
    uint32_t h = Create(p.dst, DSD_RAW | D, 0, streamed);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(Ops(h)->canSetPosition(Record(h), 100, VELM_POS_BYTE), 0u);
    EXPECT_EQ(fake::LastError(), ERROR_NOT_AVAILABLE);
    EXPECT_EQ(SetPos(h, 100), POSITION_NONE);
}

/* Frames that cannot be decoded become silence of a frame and are counted; the others play on.
   A file cut inside a frame ends at the last whole one. */
TEST_F(DstStreamTest, BrokenFramesAreCountedSilenceAndACutFileEndsAtItsLastWholeFrame)
{
    Pair p = MakePair(kDsd64, 2, 6);
    std::vector<std::vector<uint8_t>> frames = p.frames;
    frames[1] = {0x01};                         /* stored, bad header bits */
    frames[3].resize(4);                        /* coded, cut short */
    frames[4].assign(2 * p.frameBytes + 17, 0); /* larger than any frame */
    std::vector<uint8_t> decoded(p.frameBytes);
    DstDecoder *decoder = DstDecoderCreate(2, kDsd64);
    ASSERT_NE(decoder, nullptr);
    EXPECT_NE(DstDecodeFrame(decoder, frames[3].data(), frames[3].size(), decoded.data()), DST_FRAME_OK);
    DstDecoderFree(decoder);

    std::vector<uint8_t> want = Decode(p.plain, DSD_RAW | D, 0);
    ASSERT_EQ(want.size(), 6u * p.frameBytes);
    for (int f : {1, 3, 4})
        memset(want.data() + f * p.frameBytes, 0x69, p.frameBytes);
    const std::vector<uint8_t> damaged = DstFile(kDsd64, 2, frames, true, 6);
    uint32_t h = Create(damaged, DSD_RAW | D);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(PullToEnd(h, 777), want);
    EXPECT_EQ(Attribute(h, DSD_ATTRIB_DST_BROKEN), 3.0f);
    fake::FreeStream(h);

    /* Cut inside frame 2's body, and a frame whose size runs past the sound chunk. */
    const std::vector<uint8_t> whole = DstFile(kDsd64, 2, p.frames, false, 6);
    size_t third = 0;
    for (size_t i = 0, n = 0; i + 4 <= whole.size(); i++)
        if (memcmp(&whole[i], "DSTF", 4) == 0 && n++ == 2)
            third = i;
    ASSERT_NE(third, 0u);
    std::vector<uint8_t> cut(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(third + 20));
    std::vector<uint8_t> overlong = whole;
    overlong[third + 5] = 0x40;
    const std::vector<uint8_t> plain = Decode(p.plain, DSD_RAW | D, 0);
    ChannelBytes twoFrames(2);
    for (size_t i = 0; i < 2 * p.frameBytes; i++)
        twoFrames[i % 2].push_back(plain[i]);
    const std::vector<uint8_t> plainCut = dsdsignal::MakeDff(kDsd64, twoFrames);
    for (const auto &file : {cut, overlong})
        for (const Form &form : kForms)
            EXPECT_EQ(Decode(file, form.flags, form.freq), Decode(plainCut, form.flags, form.freq))
                << form.name;
    /* More frames than FRTE declares: the declared ones play. */
    EXPECT_EQ(Decode(DstFile(kDsd64, 2, p.frames, false, 4), DSD_RAW | D, 0),
              std::vector<uint8_t>(plain.begin(), plain.begin() + 4 * p.frameBytes));
}

/* Without an index, seeks walk the frames' headers from the nearest frame met: the offsets kept
   stay within their table (every other one dropped as it fills) and each seek lands on its frame. */
TEST_F(DstStreamTest, SeeksWithoutAnIndexFindFramesPastWhatTheTableHolds)
{
    const uint32_t count = DST_INDEX_ENTRIES + 900u;
    const std::vector<uint8_t> file =
        DstFile(kDsd64, 1, std::vector<std::vector<uint8_t>>(count, {0x01}), false,
                count); /* each a broken 1-byte frame: 14 bytes a chunk */
    uint32_t h = Create(file, DSD_RAW | D);
    ASSERT_NE(h, 0u);
    DstSource *dst = Record(h)->dst;
    const uint64_t first = Record(h)->dataOffset, frameBytes = dst->frameBytes;
    for (uint32_t frame : {count - 1, 5u, DST_INDEX_ENTRIES + 1u, 3000u, count - 2, 0u}) {
        ASSERT_EQ(SetPos(h, frame * frameBytes + 7), frame * frameBytes + 7) << frame;
        EXPECT_EQ(dst->next, frame);
        EXPECT_EQ(dst->position, first + 14 * static_cast<uint64_t>(frame)) << frame;
        EXPECT_LE(dst->known, static_cast<uint32_t>(DST_INDEX_ENTRIES));
    }
    EXPECT_EQ(dst->stride, 2u);
    EXPECT_EQ(dst->offsets[100], first + 14 * 200);
    std::vector<uint8_t> out(64);
    EXPECT_EQ(fake::Read(h, out.data(), 64), 64u);
    EXPECT_EQ(out, std::vector<uint8_t>(64, 0x69));
    EXPECT_EQ(Attribute(h, DSD_ATTRIB_DST_BROKEN), 1.0f);
}

TEST_F(DstStreamTest, LayoutsTheDecoderCannotTakeAreRefused)
{
    Pair p = MakePair(kDsd64, 2, 3);
    std::vector<uint8_t> noFrte = DstFile(kDsd64, 2, p.frames, false, 2);
    for (size_t i = 0; i + 4 <= noFrte.size(); i++)
        if (memcmp(&noFrte[i], "FRTE", 4) == 0)
            memcpy(&noFrte[i], "FRTX", 4);
    const struct {
        const char *name;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"50 frames a second", DstFile(kDsd64, 2, p.frames, false, 2, 50)},
        {"no FRTE", noFrte},
        {"7 channels", DstFile(kDsd64, 7, {std::vector<uint8_t>(1 + 7 * 4704, 0)}, false, 1)},
        {"a rate not a multiple of 352.8 kHz", DstFile(44100 * 4, 2, p.frames, false, 2)},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(Create(c.bytes), 0u) << c.name;
        EXPECT_EQ(fake::LastError(), ERROR_FORMAT) << c.name;
    }
}

} // namespace
