#include "addon_fixture.h"

#include <math.h>
#include <string.h>

#include <functional>
#include <random>

#include "convert/filter.h"
#include "convert/stream_read.h"
#include "reference_decoder.h"

namespace {

using namespace reference;

const uint32_t D = STREAM_DECODE_ONLY, F = STREAM_FLOAT;

std::vector<uint8_t> Reference(const Sound &s, uint32_t flags, int32_t ratio, float gainDb = 6.0f)
{
    return RefDecode(s, flags, 2822400, ratio, gainDb);
}

uint32_t FrameBytes(uint32_t flags, uint32_t channels)
{
    return channels * UnitBytes(flags);
}

class ReadTest : public AddonTest {
protected:
    /* Pulls the stream to its end in requests of the sizes `next` gives. */
    std::vector<uint8_t> Pull(uint32_t h, const std::function<uint32_t()> &next,
                              const std::function<void()> &beforeCall = {})
    {
        std::vector<uint8_t> out;
        int idle = 0;
        for (int calls = 0; calls < 1000000; calls++) {
            if (beforeCall)
                beforeCall();
            uint32_t len = next();
            std::vector<uint8_t> buf(len + 16, 0xCD);
            uint32_t r = fake::Read(h, buf.data(), len);
            uint32_t n = r & ~STREAM_READ_END;
            EXPECT_LE(n, len);
            for (size_t i = n; i < buf.size(); i++)
                EXPECT_EQ(buf[i], 0xCD) << "wrote past its count at " << i;
            out.insert(out.end(), buf.begin(), buf.begin() + n);
            if (r & STREAM_READ_END)
                return out;
            idle = n == 0 ? idle + 1 : 0;
            if (idle > 10000) {
                ADD_FAILURE() << "stream never ends";
                break;
            }
        }
        return out;
    }

    std::vector<uint8_t> PullFixed(uint32_t h, uint32_t len)
    {
        return Pull(h, [len] { return len; });
    }
};

TEST_F(ReadTest, EveryFormMatchesTheReferenceForBothContainers)
{
    Sound sound = MakeSound(2, 10000, 1);
    const struct {
        uint32_t flags, freq;
        int32_t ratio;
    } forms[] = {{DSD_RAW | D, 0, 1}, {DSD_DOP | F, 0, 2}, {0, 0, 8},      {F, 0, 8},
                 {F, 88200, 4},       {0, 176400, 2},      {F, 352800, 1}, {DSD_RAW | DSD_DOP | D, 0, 1}};
    for (auto f : forms) {
        std::vector<uint8_t> want = Reference(sound, f.flags, f.ratio);
        for (int container = 0; container < 3; container++) {
            std::vector<uint8_t> bytes = container == 0   ? AsDsf(sound, 4096, true)
                                         : container == 1 ? AsDsf(sound, 4096, false)
                                                          : AsDff(sound);
            uint32_t h = Create(bytes, f.flags, f.freq);
            ASSERT_NE(h, 0u);
            uint64_t created = Record(h)->length;
            std::vector<uint8_t> got = PullFixed(h, 4096);
            EXPECT_TRUE(got == want) << std::hex << f.flags << " container " << container << " got "
                                     << std::dec << got.size() << " want " << want.size();
            EXPECT_EQ(Record(h)->length, want.size());
            EXPECT_EQ(created, want.size());
        }
    }
}

TEST_F(ReadTest, OutputDoesNotDependOnHowTheHostOrTheSourceSplitsIt)
{
    /* The cases from one generator, the request and arrival sizes from another: the cases do not
       depend on how many reads the stream took. */
    std::mt19937 rng(12345), sizes(54321);
    const uint32_t formFlags[] = {DSD_RAW | D, DSD_DOP | F, 0, F};
    for (int round = 0; round < 60; round++) {
        uint32_t channels = 1 + rng() % 6;
        size_t perChannel = 1 + rng() % 2999; /* no sound at all makes no stream */
        uint32_t flags = formFlags[rng() % 4];
        uint32_t freq = (flags & (DSD_RAW | DSD_DOP)) ? 0 : 44100u << (rng() % 4);
        int container = rng() % 3; /* DSF lsb first, DSF msb first, DSDIFF */
        uint32_t blockSize = container == 2 ? 4096 : (rng() % 2 ? 4096 : 1 + rng() % 200);
        Sound sound = MakeSound(channels, perChannel, round);

        std::vector<uint8_t> bytes =
            container == 2 ? AsDff(sound) : AsDsf(sound, blockSize, container == 0, 0x69);
        fake::Source knobs;
        knobs.maxRead = rng() % 3 ? 0 : 100 + rng() % 600; /* reads of a few bytes fail the creation */
        bool streamed = rng() % 3 == 0;
        if (streamed) {
            knobs.fileFlags = FILE_STREAMED;
            knobs.arrived = 512; /* the headers, and a little sound */
        }
        uint32_t h = Create(bytes, flags, freq, knobs);
        ASSERT_NE(h, 0u) << round;
        int32_t ratio = Record(h)->ratio;
        uint32_t frame = FrameBytes(flags, channels);
        uint32_t maxFrames = rng() % 2 ? 3 : 3000;
        std::vector<uint8_t> got = Pull(
            h, [&] { return frame * static_cast<uint32_t>(sizes() % maxFrames); },
            [&] {
                if (streamed)
                    fake::GetSource(file).arrived += sizes() % 5000;
            });
        std::vector<uint8_t> want = Reference(sound, flags, ratio);
        /* A DSF file read whole but in pieces still drops only its padding. */
        ASSERT_TRUE(got == want) << "round " << round << " flags " << std::hex << flags << std::dec
                                 << " channels " << channels << " perChannel " << perChannel << " block "
                                 << blockSize << " container " << container << " got " << got.size()
                                 << " want " << want.size();
        EXPECT_EQ(Record(h)->length, want.size()) << round;
        fake::FreeStream(h);
    }
}

TEST_F(ReadTest, PaddingOfTheLastBlockNeverReachesTheOutput)
{
    /* 4096-byte blocks, 3996 sound bytes in the last one: 100 padding bytes per channel. */
    Sound sound = MakeSound(2, 4096 + 3996, 7);
    std::vector<uint8_t> bytes = AsDsf(sound, 4096, false, 0xAA);
    bytes.resize(bytes.size() + 3 * 8192, 0x55); /* after the data chunk: no sound */
    uint32_t h = Create(bytes, DSD_RAW | D);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(Record(h)->tailPad, 100u);
    std::vector<uint8_t> got = PullFixed(h, 1 << 20);
    EXPECT_EQ(got.size(), 2u * (4096 + 3996));
    EXPECT_TRUE(got == RefRaw(sound));

    /* Nor does what follows the data: a read position past its end leaves nothing to read. */
    ASSERT_TRUE(hostFunctions->FileSeek(file, bytes.size() - 2 * 8192));
    uint8_t buf[64];
    EXPECT_EQ(fake::Read(h, buf, sizeof buf), STREAM_READ_END);
}

TEST_F(ReadTest, RestShorterThanABlockGroupIsNotRead)
{
    /* The file is cut inside the second group: the data chunk still claims two groups. */
    Sound sound = MakeSound(2, 8192, 3);
    std::vector<uint8_t> bytes = AsDsf(sound, 4096, false);
    bytes.resize(fixture::DSF_SOUND_OFFSET + 8192 + 5000);
    uint32_t h = Create(bytes, DSD_RAW | D);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(Record(h)->length, 8192u);
    std::vector<uint8_t> got = PullFixed(h, 1 << 16);
    std::vector<uint8_t> want = RefRaw(sound);
    want.resize(8192);
    EXPECT_TRUE(got == want);
    EXPECT_EQ(Record(h)->length, 8192u);

    /* Sound data, counted from the read position, shorter than a group: nothing is read. */
    fake::ClearLog();
    uint8_t buf[64];
    EXPECT_EQ(fake::Read(h, buf, sizeof buf), STREAM_READ_END);
    EXPECT_EQ(fake::CountCalls("FileRead"), 0u);
}

TEST_F(ReadTest, IncompleteGroupWaitsForTheRestOfItsBytes)
{
    Sound sound = MakeSound(2, 4 * 4096, 5);
    fake::Source knobs;
    knobs.fileFlags = FILE_STREAMED;
    knobs.arrived = fixture::DSF_SOUND_OFFSET + 1000;
    uint32_t h = Create(AsDsf(sound, 4096, false), 0, 0, knobs);
    ASSERT_NE(h, 0u);
    uint8_t buf[4096];
    fake::ClearLog();
    EXPECT_EQ(fake::Read(h, buf, sizeof buf), 0u); /* no end bit */
    EXPECT_EQ(Record(h)->partialFill, 1000);
    fake::GetSource(file).arrived = UINT64_MAX;
    fake::ClearLog();
    uint32_t r = fake::Read(h, buf, sizeof buf);
    EXPECT_EQ(r, sizeof buf);
    ASSERT_FALSE(fake::Log().empty());
    /* The designed filter reads each channel's block into its own plane: the rest of channel 0's
       first, then channel 1's. */
    EXPECT_NE(fake::LogText().find("FileGetPosition(1,0)=1092\nFileRead(1,3096)=3096\nFileRead(1,4096)=4096"),
              std::string::npos)
        << fake::LogText();
}

TEST_F(ReadTest, IncompleteGroupAtTheEndOfTheFileIsDropped)
{
    Sound sound = MakeSound(2, 8192, 5);
    std::vector<uint8_t> bytes = AsDsf(sound, 4096, false);
    fake::Source knobs;
    knobs.unknownEnd = true;
    bytes.resize(fixture::DSF_SOUND_OFFSET + 8192 + 1000);
    uint32_t h = Create(bytes, DSD_RAW | D, 0, knobs);
    ASSERT_NE(h, 0u);
    std::vector<uint8_t> got = PullFixed(h, 1 << 16);
    EXPECT_EQ(got.size(), 8192u);
    EXPECT_EQ(Record(h)->length, 8192u);
}

TEST_F(ReadTest, DopWordsAndMarkerCarryAcrossCalls)
{
    Sound sound;
    sound.channels = {{0x69, 0x96, 0x69, 0x96, 0x00, 0xFF}, {0x00, 0x01, 0x80, 0xFF, 0x12, 0x34}};
    uint32_t h = Create(AsDff(sound), DSD_DOP | F);
    ASSERT_NE(h, 0u);
    float frame[2];
    const struct {
        float left, right;
    } frames[] = {
        {354710.0f / 8388608, 0x050001 / 8388608.0f},
        {-366186.0f / 8388608, (0xFA80FF - 0x1000000) / 8388608.0f},
        {0x0500FF / 8388608.0f, 0x051234 / 8388608.0f},
    };
    for (size_t i = 0; i < 3; i++) {
        uint32_t r = fake::Read(h, frame, sizeof frame); /* one frame per call */
        EXPECT_EQ(r & ~STREAM_READ_END, sizeof frame);
        EXPECT_EQ(frame[0], frames[i].left) << i;
        EXPECT_EQ(frame[1], frames[i].right) << i;
    }
    EXPECT_FLOAT_EQ(354710.0f / 8388608, 0.04228472709655762f);
}

TEST_F(ReadTest, LsbFirstBytesAreReversedForRawAndDopOnly)
{
    fixture::DsfSpec shape;
    shape.channels = 1;
    shape.bitsPerSample = 1;
    shape.channelBytes = {{0x01, 0x03, 0x96, 0x69}};
    shape.sampleCount = 32;
    std::vector<uint8_t> bytes = fixture::MakeDsf(shape);

    uint32_t h = Create(bytes, DSD_RAW | D);
    std::vector<uint8_t> raw = PullFixed(h, 64);
    EXPECT_EQ(raw, (std::vector<uint8_t>{0x80, 0xC0, 0x69, 0x96}));

    h = Create(bytes, DSD_DOP | F);
    std::vector<uint8_t> dop = PullFixed(h, 64);
    ASSERT_EQ(dop.size(), 8u);
    float w[2];
    memcpy(w, dop.data(), 8);
    EXPECT_EQ(w[0], 0x0580C0 / 8388608.0f);
    EXPECT_EQ(w[1], (0xFA6996 - 0x1000000) / 8388608.0f);
}

TEST_F(ReadTest, SixteenBitConversionTruncatesClampsAndSurvivesNaN)
{
    const struct {
        float in;
        int16_t out;
    } cases[] = {{40000.7f, 32767},
                 {-40000.2f, -32768},
                 {-0.9f, 0},
                 {1.9f, 1},
                 {32767.9f, 32767},
                 {-32768.9f, -32768},
                 {32766.9f, 32766},
                 {INFINITY, 32767},
                 {-INFINITY, -32768},
                 {NAN, 0},
                 {-NAN, 0}};
    for (auto c : cases)
        EXPECT_EQ(PcmToInt16(c.in), c.out) << c.in;
}

TEST_F(ReadTest, FullScaleWindowsSaturate)
{
    Sound ones, zeros;
    ones.channels = {std::vector<uint8_t>(400, 0xFF)};
    zeros.channels = {std::vector<uint8_t>(400, 0x00)};
    for (auto [sound, value] : {std::pair{ones, int16_t(32767)}, std::pair{zeros, int16_t(-32768)}}) {
        uint32_t h = Create(AsDff(sound), 0);
        std::vector<uint8_t> got = PullFixed(h, 4096);
        ASSERT_EQ(got.size(), (400 - 25 + 8) / 8 * 2u);
        for (size_t i = 0; i < got.size(); i += 2) {
            int16_t v;
            memcpy(&v, &got[i], 2);
            EXPECT_EQ(v, value);
        }
    }
}

TEST_F(ReadTest, RequestsOfTornFramesDeliverWholeFramesOnly)
{
    Sound sound = MakeSound(3, 20000, 9);
    const struct {
        uint32_t flags;
        uint32_t request, delivered;
    } cases[] = {{0, 4096, 4092},           {0, 5, 0},           {F, 13, 12},        {DSD_RAW | D, 5, 3},
                 {DSD_DOP | F, 4096, 4092}, {DSD_DOP | F, 3, 0}, {DSD_RAW | D, 0, 0}};
    for (auto c : cases) {
        uint32_t h = Create(AsDff(sound), c.flags);
        std::vector<uint8_t> buf(c.request + 8);
        EXPECT_EQ(fake::Read(h, buf.data(), c.request), c.delivered)
            << std::hex << c.flags << " " << c.request;
    }
    /* Pulling in torn requests still yields the whole stream. */
    uint32_t h = Create(AsDff(sound), 0);
    std::vector<uint8_t> got = PullFixed(h, 4097);
    EXPECT_TRUE(got == RefPcm(sound, 2822400, 8, 6.0f, false));
}

TEST_F(ReadTest, RequestSizesCountUnitsOfTheForm)
{
    Sound sound = MakeSound(2, 20000, 2);
    uint32_t h = Create(AsDff(sound), 0);
    uint8_t buf[4096];
    EXPECT_EQ(fake::Read(h, buf, 4096), 4096u); /* 2048 units, 1024 frames */
    h = Create(AsDff(sound), DSD_DOP | F);
    EXPECT_EQ(fake::Read(h, buf, 4096), 4096u);     /* 1024 units, 512 frames */
    EXPECT_EQ(Record(h)->dopMarker, DOP_MARKER_05); /* an even number of frames */
}

TEST_F(ReadTest, EndIsReportedWithTheDeliveredLengthAndAgainAfter)
{
    Sound sound = MakeSound(2, 1000, 4);
    uint32_t h = Create(AsDff(sound), DSD_RAW | D);
    fake::SetDelivered(h, 5000); /* the host's count of bytes delivered before */
    std::vector<uint8_t> buf(4096);
    uint32_t r = fake::Read(h, buf.data(), 4096);
    EXPECT_EQ(r, 2000u | STREAM_READ_END);
    EXPECT_EQ(Record(h)->length, 7000u);
    for (uint32_t len : {4096u, 0u}) {
        EXPECT_EQ(fake::Read(h, buf.data(), len), STREAM_READ_END);
        EXPECT_EQ(Record(h)->length, 7000u);
    }
}

TEST_F(ReadTest, ZeroByteRequestWritesNothing)
{
    Sound sound = MakeSound(2, 1000, 4);
    uint32_t h = Create(AsDff(sound), 0);
    uint8_t buf[8] = {};
    EXPECT_EQ(fake::Read(h, buf, 0), 0u);
    EXPECT_EQ(PullFixed(h, 4096), RefPcm(sound, 2822400, 8, 6.0f, false));
}

TEST_F(ReadTest, ShortDsdiffReadsKeepWhatArrivedAndWaitForMore)
{
    Sound sound = MakeSound(2, 3000, 8);
    std::vector<uint8_t> bytes = AsDff(sound);
    fake::Source knobs;
    knobs.fileFlags = FILE_STREAMED;
    uint32_t h = Create(bytes, 0, 0, knobs);
    uint64_t soundStart = Record(h)->dataOffset;
    fake::GetSource(file).arrived = soundStart + 30; /* not a whole window of two channels yet */
    uint8_t buf[64];
    EXPECT_EQ(fake::Read(h, buf, sizeof buf), 0u);
    EXPECT_EQ(Record(h)->staged.waiting, 30u);
    fake::GetSource(file).arrived = UINT64_MAX;
    EXPECT_EQ(PullFixed(h, 4096), RefPcm(sound, 2822400, 8, 6.0f, false));
}

TEST_F(ReadTest, NegativeReadCountsStayBounded)
{
    Sound sound = MakeSound(2, 30000, 6);
    for (int container = 0; container < 2; container++) {
        fake::Source knobs;
        knobs.readScript = {}; /* set after creation: the readers use reads too */
        uint32_t h = Create(container == 0 ? AsDff(sound) : AsDsf(sound, 4096, false), 0, 0, knobs);
        ASSERT_NE(h, 0u);
        fake::GetSource(file).readScript = {-100, -2000000000, -2000000000, -5, 0, -8192, -8192, -8192};
        std::vector<uint8_t> got = PullFixed(h, 4096);
        DsdStream *s = Record(h);
        EXPECT_LE(s->staged.drop, s->blockSize * s->channels);
        EXPECT_LE(got.size(), RefPcm(sound, 2822400, 8, 6.0f, false).size());
    }
}

} // namespace
