#include "addon_fixture.h"

#include <stddef.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "ops/operations.h"
#include "reference_decoder.h"

namespace {

using namespace reference;

const uint32_t D = STREAM_DECODE_ONLY, F = STREAM_FLOAT;
const uint32_t RAW = DSD_RAW | D, DOP = DSD_DOP | F;
const uint64_t NONE = UINT64_MAX;

class PositionTest : public AddonTest {
protected:
    static uint64_t GetLength(uint32_t h, uint32_t mode) { return Ops(h)->getLength(Record(h), mode); }
    static uint64_t FilePosition(uint32_t h, uint32_t mode)
    {
        return Ops(h)->getFilePosition(Record(h), mode);
    }
    static uint32_t CanSet(uint32_t h, uint64_t pos, uint32_t mode = 0)
    {
        return Ops(h)->canSetPosition(Record(h), pos, mode);
    }
    static uint64_t SetPos(uint32_t h, uint64_t pos, uint32_t mode = 0)
    {
        return Ops(h)->setPosition(Record(h), pos, mode);
    }

    static std::vector<uint8_t> Snapshot(const DsdStream *s)
    {
        std::vector<uint8_t> bytes(sizeof(DsdStream));
        memcpy(bytes.data(), s, sizeof(DsdStream));
        return bytes;
    }
};

/* ---- set position ---- */

TEST_F(PositionTest, WorkedSeeksMoveTheFileAndReportThePositionReached)
{
    const std::vector<uint8_t> dsf = Dsf(88 * 4096), dff = fixture::PatternDff(88 * 4096);
    const struct {
        bool dff;
        uint32_t flags, freq;
        uint64_t position, offset, result;
    } cases[] = {
        {false, 0, 0, 176400, 704512, 176128}, /* 16-bit PCM, ratio 8: back to a block group */
        {true, 0, 0, 176400, 705600, 176400},
        {false, 0, 0, 100000, 393216, 98304},
        {false, RAW, 0, 100000, 98304, 100000}, /* raw: the requested position, rounded down to a frame */
        {true, RAW, 0, 100001, 100000, 100000},
        {true, DOP, 0, 80000, 40000, 80000},
        {false, DOP, 0, 80000, 32768, 65536},
        /* float PCM at ratio 4: 60003 bytes per channel are 15000 whole samples */
        {true, F, 88200, 120007, 120000, 120000},
        {false, F, 88200, 120007, 114688, 114688},
        /* 16-bit PCM at ratio 2 */
        {true, 0, 176400, 176403, 176400, 176400},
        /* position 0 in every form */
        {false, 0, 0, 0, 0, 0},
        {true, 0, 0, 0, 0, 0},
        {false, F, 0, 0, 0, 0},
        {true, F, 0, 0, 0, 0},
        {false, RAW, 0, 0, 0, 0},
        {true, RAW, 0, 0, 0, 0},
        {false, DOP, 0, 0, 0, 0},
        {true, DOP, 0, 0, 0, 0},
    };
    for (auto c : cases) {
        SCOPED_TRACE(testing::Message() << (c.dff ? "DSDIFF" : "DSF") << " flags " << std::hex << c.flags
                                        << std::dec << " freq " << c.freq << " position " << c.position);
        uint32_t h = Create(c.dff ? dff : dsf, c.flags, c.freq);
        ASSERT_NE(h, 0u);
        DsdStream *s = Record(h);
        const uint64_t dataOffset = s->dataOffset;
        if (!c.dff) {
            EXPECT_EQ(dataOffset, fixture::DSF_SOUND_OFFSET);
        }

        /* Something buffered, so that the reset is visible. */
        std::vector<uint8_t> buf(4000);
        fake::Read(h, buf.data(), 4000);
        ASSERT_GT(s->staged.waiting, 0u);
        std::vector<uint8_t> expected = Snapshot(s);
        const int32_t zero = 0;
        /* The bytes between the block group's start and the position are dropped from the next refill. */
        const StagedBytes staged = {
            0, static_cast<uint32_t>(((c.flags & DSD_RAW) ? c.result : c.offset) - c.offset)};
        memcpy(expected.data() + offsetof(DsdStream, staged), &staged, sizeof staged);
        memcpy(expected.data() + offsetof(DsdStream, partialFill), &zero, sizeof zero);

        fake::ClearLog();
        size_t mark = fake::Errors().size();
        EXPECT_EQ(SetPos(h, c.position), c.result);
        EXPECT_EQ(fake::CountCalls("FileSeek"), 1u) << fake::LogText();
        EXPECT_EQ(fake::CountCalls(("FileSeek(" + std::to_string(file) + "," +
                                    std::to_string(dataOffset + c.offset) + ")=1")
                                       .c_str()),
                  1u)
            << fake::LogText();
        EXPECT_EQ(fake::Position(file), dataOffset + c.offset);
        EXPECT_TRUE(ErrorsSince(mark).empty());
        EXPECT_EQ(soundOffsetForPosition(s, c.position), c.offset);
        /* Only the staging state changes. */
        EXPECT_EQ(memcmp(expected.data(), s, sizeof(DsdStream)), 0);
        fake::FreeStream(h);
    }
}

TEST_F(PositionTest, SetPositionIgnoresItsMode)
{
    uint32_t h = Create(fixture::PatternDff(50000), RAW);
    ASSERT_NE(h, 0u);
    for (uint32_t mode : {0u, 1u, 0x10000000u, 0xFFFFFFFFu}) {
        EXPECT_EQ(SetPos(h, 40001, mode), 40000u) << mode;
        EXPECT_EQ(fake::Position(file), Record(h)->dataOffset + 40000) << mode;
        SetPos(h, 0);
    }
}

/*
 * After a seek the stream must deliver what a decode of the whole file gives from
 * the reached source offset on. DoP frames keep alternating their marker over
 * everything delivered since creation: the seek does not restart it.
 */
TEST_F(PositionTest, PlaybackAfterASeekMatchesAWholeFileDecodeFromThePlaceReached)
{
    const struct {
        uint32_t flags, freq;
        int32_t ratio;
    } forms[] = {{RAW, 0, 1}, {DOP, 0, 2}, {0, 0, 8}, {F, 88200, 4}, {0, 352800, 1}};
    for (uint32_t channels : {2u, 3u}) {
        /* DSF: 7 block groups, the last one padded. */
        Sound sound = MakeSound(channels, 6 * 4096 + 1500, channels);
        const std::vector<uint8_t> files[] = {AsDsf(sound, 4096, false), AsDsf(sound, 4096, true),
                                              AsDff(sound)};
        for (auto form : forms) {
            const uint32_t unit = UnitBytes(form.flags);
            const uint32_t frame = unit * channels;
            std::vector<uint8_t> whole = RefDecode(sound, form.flags, 2822400, form.ratio, 6.0f);
            ASSERT_EQ(whole.size() % frame, 0u);
            const uint64_t frames = whole.size() / frame;
            /* Output positions: inside the second group, inside the last one, a torn frame, the start. */
            const uint64_t targets[] = {frames * 3 / 14 * frame, frames * 13 / 14 * frame + frame / 2 + 1,
                                        frames / 2 * frame + 1, 0};
            for (size_t container = 0; container < 3; container++) {
                for (uint64_t target : targets) {
                    SCOPED_TRACE(testing::Message()
                                 << "channels " << channels << " flags " << std::hex << form.flags << std::dec
                                 << " container " << container << " target " << target);
                    uint32_t h = Create(files[container], form.flags, form.freq);
                    ASSERT_NE(h, 0u);
                    ASSERT_EQ(Record(h)->ratio, form.ratio);
                    const uint64_t dataOffset = Record(h)->dataOffset;

                    /* Three frames first: an odd count leaves the DoP marker at 0xFA. */
                    std::vector<uint8_t> head(3 * frame);
                    ASSERT_EQ(fake::Read(h, head.data(), 3 * frame), 3 * frame);
                    ASSERT_TRUE(std::equal(head.begin(), head.end(), whole.begin()));

                    ASSERT_EQ(CanSet(h, target), 1u);
                    uint64_t reached = SetPos(h, target);
                    ASSERT_NE(reached, NONE);
                    fake::SetDelivered(h, reached);
                    const uint64_t source = fake::Position(file) - dataOffset;
                    const uint64_t perChannel = source / channels;
                    ASSERT_EQ(source % channels, 0u);
                    if (container < 2) {
                        ASSERT_EQ(perChannel % 4096, 0u) << "a DSF read starts at a block group";
                    }
                    /* Where the whole-file decode is at that source offset. */
                    uint64_t start;
                    if (form.flags & DSD_RAW) {
                        start = target / frame * frame;
                        EXPECT_EQ(reached, start);
                    } else {
                        uint64_t samples = perChannel / static_cast<uint64_t>(form.ratio);
                        ASSERT_EQ(perChannel % static_cast<uint64_t>(form.ratio), 0u);
                        start = samples * frame;
                        EXPECT_EQ(reached, start);
                    }
                    ASSERT_LE(start, target);

                    std::vector<uint8_t> got = PullToEnd(h);
                    std::vector<uint8_t> want(
                        whole.begin() + static_cast<ptrdiff_t>(std::min<uint64_t>(start, whole.size())),
                        whole.end());
                    if (form.flags & DSD_DOP) {
                        /* Same DSD bytes; the marker of a frame follows from the frames delivered before it. */
                        ASSERT_EQ(got.size(), want.size());
                        for (size_t i = 0; i < got.size(); i += 4) {
                            float g, w;
                            memcpy(&g, &got[i], 4);
                            memcpy(&w, &want[i], 4);
                            uint32_t wordWant =
                                static_cast<uint32_t>(static_cast<int32_t>(w * 8388608.0f)) & 0xFFFF;
                            uint64_t delivered = 3 + i / frame;
                            wordWant |= delivered % 2 == 0 ? 0x050000u : 0xFA0000u;
                            int32_t signedWord = static_cast<int32_t>(wordWant << 8) >> 8;
                            ASSERT_EQ(g, static_cast<float>(signedWord) / 8388608.0f) << "unit " << i / 4;
                        }
                    } else {
                        ASSERT_TRUE(got == want) << "got " << got.size() << " want " << want.size();
                    }
                    fake::FreeStream(h);
                }
            }
        }
    }
}

TEST_F(PositionTest, SeekingBackAndForthReplaysTheSameBytes)
{
    Sound sound = MakeSound(2, 9 * 4096, 4);
    for (int container = 0; container < 2; container++) {
        uint32_t h = Create(container == 0 ? AsDsf(sound, 4096, true) : AsDff(sound), 0);
        ASSERT_NE(h, 0u);
        std::vector<uint8_t> whole = RefPcm(sound, 2822400, 8, 6.0f, false);
        /* Seek forward while staged bytes wait, then back to the start: the whole stream follows. */
        std::vector<uint8_t> buf(1000);
        fake::Read(h, buf.data(), 1000);
        uint64_t reached = SetPos(h, 10000);
        ASSERT_EQ(reached, container == 0 ? 8192u : 10000u);
        ASSERT_EQ(fake::Read(h, buf.data(), 1000), 1000u);
        EXPECT_TRUE(std::equal(buf.begin(), buf.end(), whole.begin() + static_cast<ptrdiff_t>(reached)));
        EXPECT_EQ(SetPos(h, 0), 0u);
        fake::SetDelivered(h, 0);
        EXPECT_TRUE(PullToEnd(h, 4092) == whole) << container;
        EXPECT_EQ(Record(h)->length, whole.size());
    }
}

TEST_F(PositionTest, SeekDropsAPartlyStagedDsfGroup)
{
    Sound sound = MakeSound(2, 8 * 4096, 9);
    const struct {
        uint32_t flags;
        uint64_t position, reached;
        std::vector<uint8_t> whole;
    } cases[] = {{0, 4100, 4096, RefPcm(sound, 2822400, 8, 6.0f, false)}, {RAW, 16390, 16390, RefRaw(sound)}};
    for (const auto &c : cases) {
        fake::Source knobs;
        knobs.fileFlags = FILE_STREAMED;
        uint32_t h = Create(AsDsf(sound, 4096, false), c.flags, 0, knobs);
        ASSERT_NE(h, 0u);
        /* One group and 1000 bytes of the next have arrived. */
        fake::GetSource(file).arrived = fixture::DSF_SOUND_OFFSET + 8192 + 1000;
        std::vector<uint8_t> buf(20000);
        fake::Read(h, buf.data(), 20000);
        ASSERT_EQ(Record(h)->partialFill, 1000);

        EXPECT_EQ(SetPos(h, c.position), c.reached);
        EXPECT_EQ(Record(h)->partialFill, 0);
        EXPECT_EQ(fake::Position(file), fixture::DSF_SOUND_OFFSET + 16384);
        fake::GetSource(file).arrived = UINT64_MAX;
        std::vector<uint8_t> got = PullToEnd(h);
        /* From the position reached: group 2 on for 16-bit PCM (16384 source bytes are 4096 bytes),
           raw from the very byte asked for. */
        EXPECT_TRUE(got ==
                    std::vector<uint8_t>(c.whole.begin() + static_cast<ptrdiff_t>(c.reached), c.whole.end()))
            << std::hex << c.flags;
    }
}

TEST_F(PositionTest, FailedSeekLeavesTheRecordAsItWas)
{
    Sound sound = MakeSound(2, 8 * 4096, 6);
    for (int container = 0; container < 2; container++) {
        SCOPED_TRACE(container == 0 ? "DSF" : "DSDIFF");
        fake::Source knobs;
        knobs.fileFlags = FILE_STREAMED;
        uint32_t h = Create(container == 0 ? AsDsf(sound, 4096, false) : AsDff(sound), 0, 0, knobs);
        ASSERT_NE(h, 0u);
        DsdStream *s = Record(h);
        /* One group and 1000 bytes of the next have arrived. */
        fake::GetSource(file).arrived = s->dataOffset + 8192 + 1000;
        std::vector<uint8_t> first(8192);
        uint32_t r = fake::Read(h, first.data(), 8192);
        ASSERT_EQ(r & STREAM_READ_END, 0u);
        first.resize(r);
        ASSERT_NE(s->staged.waiting + s->staged.drop, 0u);
        if (container == 0) {
            ASSERT_EQ(s->partialFill, 1000);
        }

        fake::GetSource(file).failSeek = true;
        std::vector<uint8_t> before = Snapshot(s);
        uint64_t position = fake::Position(file);
        size_t mark = fake::Errors().size();
        EXPECT_EQ(SetPos(h, 100000), NONE);
        EXPECT_EQ(SetPos(h, 0), NONE);
        EXPECT_EQ(ErrorsSince(mark), (std::vector<int32_t>{ERROR_POSITION, ERROR_POSITION}));
        EXPECT_EQ(memcmp(before.data(), s, sizeof(DsdStream)), 0);
        EXPECT_EQ(fake::Position(file), position);

        /* Playback runs on as if nothing had been asked. */
        fake::GetSource(file).arrived = UINT64_MAX;
        std::vector<uint8_t> rest = PullToEnd(h);
        first.insert(first.end(), rest.begin(), rest.end());
        EXPECT_TRUE(first == RefPcm(sound, 2822400, 8, 6.0f, false));
        fake::FreeStream(h);
    }
}

/* ---- get length ---- */

TEST_F(PositionTest, LengthIsAnsweredInByteModeOnly)
{
    uint32_t h = Create(AsDff(MakeSound(2, 1000, 1)), RAW);
    ASSERT_NE(h, 0u);
    const struct {
        uint32_t mode;
        uint64_t result;
        int32_t error;
    } cases[] = {{0, 2000, ERROR_OK},
                 {VELM_DSD_POS_DECLARED, 2000, ERROR_OK},
                 {1, NONE, ERROR_NOT_AVAILABLE},
                 {2, NONE, ERROR_NOT_AVAILABLE},
                 {0x100, NONE, ERROR_NOT_AVAILABLE},
                 {0x10000000, NONE, ERROR_NOT_AVAILABLE},
                 {0xFFFFFFFF, NONE, ERROR_NOT_AVAILABLE}};
    for (auto c : cases) {
        size_t mark = fake::Errors().size();
        EXPECT_EQ(GetLength(h, c.mode), c.result) << std::hex << c.mode;
        EXPECT_EQ(ErrorsSince(mark), std::vector<int32_t>{c.error}) << std::hex << c.mode;
    }
}

TEST_F(PositionTest, StreamWithoutSamplesHasNoLengthAndNoReachablePosition)
{
    /* 10 bytes per channel: fewer than one 25-byte window needs at ratio 8. */
    for (bool dff : {true, false}) {
        uint32_t h = Create(dff ? AsDff(MakeSound(2, 10, 2)) : Dsf(10, 2, 2822400, 10), 0);
        ASSERT_NE(h, 0u) << dff;
        ASSERT_EQ(Record(h)->length, 0u);
        size_t mark = fake::Errors().size();
        EXPECT_EQ(GetLength(h, 0), NONE);
        EXPECT_EQ(CanSet(h, 0), 0u);
        EXPECT_EQ(CanSet(h, 1), 0u);
        EXPECT_EQ(ErrorsSince(mark),
                  (std::vector<int32_t>{ERROR_NOT_AVAILABLE, ERROR_POSITION, ERROR_POSITION}));
    }
}

TEST_F(PositionTest, LengthFoundAtTheEndReplacesTheDeclaredOne)
{
    /* The data chunk claims 10000 sound bytes, the file holds 6001 of them and its end is unknown. */
    fixture::DffSpec shape;
    shape.sound = fixture::Interleave(MakeSound(2, 5000, 3).channels);
    std::vector<uint8_t> bytes = fixture::MakeDff(shape);
    fake::Source knobs;
    knobs.unknownEnd = true;
    uint32_t h = Create(bytes, RAW, 0, knobs);
    ASSERT_NE(h, 0u);
    fake::GetSource(file).data.resize(Record(h)->dataOffset + 6001);
    EXPECT_EQ(GetLength(h, 0), 10000u);
    EXPECT_EQ(CanSet(h, 9999), 1u);

    std::vector<uint8_t> got = PullToEnd(h, 4096);
    EXPECT_EQ(got.size(), 6000u);
    size_t mark = fake::Errors().size();
    EXPECT_EQ(GetLength(h, 0), 6000u);
    EXPECT_EQ(CanSet(h, 5999), 1u);
    EXPECT_EQ(CanSet(h, 6000), 0u);
    EXPECT_EQ(ErrorsSince(mark), (std::vector<int32_t>{ERROR_OK, ERROR_POSITION}));
    /* The header's length stays what it declared, for telling a short source. */
    EXPECT_EQ(GetLength(h, VELM_DSD_POS_DECLARED), 10000u);
    EXPECT_EQ(GetLength(h, 0), 6000u);
}

/* ---- get file position ---- */

TEST_F(PositionTest, DsdiffReadPositionIsTheFirstSoundByteNotYetConsumed)
{
    Sound sound = MakeSound(2, 20000, 5);
    const struct {
        uint32_t flags, request;
        uint64_t consumed;
    } cases[] = {
        {RAW, 100, 100}, /* 100 bytes out, 100 in */
        {0, 16, 64},     /* 4 frames of 16-bit PCM, each 8 bytes per channel further on */
        {F, 16, 32},     /* 2 frames of float PCM */
        {DOP, 24, 12},   /* 3 DoP frames of 2 bytes per channel */
        {RAW, 0, 0},
    };
    for (auto c : cases) {
        uint32_t h = Create(AsDff(sound), c.flags);
        ASSERT_NE(h, 0u);
        const uint64_t dataOffset = Record(h)->dataOffset;
        size_t mark = fake::Errors().size();
        EXPECT_EQ(FilePosition(h, 0), dataOffset);
        std::vector<uint8_t> buf(c.request + 1);
        EXPECT_EQ(fake::Read(h, buf.data(), c.request), c.request);
        fake::ClearLog();
        EXPECT_EQ(FilePosition(h, 0), dataOffset + c.consumed) << std::hex << c.flags;
        EXPECT_EQ(fake::CountCalls(("FileGetPosition(" + std::to_string(file) + ",0)").c_str()), 1u);
        EXPECT_EQ(FilePosition(h, 0), fake::Position(file) - Record(h)->staged.waiting);

        /* After a seek nothing is buffered: the file position itself. */
        SetPos(h, 4000);
        EXPECT_EQ(FilePosition(h, 0), fake::Position(file));
        EXPECT_TRUE(ErrorsSince(mark).empty());
    }
    /* Bytes still to be dropped from the next refill lie beyond the file position. */
    uint32_t h = Create(AsDff(sound), 0);
    Record(h)->staged = StagedBytes{0, 5};
    EXPECT_EQ(FilePosition(h, 0), fake::Position(file) + 5);
}

TEST_F(PositionTest, FilePositionModes)
{
    const uint64_t dsfData = 2 * 2 * 4096; /* Dsf(5000): two blocks per channel */
    fixture::DsfSpec tagged;
    tagged.channelBytes = {fixture::PatternBytes(5000, 1), fixture::PatternBytes(5000, 2)};
    tagged.id3 = fixture::MakeId3(300);
    fixture::DsfSpec truncated = tagged;
    truncated.id3.clear();
    truncated.truncateTo = fixture::DSF_SOUND_OFFSET + 9000;
    fixture::DffSpec trailing;
    trailing.sound = fixture::Interleave(MakeSound(2, 5000, 1).channels);
    trailing.artist = "someone";
    trailing.metadataAfterSound = true;
    const uint64_t dffData = 10000;

    const struct {
        const char *what;
        std::vector<uint8_t> bytes;
        bool unknownEnd;
        uint64_t windowOffset;
        uint64_t mode2, mode3; /* relative to dataOffset for mode 3 */
    } cases[] = {
        {"DSF with a tag after the data", fixture::MakeDsf(tagged), false, 0, dsfData, 0},
        {"DSF cut short", fixture::MakeDsf(truncated), false, 1000, 9000, 1000},
        {"DSF of unknown end", Dsf(5000), true, 77, dsfData, 77},
        {"DSDIFF", AsDff(MakeSound(2, 5000, 1)), false, 5, dffData, 5},
        {"DSDIFF with metadata after the sound", fixture::MakeDff(trailing), false, 0, dffData, 0},
        {"DSDIFF of unknown end", AsDff(MakeSound(2, 5000, 1)), true, 123456789, dffData, 123456789},
        /* A host value that is unknown stays unknown rather than wrapping to dataOffset - 1. */
        {"unknown passed-through offset", Dsf(5000), false, NONE, dsfData, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fake::Source knobs;
        knobs.unknownEnd = c.unknownEnd;
        knobs.windowOffset = c.windowOffset;
        uint32_t h = Create(c.bytes, RAW, 0, knobs);
        ASSERT_NE(h, 0u);
        const uint64_t dataOffset = Record(h)->dataOffset;
        size_t mark = fake::Errors().size();
        fake::ClearLog();
        EXPECT_EQ(FilePosition(h, 2), c.mode2);
        EXPECT_EQ(fake::CountCalls(("FileGetPosition(" + std::to_string(file) + ",2)").c_str()), 1u);
        EXPECT_EQ(FilePosition(h, 3), c.windowOffset == NONE ? NONE : dataOffset + c.mode3);
        EXPECT_EQ(fake::CountCalls(("FileGetPosition(" + std::to_string(file) + ",3)").c_str()), 1u);
        for (uint32_t mode : {1u, 4u, 5u, 0x100u, 0x10000000u, 0x10000002u, 0xFFFFFFFFu})
            EXPECT_EQ(FilePosition(h, mode), NONE) << std::hex << mode;
        if (!Record(h)->isDff) {
            EXPECT_EQ(FilePosition(h, 0), NONE);
        }
        /* An end before the first sound byte leaves nothing to limit but dataSize. */
        fake::GetSource(file).data.resize(10);
        EXPECT_EQ(FilePosition(h, 2), Record(h)->isDff ? dffData : dsfData);
        EXPECT_TRUE(ErrorsSince(mark).empty());
    }
}

TEST_F(PositionTest, DsfReadPositionIsUnknownWhateverWasRead)
{
    uint32_t h = Create(Dsf(3 * 4096), 0);
    ASSERT_NE(h, 0u);
    size_t mark = fake::Errors().size();
    EXPECT_EQ(FilePosition(h, 0), NONE);
    std::vector<uint8_t> buf(4096);
    fake::Read(h, buf.data(), 4096);
    EXPECT_EQ(FilePosition(h, 0), NONE);
    SetPos(h, 0);
    EXPECT_EQ(FilePosition(h, 0), NONE);
    EXPECT_TRUE(ErrorsSince(mark).empty());
}

/* ---- can-set-position ---- */

TEST_F(PositionTest, CanSetPositionLooksAtTheLowByteOfTheModeOnly)
{
    uint32_t h = Create(Dsf(88 * 4096), 0);
    ASSERT_NE(h, 0u);
    const struct {
        uint32_t mode, result;
        std::vector<int32_t> errors;
    } cases[] = {{0, 1, {}},
                 {0x10000000, 1, {}},
                 {0x100, 1, {}},
                 {0xFFFFFF00, 1, {}},
                 {1, 0, {ERROR_NOT_AVAILABLE}},
                 {0x101, 0, {ERROR_NOT_AVAILABLE}},
                 {0x10000001, 0, {ERROR_NOT_AVAILABLE}},
                 {0xFF, 0, {ERROR_NOT_AVAILABLE}}};
    for (const auto &c : cases) {
        size_t mark = fake::Errors().size();
        EXPECT_EQ(CanSet(h, 176400, c.mode), c.result) << std::hex << c.mode;
        EXPECT_EQ(ErrorsSince(mark), c.errors) << std::hex << c.mode;
    }
}

TEST_F(PositionTest, CanSetPositionStopsAtTheLength)
{
    for (uint32_t flags : {0u, RAW, DOP}) {
        uint32_t h = Create(AsDff(MakeSound(2, 3000, 7)), flags);
        ASSERT_NE(h, 0u);
        const uint64_t length = Record(h)->length;
        ASSERT_GT(length, 0u);
        const struct {
            uint64_t position;
            uint32_t result;
        } cases[] = {{0, 1},      {1, 1},          {length / 2, 1}, {length - 1, 1},
                     {length, 0}, {length + 1, 0}, {NONE, 0}};
        for (auto c : cases) {
            size_t mark = fake::Errors().size();
            EXPECT_EQ(CanSet(h, c.position), c.result) << std::hex << flags << std::dec << " " << c.position;
            EXPECT_EQ(ErrorsSince(mark),
                      c.result ? std::vector<int32_t>{} : std::vector<int32_t>{ERROR_POSITION});
        }
    }
}

TEST_F(PositionTest, CanSetPositionComparesTheAvailableAmountWithTheSoundOffset)
{
    const std::vector<uint8_t> dsf = Dsf(88 * 4096), dff = fixture::PatternDff(88 * 4096);
    /* The available amount counts from the first sound byte: dataOffset is not added. */
    const struct {
        bool dff;
        uint32_t flags;
        uint64_t position, available;
        uint32_t result;
    } cases[] = {
        {false, 0, 176400, 704512, 1}, /* the block group start, not 705600 */
        {false, 0, 176400, 704511, 0}, {true, 0, 176400, 705600, 1},
        {true, 0, 176400, 705599, 0},  {true, RAW, 100001, 100000, 1},
        {true, RAW, 100001, 99999, 0}, {false, RAW, 100000, 98304, 1},
        {false, DOP, 80000, 32768, 1}, {true, DOP, 80000, 39999, 0},
        {true, RAW, 0, 0, 1},          {false, 0, 1000, 0, 1}, /* still inside the first block group */
        {true, RAW, 2, 1, 0},          {true, RAW, 700000, NONE - 1, 1},
        {true, RAW, 700000, NONE, 1}, /* no limit */
        {false, 0, 180211, NONE, 1},  /* the last byte */
    };
    for (auto c : cases) {
        SCOPED_TRACE(testing::Message()
                     << (c.dff ? "DSDIFF" : "DSF") << " flags " << std::hex << c.flags << std::dec
                     << " position " << c.position << " available " << c.available);
        fake::Source knobs;
        knobs.available = c.available;
        uint32_t h = Create(c.dff ? dff : dsf, c.flags, 0, knobs);
        ASSERT_NE(h, 0u);
        ASSERT_LT(c.position, Record(h)->length);
        fake::ClearLog();
        size_t mark = fake::Errors().size();
        EXPECT_EQ(CanSet(h, c.position), c.result);
        EXPECT_EQ(fake::CountCalls(("FileGetPosition(" + std::to_string(file) + ",1)").c_str()), 1u);
        EXPECT_EQ(ErrorsSince(mark),
                  c.result ? std::vector<int32_t>{} : std::vector<int32_t>{ERROR_POSITION});
        fake::FreeStream(h);
    }
}

} // namespace
