#include "addon_fixture.h"

#include <float.h>
#include <math.h>
#include <string.h>

#include <string>

#include "dsdsignal/dst.h"
#include "ops/operations.h"
#include "reference_decoder.h"

namespace {

using namespace reference;

const uint32_t D = STREAM_DECODE_ONLY, F = STREAM_FLOAT;
const uint32_t RAW = DSD_RAW | D, DOP = DSD_DOP | F;
const float POISON = 12345.0f;

class InfoAttribTest : public AddonTest {
protected:
    static uint32_t Attribute(uint32_t h, uint32_t attrib, float *value, uint32_t set)
    {
        return Ops(h)->attribute(Record(h), attrib, value, set);
    }
    static float Gain(uint32_t h)
    {
        float v = NAN;
        EXPECT_EQ(Attribute(h, DSD_ATTRIB_GAIN, &v, 0), 1u);
        return v;
    }
    static uint32_t SetGain(uint32_t h, float v) { return Attribute(h, DSD_ATTRIB_GAIN, &v, 1); }
};

std::vector<uint8_t> DffAt(uint32_t dsdRate, const Sound &sound)
{
    fixture::DffSpec shape;
    shape.dsdRate = dsdRate;
    shape.channels = static_cast<uint16_t>(sound.channels.size());
    shape.sound = fixture::Interleave(sound.channels);
    return fixture::MakeDff(shape);
}

/* ---- get info ---- */

TEST_F(InfoAttribTest, InfoAddsTheDsdBitsTheTypeAndTheDopResolutionOnly)
{
    const struct {
        uint32_t flags, freq;
        uint32_t added;
        bool dopBits;
    } cases[] = {{D, 0, 0, false},
                 {F, 88200, 0, false},
                 {DOP, 0, DSD_DOP, true},
                 {RAW, 0, DSD_RAW, false},
                 {RAW | DSD_DOP, 0, DSD_RAW | DSD_DOP, true}};
    Sound sound = MakeSound(2, 2000, 1);
    for (auto c : cases) {
        for (bool dff : {false, true}) {
            uint32_t h = Create(dff ? AsDff(sound) : AsDsf(sound, 4096, true), c.flags, c.freq);
            ASSERT_NE(h, 0u);
            /* The stream's own flags hold more than the two DSD bits (decode-only, float, 8-bit). */
            ASSERT_NE(Record(h)->flags & ~(DSD_RAW | DSD_DOP), 0u) << std::hex << c.flags;
            for (uint32_t before : {0u, 0x80000001u, 0xFFFFF9FFu}) {
                ChannelInfo info;
                memset(&info, 0x5A, sizeof info);
                info.flags = before;
                ChannelInfo want;
                memcpy(&want, &info, sizeof info);
                want.ctype = 0x11700;
                want.flags = before | c.added;
                if (c.dopBits)
                    want.origres = 24;
                size_t mark = fake::Errors().size();
                fake::ClearLog();
                Ops(h)->getInfo(Record(h), &info);
                EXPECT_EQ(info.ctype, 0x11700u);
                EXPECT_EQ(info.flags, want.flags) << std::hex << c.flags << " " << before;
                EXPECT_EQ(info.origres, want.origres) << std::hex << c.flags;
                EXPECT_EQ(memcmp(&info, &want, sizeof info), 0)
                    << "a word the operation does not own changed";
                EXPECT_TRUE(ErrorsSince(mark).empty());
                EXPECT_TRUE(fake::Log().empty()) << fake::LogText();
            }
        }
    }
}

/* ---- the rate attribute ---- */

TEST_F(InfoAttribTest, RateIsTheDsdRateAsTheNearestFloatOnEveryForm)
{
    const struct {
        uint32_t rate;
        float value;
    } rates[] = {
        {2822400, 2822400.0f}, {5644800, 5644800.0f}, {33554435, 33554436.0f} /* floats step by 4 here */};
    Sound sound = MakeSound(2, 4096, 2);
    for (auto r : rates) {
        for (uint32_t flags : {0u, F, DOP, RAW, RAW | DSD_DOP}) {
            for (bool dff : {false, true}) {
                SCOPED_TRACE(testing::Message()
                             << r.rate << " flags " << std::hex << flags << " dff " << dff);
                uint32_t h = Create(dff ? DffAt(r.rate, sound) : Dsf(4096, 2, r.rate), flags);
                ASSERT_NE(h, 0u);
                size_t mark = fake::Errors().size();
                float v = -1.0f;
                EXPECT_EQ(Attribute(h, DSD_ATTRIB_RATE, &v, 0), 1u);
                EXPECT_EQ(v, r.value);
                EXPECT_EQ(ErrorsSince(mark), std::vector<int32_t>{ERROR_OK});

                /* Setting is refused and touches nothing. */
                v = 1234.5f;
                EXPECT_EQ(Attribute(h, DSD_ATTRIB_RATE, &v, 1), 0u);
                EXPECT_EQ(v, 1234.5f);
                EXPECT_EQ(Record(h)->dsdRate, r.rate);
                EXPECT_EQ(ErrorsSince(mark), (std::vector<int32_t>{ERROR_OK, ERROR_NOT_AVAILABLE}));
                fake::FreeStream(h);
            }
        }
    }
}

TEST_F(InfoAttribTest, SpeakersAreTheHeadersLayoutAsWavBitsOrNone)
{
    /* DSF: the channel type where its count is the channel count; DSDIFF: the CHNL IDs the
       writer puts for the count (1 to 6 named, more numbered). */
    const struct {
        uint32_t channels;
        int32_t dsfType; /* -1: the type for the count */
        uint32_t dsf, dff;
    } cases[] = {{1, -1, 0x4, 0x4}, {2, -1, 0x3, 0x3},   {3, -1, 0x7, 0x7},   {4, -1, 0x33, 0x33},
                 {4, 5, 0xF, 0x33}, {5, -1, 0x37, 0x37}, {6, -1, 0x3F, 0x3F}, {2, 7, 0, 0x3},
                 {6, 0, 0, 0x3F},   {7, 9, 0, 0}};
    for (auto c : cases) {
        for (bool dff : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.channels << " type " << c.dsfType << " dff " << dff);
            fixture::DsfSpec dsf = fixture::PatternDsf(c.channels, 4096, 1);
            if (c.dsfType >= 0)
                dsf.channelType = static_cast<uint32_t>(c.dsfType);
            fixture::DffSpec shape;
            shape.channels = static_cast<uint16_t>(c.channels);
            shape.sound.assign(4096 * c.channels, 0x69);
            uint32_t h = Create(dff ? fixture::MakeDff(shape) : fixture::MakeDsf(dsf));
            ASSERT_NE(h, 0u);
            float v = POISON;
            EXPECT_EQ(Attribute(h, DSD_ATTRIB_SPEAKERS, &v, 0), 1u);
            EXPECT_EQ(v, static_cast<float>(dff ? c.dff : c.dsf));
            v = 3.0f;
            EXPECT_EQ(Attribute(h, DSD_ATTRIB_SPEAKERS, &v, 1), 0u);
            EXPECT_EQ(v, 3.0f);
            fake::FreeStream(h);
        }
    }
}

TEST_F(InfoAttribTest, CompressionAttributesAreReadOnlyAndPlainSoundIsUncompressed)
{
    const dsdsignal::ChannelBytes silence(2, std::vector<uint8_t>(4704 * 3, 0x69)); /* 3 frames */
    const struct {
        const char *name;
        std::vector<uint8_t> bytes;
        float frames, ratio;
    } files[] = {{"DSF", Dsf(4096), 0.0f, 1.0f},
                 {"DSDIFF", AsDff(MakeSound(2, 1000, 3)), 0.0f, 1.0f},
                 /* Stored frames: 1 header byte a frame, 12 a chunk header, a pad byte. */
                 {"DST",
                  dsdsignal::MakeDffDst(2822400, silence,
                                        [] {
                                            dsdsignal::DstEncodeOptions o;
                                            o.uncoded = true;
                                            return o;
                                        }()),
                  3.0f, 3.0f * 9408 / (3 * (12 + 9409 + 1))}};
    for (const auto &f : files) {
        SCOPED_TRACE(f.name);
        uint32_t h = Create(f.bytes, RAW);
        ASSERT_NE(h, 0u);
        const struct {
            uint32_t attrib;
            float value;
        } values[] = {{DSD_ATTRIB_DST_FRAMES, f.frames},
                      {DSD_ATTRIB_DST_BROKEN, 0.0f},
                      {DSD_ATTRIB_COMPRESSION, f.ratio}};
        for (auto v : values) {
            float got = POISON;
            size_t mark = fake::Errors().size();
            EXPECT_EQ(Attribute(h, v.attrib, &got, 0), 1u) << std::hex << v.attrib;
            EXPECT_FLOAT_EQ(got, v.value) << std::hex << v.attrib;
            got = 2.0f;
            EXPECT_EQ(Attribute(h, v.attrib, &got, 1), 0u);
            EXPECT_EQ(got, 2.0f);
            EXPECT_EQ(ErrorsSince(mark), (std::vector<int32_t>{ERROR_OK, ERROR_NOT_AVAILABLE}));
        }
        fake::FreeStream(h);
    }
}

TEST_F(InfoAttribTest, UnknownAttributesAreRefusedWithTheValueUntouched)
{
    for (uint32_t flags : {0u, RAW, DOP}) {
        uint32_t h = Create(AsDff(MakeSound(2, 1000, 3)), flags);
        ASSERT_NE(h, 0u);
        for (uint32_t attrib : {0x14003u, 0x13FFFu, 0u, 0x14000u | 0x80000000u, 0x10014000u}) {
            for (uint32_t set : {0u, 1u, 2u}) {
                float v = -7.25f;
                size_t mark = fake::Errors().size();
                EXPECT_EQ(Attribute(h, attrib, &v, set), 0u) << std::hex << attrib;
                EXPECT_EQ(v, -7.25f);
                EXPECT_EQ(ErrorsSince(mark), std::vector<int32_t>{ERROR_TYPE}) << std::hex << attrib;
            }
        }
        EXPECT_EQ(Record(h)->gainDb, 6.0f);
    }
}

/* ---- the gain attribute ---- */

TEST_F(InfoAttribTest, GainIsRefusedOnRawAndDopStreams)
{
    for (uint32_t flags : {RAW, DOP, RAW | DSD_DOP}) {
        for (bool dff : {false, true}) {
            uint32_t h = Create(dff ? AsDff(MakeSound(2, 1000, 3)) : Dsf(1000), flags);
            ASSERT_NE(h, 0u);
            DsdStream *s = Record(h);
            s->filterTables[0][0] = POISON;
            for (uint32_t set : {0u, 1u}) {
                float v = -3.0f;
                size_t mark = fake::Errors().size();
                EXPECT_EQ(Attribute(h, DSD_ATTRIB_GAIN, &v, set), 0u) << std::hex << flags << " set " << set;
                EXPECT_EQ(v, -3.0f);
                EXPECT_EQ(ErrorsSince(mark), std::vector<int32_t>{ERROR_NOT_AVAILABLE});
            }
            EXPECT_EQ(s->gainDb, 6.0f);
            EXPECT_EQ(s->filterTables[0][0], POISON);
        }
    }
}

TEST_F(InfoAttribTest, GainSetToItsOwnValueDoesNotRebuildTheTables)
{
    for (uint32_t flags : {0u, F}) {
        uint32_t h = Create(AsDff(MakeSound(2, 1000, 4)), flags);
        ASSERT_NE(h, 0u);
        DsdStream *s = Record(h);
        size_t mark = fake::Errors().size();
        EXPECT_EQ(Gain(h), 6.0f); /* the configured default */

        s->filterTables[3][77] = POISON;
        EXPECT_EQ(SetGain(h, 6.0f), 1u);
        EXPECT_EQ(s->filterTables[3][77], POISON);

        /* Any other value rebuilds all tables. */
        s->filterTables[24][255] = POISON;
        EXPECT_EQ(SetGain(h, 0.0f), 1u);
        EXPECT_NE(s->filterTables[3][77], POISON);
        EXPECT_NE(s->filterTables[24][255], POISON);
        EXPECT_EQ(s->filterTables[3][77], -s->filterTables[3][255 - 77]);

        /* -0 equals +0 as a float: nothing is stored or built. */
        s->filterTables[3][77] = POISON;
        EXPECT_EQ(SetGain(h, -0.0f), 1u);
        EXPECT_EQ(s->filterTables[3][77], POISON);
        EXPECT_FALSE(signbit(s->gainDb));
        EXPECT_EQ(ErrorsSince(mark), std::vector<int32_t>(4, ERROR_OK));
    }
}

TEST_F(InfoAttribTest, OutputAfterAGainChangeFollowsTheNewGainExactly)
{
    Sound sound = MakeSound(2, 5 * 4096 + 300, 5);
    const struct {
        uint32_t flags, freq;
        int32_t ratio;
    } forms[] = {{0, 0, 8}, {F, 0, 8}, {0, 88200, 4}, {F, 352800, 1}};
    for (auto form : forms) {
        const bool isFloat = (form.flags & F) != 0;
        const uint32_t frame = 2 * (isFloat ? 4 : 2);
        std::vector<uint8_t> loud = RefPcm(sound, 2822400, form.ratio, 6.0f, isFloat);
        std::vector<uint8_t> soft = RefPcm(sound, 2822400, form.ratio, -3.0f, isFloat);
        ASSERT_EQ(loud.size(), soft.size());
        ASSERT_TRUE(loud != soft);
        for (int container = 0; container < 3; container++) {
            SCOPED_TRACE(testing::Message()
                         << "flags " << form.flags << " ratio " << form.ratio << " container " << container);
            uint32_t h = Create(container == 2 ? AsDff(sound) : AsDsf(sound, 4096, container == 1),
                                form.flags, form.freq);
            ASSERT_NE(h, 0u);
            ASSERT_EQ(Record(h)->ratio, form.ratio);
            const uint32_t first = 700 * frame;
            std::vector<uint8_t> got(first);
            ASSERT_EQ(fake::Read(h, got.data(), first), first);

            size_t mark = fake::Errors().size();
            EXPECT_EQ(SetGain(h, -3.0f), 1u);
            EXPECT_EQ(Gain(h), -3.0f);
            EXPECT_EQ(ErrorsSince(mark), (std::vector<int32_t>{ERROR_OK, ERROR_OK}));

            std::vector<uint8_t> rest = PullToEnd(h, 100 * frame);
            got.insert(got.end(), rest.begin(), rest.end());
            ASSERT_EQ(got.size(), loud.size());
            EXPECT_TRUE(std::equal(got.begin(), got.begin() + first, loud.begin()));
            EXPECT_TRUE(std::equal(got.begin() + first, got.end(), soft.begin() + first));
            fake::FreeStream(h);
        }
    }
}

TEST_F(InfoAttribTest, GainOutsideItsRangeIsRefusedAndChangesNothing)
{
    const float bad[] = {NAN,
                         -NAN,
                         INFINITY,
                         -INFINITY,
                         1e30f,
                         -1e30f,
                         FLT_MAX,
                         -FLT_MAX,
                         nextafterf(60.0f, 61.0f),
                         nextafterf(-100.0f, -101.0f)};
    Sound sound = MakeSound(2, 3 * 4096 + 100, 6);
    for (uint32_t flags : {0u, F, DSD_PCM_HQ, F | DSD_PCM_HQ}) {
        SCOPED_TRACE(testing::Message() << "flags " << flags);
        const uint32_t frame = 2 * ((flags & F) ? 4 : 2);
        uint32_t plain = Create(AsDsf(sound, 4096, false), flags);
        uint32_t h = Create(AsDsf(sound, 4096, false), flags);
        ASSERT_NE(h, 0u);
        std::vector<uint8_t> want = PullToEnd(plain), got(300 * frame);
        ASSERT_EQ(fake::Read(h, got.data(), 300 * frame), 300 * frame);

        /* A refused set touches neither the gain nor the tables: the output goes on as without it. */
        DsdStream *s = Record(h);
        std::vector<float> tables(&s->filterTables[0][0], &s->filterTables[0][0] + FILTER_GROUPS * 256);
        for (float v : bad) {
            size_t mark = fake::Errors().size();
            EXPECT_EQ(SetGain(h, v), 0u) << v;
            EXPECT_EQ(ErrorsSince(mark), std::vector<int32_t>{ERROR_PARAM}) << v;
            EXPECT_EQ(Gain(h), 6.0f) << v;
            EXPECT_EQ(memcmp(tables.data(), s->filterTables, tables.size() * sizeof(float)), 0) << v;
        }
        std::vector<uint8_t> rest = PullToEnd(h);
        got.insert(got.end(), rest.begin(), rest.end());
        EXPECT_TRUE(got == want);

        /* Both ends are accepted; at the low end with float output no entry is subnormal. */
        for (float v : {60.0f, -100.0f}) {
            EXPECT_EQ(SetGain(h, v), 1u) << v;
            EXPECT_EQ(Gain(h), v);
            for (int g = 0; g < FILTER_GROUPS; g++)
                for (int b = 0; b < 256; b++)
                    ASSERT_NE(fpclassify(s->filterTables[g][b]), FP_SUBNORMAL) << v << " " << g << " " << b;
        }
        fake::FreeStream(plain);
        fake::FreeStream(h);
    }
}

/* ---- release ---- */

std::vector<uint8_t> TaggedDsf(const Sound &sound)
{
    fixture::DsfSpec shape;
    shape.channels = static_cast<uint32_t>(sound.channels.size());
    shape.channelBytes = sound.channels;
    shape.id3 = fixture::MakeId3(700);
    return fixture::MakeDsf(shape);
}

std::vector<uint8_t> TaggedDff(const Sound &sound, const std::string &artist, const std::string &title,
                               size_t comments, bool metadataAfterSound)
{
    fixture::DffSpec shape;
    shape.channels = static_cast<uint16_t>(sound.channels.size());
    shape.sound = fixture::Interleave(sound.channels);
    shape.artist = artist;
    shape.title = title;
    for (size_t i = 0; i < comments; i++) {
        fixture::Comment c;
        c.text = "comment number " + std::to_string(i) + (i % 2 ? "!" : "");
        c.type = static_cast<uint16_t>(i);
        shape.comments.push_back(c);
    }
    shape.metadataAfterSound = metadataAfterSound;
    return fixture::MakeDff(shape);
}

/*
 * Every owned block is freed once: the unit tests run under LeakSanitizer and
 * AddressSanitizer, which fail on a leak or a second free. Release itself calls
 * no host function: the host closes the file after it.
 */
TEST_F(InfoAttribTest, ReleaseAfterCreateReadAndSeekFreesTheStreamWithoutHostCalls)
{
    Sound sound = MakeSound(2, 3 * 4096 + 100, 7);
    const struct {
        const char *what;
        std::vector<uint8_t> bytes;
        bool id3;
        bool artist, title;
        uint32_t comments;
    } files[] = {
        {"DSF with an ID3 tag", TaggedDsf(sound), true, false, false, 0},
        {"DSF without a tag", AsDsf(sound, 4096, false), false, false, false, 0},
        {"DSDIFF with artist, title and comments", TaggedDff(sound, "An Artist", "A Title", 3, false), false,
         true, true, 3},
        {"DSDIFF with its metadata after the sound", TaggedDff(sound, "Another", "", 1, true), false, true,
         false, 1},
        {"DSDIFF without metadata", AsDff(sound), false, false, false, 0},
    };
    const uint32_t forms[][2] = {{0, 0}, {F, 88200}, {DOP, 0}, {RAW, 0}, {RAW | DSD_DOP, 0}};
    for (const auto &f : files) {
        for (auto form : forms) {
            SCOPED_TRACE(testing::Message() << f.what << " flags " << std::hex << form[0]);
            uint32_t h = Create(f.bytes, form[0], form[1]);
            ASSERT_NE(h, 0u);
            DsdStream *s = Record(h);
            /* The paths under test: every kind of owned block present. */
            ASSERT_EQ(s->id3Tag != nullptr, f.id3);
            ASSERT_EQ(s->artist != nullptr, f.artist);
            ASSERT_EQ(s->title != nullptr, f.title);
            ASSERT_EQ(s->commentCount, f.comments);
            ASSERT_EQ(s->comments != nullptr, f.comments != 0);
            ASSERT_NE(s->buffer, nullptr);

            std::vector<uint8_t> buf(4096);
            EXPECT_GT(fake::Read(h, buf.data(), 4096), 0u);
            const OperationsTable *ops = Ops(h);
            ASSERT_EQ(ops->canSetPosition(s, s->length / 2, 0), 1u);
            ASSERT_NE(ops->setPosition(s, s->length / 2, 0), UINT64_MAX);
            EXPECT_GT(fake::Read(h, buf.data(), 4096), 0u);

            const uint32_t source = file;
            fake::ClearLog();
            size_t mark = fake::Errors().size();
            fake::FreeStream(h);
            EXPECT_EQ(fake::Log(), std::vector<std::string>{"FreeStream(" + std::to_string(h) + ")"});
            EXPECT_TRUE(ErrorsSince(mark).empty());
            EXPECT_TRUE(fake::GetStream(h)->released);
            EXPECT_TRUE(fake::IsClosed(source));
        }
    }
    EXPECT_EQ(fake::BadHandleCalls(), 0u);
}

TEST_F(InfoAttribTest, ReleaseLeavesTheSourceFileToTheHost)
{
    uint32_t h = Create(TaggedDff(MakeSound(2, 500, 8), "A", "T", 2, false), 0);
    ASSERT_NE(h, 0u);
    fake::ClearLog();
    Ops(h)->release(Record(h));
    fake::GetStream(h)->released = true; /* the record is gone: the fixture must not release it again */
    EXPECT_TRUE(fake::Log().empty()) << fake::LogText();
    EXPECT_FALSE(fake::IsClosed(file));
    EXPECT_EQ(fake::OpenFileCount(), 1u);
}

} // namespace
