#include "addon_fixture.h"

#include <string.h>

#include "convert/stream_read.h"
#include "ops/operations.h"

namespace {

using fixture::DsfSpec;
using fixture::MakeDsf;

class CreateTest : public AddonTest {};

/* A small stereo DSF file whose "fmt " chunk claims other sizes. */
/* A stereo DSF file with its channels, block size and rate words replaced; `dataSize`
   replaces the data chunk's size word (declaring more sound than the file holds). */
std::vector<uint8_t> Patched(uint32_t channels, uint32_t blockSize, uint32_t dsdRate, uint64_t dataSize = 0)
{
    DsfSpec shape;
    shape.channelBytes = {fixture::PatternBytes(4096, 1), fixture::PatternBytes(4096, 2)};
    std::vector<uint8_t> bytes = MakeDsf(shape);
    dsdsignal::SetLe(bytes, fixture::DSF_FMT_OFFSET + 24, channels, 4);
    dsdsignal::SetLe(bytes, fixture::DSF_FMT_OFFSET + 28, dsdRate, 4);
    dsdsignal::SetLe(bytes, fixture::DSF_FMT_OFFSET + 44, blockSize, 4);
    if (dataSize != 0)
        dsdsignal::SetLe(bytes, fixture::DSF_DATA_OFFSET + 4, dataSize + 12, 8);
    return bytes;
}

std::vector<uint8_t> Prefix(std::vector<uint8_t> bytes, size_t n)
{
    bytes.resize(n);
    return bytes;
}

fake::Source Src(std::vector<uint8_t> bytes)
{
    fake::Source s;
    s.data = std::move(bytes);
    return s;
}

TEST_F(CreateTest, RatioAndStreamRateFollowTheTargetRate)
{
    const struct {
        uint32_t dsdRate, freq;
        int32_t ratio;
        uint32_t rate;
    } cases[] = {
        {2822400, 0, 8, 44100},       {2822400, 48000, 4, 88200},   {2822400, 96000, 2, 176400},
        {2822400, 192000, 1, 352800}, {2822400, 400000, 1, 352800}, {2822400, 22050, 8, 44100},
        {2822400, 44099, 8, 44100},   {3072000, 0, 8, 48000},       {5644800, 0, 16, 44100},
        {11289600, 0, 32, 44100},     {22579200, 0, 64, 44100},     {5644800, 88200, 8, 88200},
    };
    for (auto c : cases) {
        uint32_t h = Create(Dsf(4096, 2, c.dsdRate), 0, c.freq);
        ASSERT_NE(h, 0u) << c.dsdRate << " " << c.freq;
        EXPECT_EQ(Record(h)->ratio, c.ratio) << c.dsdRate << " " << c.freq;
        EXPECT_EQ(fake::GetStream(h)->freq, c.rate) << c.dsdRate << " " << c.freq;
        EXPECT_EQ(fake::GetStream(h)->chans, 2u);
        EXPECT_EQ(fake::LastError(), 0);
    }
}

TEST_F(CreateTest, ConfiguredRateIsTheDefaultTarget)
{
    const struct {
        uint32_t configured, rate;
    } cases[] = {{96000, 176400}, {0, 44100}, {22050, 44100}, {44100, 44100}, {352800, 352800}};
    for (auto c : cases) {
        uint32_t v = c.configured;
        ASSERT_EQ(DsdConfigHandler(DSD_CONFIG_RATE, 1, &v), 1u);
        uint32_t h = Create(Dsf(4096));
        ASSERT_NE(h, 0u);
        EXPECT_EQ(fake::GetStream(h)->freq, c.rate) << c.configured;
        /* An explicit freq wins over the configured one. */
        h = Create(Dsf(4096), 0, 192000);
        EXPECT_EQ(fake::GetStream(h)->freq, 352800u);
    }
}

TEST_F(CreateTest, OutputFormFlagRules)
{
    const uint32_t F = STREAM_FLOAT, D = STREAM_DECODE_ONLY;
    const struct {
        uint32_t flags;
        int32_t error; /* 0: created */
        int32_t ratio;
        uint32_t rate;
        uint32_t streamFlags;
    } cases[] = {
        {DSD_DOP | F, 0, 2, 176400, DSD_DOP | F},
        {DSD_DOP, ERROR_PARAM, 0, 0, 0},
        {DSD_DOP | D, ERROR_PARAM, 0, 0, 0},
        {DSD_RAW | D, 0, 1, 352800, DSD_RAW | D | STREAM_8BIT},
        {DSD_RAW, ERROR_PARAM, 0, 0, 0},
        {DSD_RAW | D | F, ERROR_PARAM, 0, 0, 0},
        {DSD_RAW | F, ERROR_PARAM, 0, 0, 0},
        {DSD_RAW | DSD_DOP | D, 0, 1, 352800, DSD_RAW | DSD_DOP | D | STREAM_8BIT},
        {DSD_RAW | DSD_DOP | D | F, ERROR_PARAM, 0, 0, 0},
        {F, 0, 8, 44100, F},
        {0, 0, 8, 44100, 0},
    };
    for (auto c : cases) {
        uint32_t h = Create(Dsf(4096), c.flags);
        EXPECT_EQ(fake::LastError(), c.error) << std::hex << c.flags;
        if (c.error != 0) {
            EXPECT_EQ(h, 0u);
            EXPECT_EQ(fake::CountCalls("CreateStream"), 0u);
            EXPECT_FALSE(fake::IsClosed(file)); /* the driver never closes the source */
            fake::ClearLog();
            continue;
        }
        ASSERT_NE(h, 0u) << std::hex << c.flags;
        DsdStream *s = Record(h);
        EXPECT_EQ(s->ratio, c.ratio);
        EXPECT_EQ(s->flags, c.streamFlags) << std::hex << c.flags;
        EXPECT_EQ(fake::GetStream(h)->flags, c.streamFlags);
        EXPECT_EQ(fake::GetStream(h)->freq, c.rate);
        EXPECT_EQ(s->dopMarker, (c.streamFlags & (DSD_RAW | DSD_DOP)) == DSD_DOP ? DOP_MARKER_05 : 0u);
        /* Only PCM streams have their filter designed. */
        bool pcm = !(c.streamFlags & (DSD_RAW | DSD_DOP));
        EXPECT_EQ(s->filterTables[12][0xFF] != 0.0f, pcm);
        fake::ClearLog();
    }
}

TEST_F(CreateTest, CallerBitsPassThroughTheMaskOnly)
{
    /* Bits 0 and 20 never come from the caller; bit 20 comes from the file flags. */
    uint32_t caller = 0xFFFFF9FFu & ~STREAM_FLOAT;
    uint32_t h = Create(Dsf(4096), caller);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(Record(h)->flags, caller & PASS_FLAGS_MASK);
    EXPECT_EQ(Record(h)->flags & (STREAM_8BIT | FILE_FLAG_PASSED), 0u);

    fake::Source knobs;
    knobs.fileFlags = FILE_FLAG_PASSED;
    h = Create(Dsf(4096), 0, 0, knobs);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(Record(h)->flags, FILE_FLAG_PASSED);
    EXPECT_FALSE(fake::GetBitrate(file).set);
}

TEST_F(CreateTest, StreamedSourcesGetABitrate)
{
    const struct {
        uint32_t fileFlags;
        uint32_t offset;
    } cases[] = {{FILE_STREAMED, 0}, {FILE_STREAMED | FILE_FLAG_PASSED, fixture::DSF_SOUND_OFFSET}};
    for (auto c : cases) {
        fake::Source knobs;
        knobs.fileFlags = c.fileFlags;
        uint32_t h = Create(Dsf(4096, 2, 5644800), 0, 0, knobs);
        ASSERT_NE(h, 0u);
        fake::Bitrate b = fake::GetBitrate(file);
        EXPECT_TRUE(b.set);
        EXPECT_EQ(b.bytesPerSecond, 5644800u / 8); /* not multiplied by the channels */
        EXPECT_EQ(b.offset, c.offset);
    }
}

TEST_F(CreateTest, CompletedStreamOwnsItsFileAndStandsAtTheSound)
{
    uint32_t h = Create(Dsf(4096));
    ASSERT_NE(h, 0u);
    EXPECT_EQ(fake::OwnerStream(file), h);
    EXPECT_EQ(fake::Position(file), fixture::DSF_SOUND_OFFSET);
    EXPECT_EQ(fake::Errors().back(), 0);
    DsdStream *s = Record(h);
    EXPECT_EQ(s->handle, h);
    EXPECT_EQ(s->file, file);
    EXPECT_EQ(s->gainDb, 6.0f);
    EXPECT_EQ(s->staged.waiting, 0u);
    EXPECT_EQ(s->staged.drop, 0u);
    EXPECT_EQ(s->bufferSize, 2u * (2 * 4096 + 25));
}

TEST_F(CreateTest, GainComesFromTheConfiguration)
{
    uint32_t v = static_cast<uint32_t>(-3);
    DsdConfigHandler(DSD_CONFIG_GAIN, 1, &v);
    uint32_t h = Create(Dsf(4096));
    ASSERT_NE(h, 0u);
    EXPECT_EQ(Record(h)->gainDb, -3.0f);
    v = 12;
    DsdConfigHandler(DSD_CONFIG_GAIN, 1, &v);
    EXPECT_EQ(Record(h)->gainDb, -3.0f); /* existing streams keep theirs */

    /* A stored value outside the gain's range starts new streams at its nearer end. */
    const int32_t cases[][2] = {{-100, -100}, {60, 60},        {61, 60},
                                {-101, -100}, {INT32_MAX, 60}, {INT32_MIN, -100}};
    for (auto c : cases) {
        v = static_cast<uint32_t>(c[0]);
        DsdConfigHandler(DSD_CONFIG_GAIN, 1, &v);
        h = Create(Dsf(4096));
        ASSERT_NE(h, 0u);
        EXPECT_EQ(Record(h)->gainDb, static_cast<float>(c[1])) << c[0];
    }
}

TEST_F(CreateTest, LengthFollowsTheDataAndTheForm)
{
    /* 10000 bytes per channel in 4096-byte blocks: three blocks, 2288 bytes of padding each. */
    const uint32_t D = STREAM_DECODE_ONLY;
    const struct {
        const char *name;
        size_t perChannel;
        uint64_t truncateTo;
        bool unknownEnd;
        uint32_t flags;
        uint64_t length;
        int32_t error = ERROR_OK; /* a source that cannot hold one block group is refused */
    } cases[] = {
        {"raw complete", 10000, 0, false, DSD_RAW | D, 20000},
        {"dop complete", 10000, 0, false, DSD_DOP | STREAM_FLOAT, 5000 * 2 * 4},
        {"pcm16 complete", 10000, 0, false, 0, (10000 + 8 - 25) / 8 * 2 * 2},
        {"pcm float complete", 10000, 0, false, STREAM_FLOAT, (10000 + 8 - 25) / 8 * 2 * 4},
        {"raw truncated", 10000, 92 + 8192 + 1000, false, DSD_RAW | D, 4096 * 2},
        {"raw truncated in first group", 10000, 92 + 5000, false, DSD_RAW | D, 0, ERROR_FORMAT},
        {"raw unknown end", 10000, 0, true, DSD_RAW | D, 20000},
        {"raw unknown end truncated", 10000, 92 + 8192, true, DSD_RAW | D, 20000},
        {"pcm window just fits", 17, 0, false, 0, 0},
        {"pcm one window", 25 - 8 + 8, 0, false, 0, 4},
        {"pcm empty", 0, 0, false, 0, 0, ERROR_FORMAT},
        {"raw exact blocks", 8192, 0, false, DSD_RAW | D, 16384},
    };
    for (auto c : cases) {
        DsfSpec shape;
        shape.channelBytes = {fixture::PatternBytes(c.perChannel, 1), fixture::PatternBytes(c.perChannel, 2)};
        shape.sampleCount = c.perChannel * 8;
        shape.truncateTo = c.truncateTo;
        fake::Source knobs;
        knobs.unknownEnd = c.unknownEnd;
        uint32_t h = Create(MakeDsf(shape), c.flags, 0, knobs);
        EXPECT_EQ(fake::LastError(), c.error) << c.name;
        if (c.error != ERROR_OK)
            continue;
        ASSERT_NE(h, 0u) << c.name;
        EXPECT_EQ(Record(h)->length, c.length) << c.name;
    }
}

TEST_F(CreateTest, PaddingOfTheLastBlockFollowsTheSampleCount)
{
    const struct {
        uint64_t sampleCount;
        uint32_t blockSize;
        uint32_t tailPad;
    } cases[] = {{40000, 4096, 3192}, {40001, 4096, 3192}, {40007, 4096, 3192}, {65536, 4096, 0},
                 {8, 4096, 4095},     {0, 4096, 0},        {40000, 1000, 0},    {40008, 1000, 999}};
    for (auto c : cases) {
        DsfSpec shape;
        shape.blockSize = c.blockSize;
        shape.channelBytes = {fixture::PatternBytes(8192, 1), fixture::PatternBytes(8192, 2)};
        shape.sampleCount = c.sampleCount;
        uint32_t h = Create(MakeDsf(shape), DSD_RAW | STREAM_DECODE_ONLY);
        ASSERT_NE(h, 0u);
        EXPECT_EQ(Record(h)->tailPad, c.tailPad) << c.sampleCount << " " << c.blockSize;
    }
}

TEST_F(CreateTest, UnusableSourcesAreRefusedInOrder)
{
    auto shape = [](auto edit) {
        DsfSpec s;
        s.channelBytes = {fixture::PatternBytes(4096, 1), fixture::PatternBytes(4096, 2)};
        edit(s);
        return MakeDsf(s);
    };
    const struct {
        const char *name;
        std::vector<uint8_t> bytes;
        uint32_t flags;
        int32_t error;
        bool reachesCreateStream;
        bool unknownEnd = false;
    } cases[] = {
        {"short source", Prefix(Dsf(16), 15), 0, ERROR_FORMAT, false},
        {"empty source", {}, 0, ERROR_FORMAT, false},
        {"dsd chunk size 29", shape([](DsfSpec &s) { s.dsdChunkSize = 29; }), 0, ERROR_FORMAT, false},
        {"fmt id", shape([](DsfSpec &s) { s.fmtId = "fmx "; }), 0, ERROR_FORMAT, false},
        {"data id", shape([](DsfSpec &s) { s.dataId = "date"; }), 0, ERROR_FORMAT, false},
        {"no channels", shape([](DsfSpec &s) {
             s.channels = 0;
             s.channelBytes.clear();
         }),
         0, ERROR_FORMAT, false},
        {"no rate", shape([](DsfSpec &s) { s.dsdRate = 0; }), 0, ERROR_FORMAT, false},
        {"no block size", shape([](DsfSpec &s) {
             s.blockSize = 0;
             s.channelBytes.clear();
         }),
         0, ERROR_FORMAT, false},
        {"cut in fmt", shape([](DsfSpec &s) { s.truncateTo = 60; }), 0, ERROR_FORMAT, false},
        {"damaged beats flags", shape([](DsfSpec &s) { s.fmtId = "FMT "; }), DSD_RAW, ERROR_FORMAT, false},
        {"bad flags on good file", shape([](DsfSpec &) {}), DSD_RAW, ERROR_PARAM, false},
        /* Sizes that only a source of unknown size declaring huge data can reach. */
        {"buffer too large", Patched(0x7FFFFFFF, 4096, 2822400, 1ull << 62), 0, ERROR_MEMORY, false, true},
        {"block too large", Patched(1, 0x7FFFFFFF, 2822400, 1ull << 62), 0, ERROR_MEMORY, false, true},
        {"block times channels too large", Patched(0x10000, 0x10000, 2822400, 1ull << 62), 0, ERROR_MEMORY,
         false, true},
        /* A huge ratio times the channels would overflow the read procedure's counters. */
        {"window step too large", Patched(300000, 1, 0xFFFFFFF0, 1ull << 40), 0, ERROR_MEMORY, false, true},
        {"largest window step that fits", Patched(200000, 1, 0xFFFFFFF0, 1ull << 40), 0, 0, true, true},
    };
    for (const auto &c : cases) {
        fake::ClearLog();
        fake::Source knobs;
        knobs.unknownEnd = c.unknownEnd;
        uint32_t h = Create(c.bytes, c.flags, 0, knobs);
        EXPECT_EQ(h != 0, c.error == 0) << c.name;
        EXPECT_EQ(fake::LastError(), c.error) << c.name;
        EXPECT_EQ(fake::CountCalls("CreateStream") != 0, c.reachesCreateStream) << c.name;
        EXPECT_FALSE(fake::IsClosed(file)) << c.name;
        if (h != 0)
            fake::FreeStream(h);
    }
    std::vector<uint8_t> frm8 = fixture::MakeDff(std::vector<fixture::Chunk>{}, std::nullopt, "DSF ");
    EXPECT_EQ(Create(frm8), 0u);
    EXPECT_EQ(fake::LastError(), ERROR_FORMAT);
}

TEST_F(CreateTest, HostRefusingTheStreamKeepsItsError)
{
    fake::SetCreateStreamFails(ERROR_NOT_AVAILABLE);
    EXPECT_EQ(Create(Dsf(4096)), 0u);
    EXPECT_EQ(fake::LastError(), ERROR_NOT_AVAILABLE);
    EXPECT_TRUE(fake::Errors().empty()); /* the add-on sets nothing after the host */
    EXPECT_EQ(fake::CountCalls("FileSetStream"), 0u);
}

TEST_F(CreateTest, Id3TagIsKeptWhenItFits)
{
    std::vector<uint8_t> tag = fixture::MakeId3(300);
    const struct {
        const char *name;
        std::vector<uint8_t> id3;
        std::optional<uint64_t> pointer;
        int64_t totalSizeDelta;
        uint32_t fileFlags;
        bool kept;
    } cases[] = {
        {"plain", tag, std::nullopt, 0, 0, true},
        {"top bits ignored", fixture::MakeId3(300, true), std::nullopt, 0, 0, true},
        {"no pointer", tag, 0, 0, 0, false},
        {"streamed source", tag, std::nullopt, 0, FILE_STREAMED, false},
        {"too long for the file", tag, std::nullopt, -1, 0, false},
        {"pointer past the end", tag, 1u << 30, 0, 0, false},
        {"not an ID3 tag", std::vector<uint8_t>(310, 'x'), std::nullopt, 0, 0, false},
    };
    for (const auto &c : cases) {
        DsfSpec shape;
        shape.channelBytes = {fixture::PatternBytes(4096, 1), fixture::PatternBytes(4096, 2)};
        shape.id3 = c.id3;
        shape.metadataPointer = c.pointer;
        shape.totalSizeDelta = c.totalSizeDelta;
        fake::Source knobs;
        knobs.fileFlags = c.fileFlags;
        fake::ClearLog();
        uint32_t h = Create(MakeDsf(shape), 0, 0, knobs);
        ASSERT_NE(h, 0u) << c.name;
        DsdStream *s = Record(h);
        ASSERT_EQ(s->id3Tag != nullptr, c.kept) << c.name;
        if (c.kept) {
            EXPECT_EQ(memcmp(s->id3Tag, c.id3.data(), c.id3.size()), 0) << c.name;
        }
        if (!c.pointer.has_value() || *c.pointer != 0)
            continue;
        /* Without a pointer the reader seeks only past "fmt ", and the driver to the sound. */
        EXPECT_EQ(fake::CountCalls("FileSeek"), 2u);
    }
}

TEST_F(CreateTest, LargerFmtChunkMovesTheData)
{
    DsfSpec shape;
    shape.channelBytes = {fixture::PatternBytes(4096, 1), fixture::PatternBytes(4096, 2)};
    shape.fmtChunkSize = 52 + 20;
    uint32_t h = Create(MakeDsf(shape));
    ASSERT_NE(h, 0u);
    EXPECT_EQ(Record(h)->dataOffset, fixture::DSF_SOUND_OFFSET + 20);
    EXPECT_EQ(Record(h)->dataSize, 8192u);
}

TEST_F(CreateTest, BitsPerSampleGivesTheBitOrder)
{
    for (uint32_t bits : {1u, 8u, 2u}) {
        DsfSpec shape;
        shape.bitsPerSample = bits;
        shape.channelBytes = {fixture::PatternBytes(4096, 1)};
        shape.channels = 1;
        uint32_t h = Create(MakeDsf(shape));
        ASSERT_NE(h, 0u);
        EXPECT_EQ(Record(h)->lsbFirst, bits == 1 ? 1u : 0u) << bits;
    }
}

/* ---- the exported entries ---- */

TEST_F(CreateTest, FileExportOpensWithTheHostAndClosesOnFailure)
{
    std::vector<uint8_t> good = Dsf(4096);
    uint32_t h = VELM_DSD_StreamCreateFile(1, good.data(), 0, good.size(), STREAM_FLOAT, 0);
    ASSERT_NE(h, 0u);
    ASSERT_EQ(fake::OpenCalls().size(), 1u);
    const fake::OpenCall &call = fake::OpenCalls()[0];
    EXPECT_EQ(call.mem, 1u);
    EXPECT_EQ(call.file, good.data());
    EXPECT_EQ(call.length, good.size());
    EXPECT_EQ(call.flags, STREAM_FLOAT);
    EXPECT_EQ(call.addon, 1u);
    EXPECT_FALSE(fake::IsClosed(fake::LastFile()));

    std::vector<uint8_t> bad(100, 0);
    EXPECT_EQ(VELM_DSD_StreamCreateFile(1, bad.data(), 0, bad.size(), 0, 0), 0u);
    EXPECT_EQ(fake::LastError(), ERROR_FORMAT);
    EXPECT_TRUE(fake::IsClosed(fake::LastFile()));

    EXPECT_EQ(VELM_DSD_StreamCreateFile(1, good.data(), 0, good.size(), DSD_DOP, 0), 0u);
    EXPECT_EQ(fake::LastError(), ERROR_PARAM);
    EXPECT_TRUE(fake::IsClosed(fake::LastFile()));
    EXPECT_EQ(fake::OpenFileCount(), 1u);

    /* A source the host cannot open: its error stands, nothing to close. */
    EXPECT_EQ(VELM_DSD_StreamCreateFile(0, "missing.dsf", 0, 0, 0, 0), 0u);
    EXPECT_EQ(fake::LastError(), 2);
}

TEST_F(CreateTest, UrlAndUserExportsPassTheirArguments)
{
    fake::Source src;
    src.data = Dsf(4096);
    src.data.insert(src.data.begin(), 7, 0xEE); /* the URL's data starts at offset 7 */
    fake::RegisterPath("http://example.invalid/a.dsf", src);
    int user = 0;
    uint32_t h =
        VELM_DSD_StreamCreateURL("http://example.invalid/a.dsf", 7, 0x80000000u, nullptr, &user, 96000);
    ASSERT_NE(h, 0u) << fake::LogText();
    const fake::OpenCall &call = fake::OpenCalls().back();
    EXPECT_EQ(call.kind, fake::OpenCall::URL_OPEN);
    EXPECT_EQ(call.offset, 7u);
    EXPECT_EQ(call.flags, 0x80000000u);
    EXPECT_EQ(call.user, &user);
    EXPECT_EQ(call.addon, 1u);
    EXPECT_EQ(fake::GetStream(h)->freq, 176400u);

    size_t opens = fake::OpenCalls().size();
    EXPECT_EQ(VELM_DSD_StreamCreateFileUser(1, 0, fake::JavaNativeFileProcs(), nullptr, 0), 0u);
    EXPECT_EQ(fake::LastError(), ERROR_PARAM);
    EXPECT_EQ(fake::OpenCalls().size(), opens); /* nothing opened */

    /* The fake's user table reads an empty source: not a DSF file, closed again. */
    EXPECT_EQ(VELM_DSD_StreamCreateFileUser(0, 0, fake::JavaNativeFileProcs(), nullptr, 0), 0u);
    EXPECT_EQ(fake::LastError(), ERROR_FORMAT);
    EXPECT_EQ(fake::OpenCalls().back().system, 0u);
    EXPECT_TRUE(fake::IsClosed(fake::LastFile()));
}

TEST_F(CreateTest, PluginCreateNeverMakesRawStreams)
{
    const uint32_t D = STREAM_DECODE_ONLY, F = STREAM_FLOAT;
    const struct {
        uint32_t flags;
        uint32_t form;
    } cases[] = {{DSD_RAW | D, 0}, {DSD_RAW | DSD_DOP | D | F, DSD_DOP}, {DSD_DOP | F, DSD_DOP}, {F, 0}};
    for (auto c : cases) {
        file = fake::AddSource(Src(Dsf(4096)));
        auto create = reinterpret_cast<PluginCreateProcType *>(const_cast<void *>(VELMplugin(1)));
        uint32_t h = create(file, c.flags);
        ASSERT_NE(h, 0u) << std::hex << c.flags;
        EXPECT_EQ(Record(h)->flags & (DSD_RAW | DSD_DOP), c.form);
        EXPECT_EQ(fake::GetStream(h)->freq, c.form == DSD_DOP ? 176400u : 44100u);
    }
    /* A failed plug-in creation leaves the file to the host. */
    file = fake::AddSource(Src(std::vector<uint8_t>(64, 0)));
    EXPECT_EQ(PluginCreateProc(file, 0), 0u);
    EXPECT_FALSE(fake::IsClosed(file));
}

} // namespace
