#include "addon_fixture.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>

#include "create/readers.h"
#include "ops/operations.h"

namespace {

/* A text the reader kept, or null when none is expected. */
void ExpectText(const char *got, const char *want, const char *name)
{
    if (want == nullptr) {
        EXPECT_EQ(got, nullptr) << name;
    } else {
        EXPECT_STREQ(got, want) << name;
    }
}

using fixture::Chunk;
using fixture::Comment;
using fixture::MakeDff;
using fixture::SerializeChunk;

const uint32_t D = STREAM_DECODE_ONLY, F = STREAM_FLOAT;

Chunk Raw(const char *id, std::vector<uint8_t> data, std::optional<uint64_t> size = std::nullopt)
{
    return Chunk{id, std::move(data), {}, size, nullptr};
}

Chunk PropOf(std::vector<Chunk> children, const char *type = "SND ")
{
    return Chunk{"PROP", {}, std::move(children), std::nullopt, type};
}

Chunk DiinOf(std::vector<Chunk> children)
{
    return Chunk{"DIIN", {}, std::move(children), std::nullopt, nullptr};
}

std::vector<uint8_t> StereoSound(size_t frames = 1000)
{
    return fixture::Interleave({fixture::PatternBytes(frames, 1), fixture::PatternBytes(frames, 2)});
}

/* One comment record as the file holds it; `length` overrides the text length field. */
std::vector<uint8_t> RecordBytes(const Comment &c, std::optional<uint32_t> length = std::nullopt,
                                 bool pad = true)
{
    std::vector<uint8_t> out;
    fixture::PutBe(out, c.year, 2);
    for (uint8_t b : {c.month, c.day, c.hour, c.minutes})
        out.push_back(b);
    fixture::PutBe(out, c.type, 2);
    fixture::PutBe(out, c.ref, 2);
    fixture::PutBe(out, length.value_or(static_cast<uint32_t>(c.text.size())), 4);
    fixture::PutText(out, c.text);
    if (pad && c.text.size() % 2 != 0)
        out.push_back(0);
    return out;
}

std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<uint8_t> Count(uint16_t n)
{
    return {static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
}

/* A source whose 41st read fails, so that a walk in circles ends and shows in the read count. */
fake::Source Bounded()
{
    fake::Source s;
    s.readScript.assign(40, INT32_MAX);
    s.readScript.push_back(-1);
    return s;
}

const Comment c0{2015, 12, 31, 23, 59, 1, 0, "first"};          /* odd text */
const Comment c1{1999, 2, 3, 4, 5, 0x8001, 0xFFFF, "second!!"}; /* even text */
const Comment c2{0x1234, 0x80, 0xFF, 0, 1, 0xABCD, 0x0102, ""}; /* no text */

/*
 * Checks the comments a record holds against `want`, reading every byte of every
 * record handed out, so that a record reaching outside its block shows under ASan.
 */
void ExpectComments(const DsdStream *s, const std::vector<Comment> &want, const std::string &name)
{
    ASSERT_EQ(s->commentCount, want.size()) << name;
    if (want.empty()) {
        EXPECT_EQ(s->comments, nullptr) << name;
        return;
    }
    ASSERT_NE(s->comments, nullptr) << name;
    const uint8_t *prev = nullptr;
    uint32_t prevLength = 0;
    for (size_t i = 0; i < want.size(); i++) {
        const uint8_t *p = reinterpret_cast<const uint8_t *>(s->comments[i]);
        if (i > 0) {
            EXPECT_EQ(p, prev + 14 + prevLength + (prevLength & 1)) << name << " entry " << i;
        }
        uint16_t year, type, ref;
        uint32_t length;
        memcpy(&year, p, 2);
        memcpy(&type, p + 6, 2);
        memcpy(&ref, p + 8, 2);
        memcpy(&length, p + 10, 4);
        EXPECT_EQ(year, want[i].year) << name << " entry " << i;
        EXPECT_EQ(p[2], want[i].month) << name << " entry " << i;
        EXPECT_EQ(p[3], want[i].day) << name << " entry " << i;
        EXPECT_EQ(p[4], want[i].hour) << name << " entry " << i;
        EXPECT_EQ(p[5], want[i].minutes) << name << " entry " << i;
        EXPECT_EQ(type, want[i].type) << name << " entry " << i;
        EXPECT_EQ(ref, want[i].ref) << name << " entry " << i;
        ASSERT_EQ(length, want[i].text.size()) << name << " entry " << i;
        uint32_t viaStruct = s->comments[i]->commentLength; /* packed: read by value */
        EXPECT_EQ(viaStruct, length) << name;
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(p + 14), length), want[i].text)
            << name << " entry " << i;
        prev = p;
        prevLength = length;
    }
}

struct StreamFree {
    void operator()(DsdStream *s) const { DsdStreamFree(s); }
};
using Walked = std::unique_ptr<DsdStream, StreamFree>;

class DffTest : public AddonTest {
protected:
    /* Runs the DSDIFF reader alone on `bytes` after reading the form header, as the driver
       does; the knobs' read script starts with the reader's first read. */
    Walked Walk(const std::vector<uint8_t> &bytes, fake::Source knobs = {})
    {
        std::vector<int32_t> script = std::move(knobs.readScript);
        knobs.readScript.clear();
        knobs.data = bytes;
        file = fake::AddSource(knobs);
        uint8_t head[16];
        EXPECT_EQ(hostFunctions->FileRead(file, head, 16), 16);
        fake::GetSource(file).readScript = script;
        DsdStream *s = DsdStreamAlloc();
        s->file = file;
        s->isDff = 1;
        fake::ClearLog();
        DffReadHeader(s);
        return Walked(s);
    }

    static std::vector<uint64_t> SeekTargets()
    {
        std::vector<uint64_t> out;
        for (const std::string &line : fake::Log()) {
            unsigned f;
            unsigned long long pos;
            if (sscanf(line.c_str(), "FileSeek(%u,%llu)", &f, &pos) == 2)
                out.push_back(pos);
        }
        return out;
    }
};

/* ---- the chunk walk ---- */

TEST_F(DffTest, ChunksCountOnlyAtTheirOwnLevel)
{
    const std::vector<uint8_t> sound = StereoSound();
    const struct {
        const char *name;
        std::vector<Chunk> chunks;
        uint32_t rate;
        uint32_t channels;
        const char *artist; /* null: none */
        const char *title;
    } cases[] = {
        {"plain",
         {fixture::Fver(), fixture::Prop(2822400, 2), fixture::Sound(sound)},
         2822400,
         2,
         nullptr,
         nullptr},
        {"FS and CHNL at top level",
         {fixture::Fs(5644800), fixture::Chnl(6), fixture::Prop(2822400, 2), fixture::Fs(11289600),
          fixture::Chnl(1), fixture::Sound(sound)},
         2822400,
         2,
         nullptr,
         nullptr},
        {"FS and CHNL inside DIIN",
         {fixture::Prop(2822400, 2), DiinOf({fixture::Fs(5644800), fixture::Chnl(1)}), fixture::Sound(sound)},
         2822400,
         2,
         nullptr,
         nullptr},
        {"DIAR and DITI at top level",
         {fixture::Prop(2822400, 2), fixture::TextChunk("DIAR", "a"), fixture::TextChunk("DITI", "t"),
          fixture::Sound(sound)},
         2822400,
         2,
         nullptr,
         nullptr},
        {"DIAR, DITI and DIIN inside PROP",
         {PropOf({fixture::Fs(2822400), fixture::TextChunk("DIAR", "a"), fixture::Diin("b", "c"),
                  fixture::TextChunk("DITI", "t"), fixture::Chnl(2)}),
          fixture::Sound(sound)},
         2822400,
         2,
         nullptr,
         nullptr},
        {"PROP of another type is skipped whole",
         {fixture::Prop(2822400, 2),
          PropOf({fixture::Fs(5644800), fixture::Chnl(1), fixture::Diin("inner", "inner")}, "SNX "),
          fixture::Sound(sound)},
         2822400,
         2,
         nullptr,
         nullptr},
        {"a later SND PROP replaces the fields",
         {fixture::Prop(2822400, 2), fixture::Prop(5644800, 2), fixture::Sound(sound)},
         5644800,
         2,
         nullptr,
         nullptr},
        {"DIIN texts after the sound",
         {fixture::Prop(2822400, 2), fixture::Sound(sound), fixture::Diin("ar", "ti")},
         2822400,
         2,
         "ar",
         "ti"},
        {"unknown chunks anywhere",
         {Raw("JUNK", {1, 2, 3, 4}), PropOf({Raw("junk", {9}), fixture::Fs(2822400), fixture::Chnl(2)}),
          DiinOf({Raw("EMID", {1, 2}), fixture::TextChunk("DIAR", "x"), Raw("MARK", {7, 7, 7})}),
          fixture::Sound(sound), Raw("ID3 ", {0})},
         2822400,
         2,
         "x",
         nullptr},
    };
    for (const auto &c : cases) {
        uint32_t h = Create(MakeDff(c.chunks));
        ASSERT_NE(h, 0u) << c.name << " error " << fake::LastError();
        DsdStream *s = Record(h);
        EXPECT_EQ(s->dsdRate, c.rate) << c.name;
        EXPECT_EQ(s->channels, c.channels) << c.name;
        EXPECT_EQ(s->dataSize, sound.size()) << c.name;
        ExpectText(s->artist, c.artist, c.name);
        ExpectText(s->title, c.title, c.name);
        fake::FreeStream(h);
    }
}

TEST_F(DffTest, MissingPiecesRefuseTheSource)
{
    const std::vector<uint8_t> sound = StereoSound();
    const struct {
        const char *name;
        std::vector<Chunk> chunks;
    } cases[] = {
        {"no PROP", {fixture::Fver(), fixture::Fs(2822400), fixture::Chnl(2), fixture::Sound(sound)}},
        {"PROP of another type",
         {PropOf({fixture::Fs(2822400), fixture::Chnl(2)}, "snd "), fixture::Sound(sound)}},
        {"no FS", {PropOf({fixture::Chnl(2)}), fixture::Sound(sound)}},
        {"no CHNL", {PropOf({fixture::Fs(2822400)}), fixture::Sound(sound)}},
        {"rate 0", {fixture::Prop(0, 2), fixture::Sound(sound)}},
        {"no channels", {fixture::Prop(2822400, 0), fixture::Sound(sound)}},
        {"ids are case sensitive", {PropOf({fixture::Fs(2822400), fixture::Chnl(2)}), Raw("dsd ", sound)}},
        {"compressed sound", {fixture::Prop(2822400, 2), Raw("DST ", sound)}},
        {"no sound chunk", {fixture::Prop(2822400, 2), fixture::Diin("a", "t")}},
        {"sound only inside DIIN", {fixture::Prop(2822400, 2), DiinOf({fixture::Sound(sound)})}},
        {"sound only inside PROP", {PropOf({fixture::Fs(2822400), fixture::Chnl(2), fixture::Sound(sound)})}},
        {"nothing after the form header", {}},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(Create(MakeDff(c.chunks)), 0u) << c.name;
        EXPECT_EQ(fake::LastError(), ERROR_FORMAT) << c.name;
    }
}

TEST_F(DffTest, SoundChunkGivesTheDataPlaceAndBlockSize)
{
    /* Odd sizes before the sound move it; the pad bytes count. */
    std::vector<Chunk> chunks = {fixture::Fver(), Raw("ODD ", {1, 2, 3}), fixture::Prop(2822400, 3),
                                 fixture::Diin("abc", "ab"),
                                 fixture::Sound(fixture::PatternBytes(3 * 777, 5))};
    size_t before = 16;
    for (size_t i = 0; i + 1 < chunks.size(); i++)
        before += SerializeChunk(chunks[i]).size();
    std::vector<uint8_t> bytes = MakeDff(chunks);
    ASSERT_EQ(fixture::GetId(bytes, before), "DSD ");

    Walked s = Walk(bytes);
    EXPECT_EQ(s->dataOffset, before + 12);
    EXPECT_EQ(s->dataSize, 3u * 777);
    EXPECT_EQ(s->blockSize, 4096u);
    EXPECT_EQ(s->channels, 3u);
    EXPECT_EQ(s->lsbFirst, 0u);
    EXPECT_EQ(s->tailPad, 0u);
    EXPECT_STREQ(s->artist, "abc");
    EXPECT_STREQ(s->title, "ab");

    /* A sound chunk claiming more than the file holds keeps its claimed size. */
    chunks.back().sizeOverride = 1u << 30;
    s = Walk(MakeDff(chunks));
    EXPECT_EQ(s->dataOffset, before + 12);
    EXPECT_EQ(s->dataSize, 1u << 30);

    /* Through the driver the stream then stands at the sound. */
    uint32_t h = Create(bytes, DSD_RAW | D);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(fake::Position(file), before + 12);
    EXPECT_EQ(Record(h)->length, 3u * 777);
}

TEST_F(DffTest, WalkSeeksOncePerChunkAndEntersContainersWithoutSeeking)
{
    const std::vector<uint8_t> sound = fixture::PatternBytes(2 * 501, 3); /* even */
    std::vector<Chunk> chunks = {
        fixture::Fver(), PropOf({fixture::Fs(2822400), Raw("ODD ", {1, 2, 3}), fixture::Chnl(2)}),
        Raw("PAD ", {1}), DiinOf({fixture::TextChunk("DIAR", "abc"), fixture::TextChunk("DITI", "ab")}),
        fixture::Sound(sound)};
    std::vector<uint8_t> bytes = MakeDff(chunks);
    Walked s = Walk(bytes);
    /* FVER 16 bytes at 16; PROP at 32 with FS at 48 (16 bytes), ODD at 64 (12 + 3 + pad), CHNL at 80
       (12 + 2 + 8); PAD at 102 (12 + 1 + pad); DIIN at 116 with DIAR at 128 (12 + 7 + pad),
       DITI at 148 (12 + 6); the sound at 166. */
    const std::vector<uint64_t> want = {32, 64, 80, 102, 116, 148, 166, 166 + 12 + sound.size()};
    EXPECT_EQ(SeekTargets(), want) << fake::LogText();
    EXPECT_EQ(bytes.size(), want.back());
    EXPECT_EQ(s->dataOffset, 178u);
    EXPECT_EQ(s->dsdRate, 2822400u);
    EXPECT_EQ(s->channels, 2u);
    EXPECT_STREQ(s->artist, "abc");
    EXPECT_STREQ(s->title, "ab");
}

TEST_F(DffTest, ChunksAfterTheFormSizeAreRead)
{
    std::vector<Chunk> chunks = {fixture::Fver(), fixture::Prop(2822400, 2), fixture::Sound(StereoSound()),
                                 fixture::Diin("late", "later"), fixture::Comt({c0})};
    for (uint64_t formSize : {uint64_t{4}, uint64_t{4 + 16}, uint64_t{0}}) {
        uint32_t h = Create(MakeDff(chunks, formSize));
        ASSERT_NE(h, 0u) << formSize;
        EXPECT_STREQ(Record(h)->artist, "late");
        EXPECT_STREQ(Record(h)->title, "later");
        ExpectComments(Record(h), {c0}, "form size " + std::to_string(formSize));
    }
}

TEST_F(DffTest, StreamedSourceStopsAtTheSound)
{
    for (bool after : {false, true}) {
        for (uint32_t fileFlags : {0u, FILE_STREAMED, FILE_STREAMED | FILE_FLAG_PASSED}) {
            fixture::DffSpec shape;
            shape.sound = StereoSound();
            shape.artist = "Artist";
            shape.title = "Title";
            shape.comments = {c0, c1};
            shape.metadataAfterSound = after;
            fake::Source knobs;
            knobs.fileFlags = fileFlags;
            uint32_t h = Create(MakeDff(shape), 0, 0, knobs);
            std::string name =
                std::string(after ? "after" : "before") + " flags " + std::to_string(fileFlags);
            ASSERT_NE(h, 0u) << name;
            DsdStream *s = Record(h);
            bool kept = !(after && (fileFlags & FILE_STREAMED));
            if (kept) {
                EXPECT_STREQ(s->artist, "Artist") << name;
                EXPECT_STREQ(s->title, "Title") << name;
                ExpectComments(s, {c0, c1}, name);
            } else {
                EXPECT_EQ(s->artist, nullptr) << name;
                EXPECT_EQ(s->title, nullptr) << name;
                ExpectComments(s, {}, name);
            }
            EXPECT_EQ(s->dataSize, shape.sound.size()) << name;
            fake::FreeStream(h);
        }
    }
}

TEST_F(DffTest, StreamedWalkNeverSeeksPastTheSound)
{
    fixture::DffSpec shape;
    shape.sound = StereoSound();
    shape.artist = "A";
    shape.metadataAfterSound = true;
    fake::Source knobs;
    knobs.fileFlags = FILE_STREAMED;
    Walked s = Walk(MakeDff(shape), knobs);
    for (uint64_t pos : SeekTargets())
        EXPECT_LT(pos, s->dataOffset) << fake::LogText();
    EXPECT_EQ(fake::CountCalls("FileGetFlags"), 1u);
}

TEST_F(DffTest, LastTextWinsAndEmptyTextsAreIgnored)
{
    const std::vector<uint8_t> sound = StereoSound(100);
    const struct {
        const char *name;
        std::vector<Chunk> meta;
        const char *artist; /* null: none, unless maybePrefix */
        const char *title;
        const char *maybePrefix = nullptr; /* artist may be absent or start with this */
    } cases[] = {
        {"two DIAR in one DIIN",
         {DiinOf({fixture::TextChunk("DIAR", "first"), fixture::TextChunk("DIAR", "second"),
                  fixture::TextChunk("DITI", "t1")})},
         "second",
         "t1"},
        {"a later DIIN", {fixture::Diin("a1", "t1"), fixture::Diin("", "t2")}, "a1", "t2"},
        {"empty text keeps the earlier one",
         {DiinOf({fixture::TextChunk("DIAR", "kept"), fixture::TextChunk("DIAR", "")})},
         "kept",
         nullptr},
        {"empty text alone",
         {DiinOf({fixture::TextChunk("DIAR", ""), fixture::TextChunk("DITI", "")})},
         nullptr,
         nullptr},
        {"bytes kept as they are", {fixture::Diin("\xC3\xA9t\xE9 \x01", "  ")}, "\xC3\xA9t\xE9 \x01", "  "},
        {"odd text then the next chunk",
         {DiinOf({fixture::TextChunk("DITI", "odd"), fixture::TextChunk("DIAR", "ev")})},
         "ev",
         "odd"},
        /* The length says more than the chunk holds: no text, and the seek still finds the next chunk. */
        {"text length past the chunk",
         {DiinOf(
             {Raw("DIAR", Cat({{0, 0, 0, 9}, {'a', 'b', 'c', 'd'}})), fixture::TextChunk("DITI", "next")})},
         nullptr,
         "next"},
        /* Too large to allocate, or read short: either way nothing beyond the file's bytes. */
        {"huge text length",
         {DiinOf(
             {Raw("DIAR", Cat({{0xFF, 0xFF, 0xFF, 0xFF}, {'a', 'b'}})), fixture::TextChunk("DITI", "next")})},
         nullptr,
         "next",
         "abDITI"},
    };
    for (const auto &c : cases) {
        std::vector<Chunk> chunks = {fixture::Prop(2822400, 2)};
        chunks.insert(chunks.end(), c.meta.begin(), c.meta.end());
        chunks.push_back(fixture::Sound(sound));
        Walked s = Walk(MakeDff(chunks));
        EXPECT_EQ(s->dataSize, sound.size()) << c.name;
        if (c.maybePrefix != nullptr) {
            if (s->artist != nullptr) {
                EXPECT_EQ(strncmp(s->artist, c.maybePrefix, strlen(c.maybePrefix)), 0) << c.name;
            }
        } else {
            ExpectText(s->artist, c.artist, c.name);
        }
        ExpectText(s->title, c.title, c.name);
    }

    /* The file ends inside a text: a text kept holds the bytes that were there and nothing else. */
    std::vector<uint8_t> cut = MakeDff({fixture::Prop(2822400, 2), fixture::Sound(sound),
                                        DiinOf({fixture::TextChunk("DITI", "0123456789")})});
    cut.resize(cut.size() - 6);
    Walked s = Walk(cut);
    if (s->title != nullptr) {
        EXPECT_STREQ(s->title, "0123");
    }
}

TEST_F(DffTest, WalkEndsQuietlyOnFailedSeeksAndShortHeaders)
{
    std::vector<Chunk> propFirst = {fixture::Prop(2822400, 2), fixture::Sound(StereoSound())};
    {
        /* PROP is entered without a seek; the first seek fails after FS. */
        fake::Source knobs;
        knobs.failSeek = true;
        Walked s = Walk(MakeDff(propFirst), knobs);
        EXPECT_EQ(s->dsdRate, 2822400u);
        EXPECT_EQ(s->channels, 0u);
        EXPECT_EQ(s->dataOffset, 0u);
        EXPECT_EQ(fake::CountCalls("FileSeek"), 1u) << fake::LogText();
    }
    /* The first chunk header cannot be read whole: one read, nothing found. */
    for (int32_t result : {-1, 0, 11}) {
        fake::Source knobs;
        knobs.readScript = {result};
        Walked s = Walk(MakeDff(propFirst), knobs);
        EXPECT_EQ(s->dsdRate, 0u) << result;
        EXPECT_EQ(fake::CountCalls("FileRead"), 1u) << result;
        EXPECT_EQ(fake::CountCalls("FileSeek"), 0u) << result;
    }
    /* A header cut by the end of the file after the sound: what was found stands. */
    for (size_t tail : {0u, 1u, 6u, 11u}) {
        std::vector<uint8_t> bytes = MakeDff(propFirst);
        std::vector<uint8_t> extra = SerializeChunk(fixture::Diin("a", "t"));
        bytes.insert(bytes.end(), extra.begin(), extra.begin() + static_cast<ptrdiff_t>(tail));
        uint32_t h = Create(bytes);
        ASSERT_NE(h, 0u) << tail;
        EXPECT_EQ(Record(h)->artist, nullptr);
    }
}

TEST_F(DffTest, SizeThatWrapsTheNextOffsetEndsTheWalk)
{
    const std::vector<uint8_t> sound = StereoSound();
    for (uint64_t size :
         {UINT64_C(0xFFFFFFFFFFFFFFF4), UINT64_C(0xFFFFFFFFFFFFFFF3), UINT64_C(0xFFFFFFFFFFFFFFE0),
          UINT64_C(0xFFFFFFFFFFFFFFD0), UINT64_C(0x8000000000000000)}) {
        /* Before the sound: the walk ends without finding it. */
        Walked s =
            Walk(MakeDff({fixture::Prop(2822400, 2), Raw("LOOP", {1, 2, 3, 4}, size), fixture::Sound(sound)}),
                 Bounded());
        EXPECT_EQ(s->channels, 2u) << std::hex << size;
        /* Chunk headers, FS, CHNL and the compression type: a handful of reads, not one per wrap. */
        EXPECT_LE(fake::CountCalls("FileRead"), 9u) << std::hex << size;
        EXPECT_EQ(s->dataOffset, 0u) << std::hex << size;
        /* After the sound: the stream stands, the later chunks go unread. */
        fake::ClearLog();
        uint32_t h = Create(MakeDff({fixture::Prop(2822400, 2), fixture::Sound(sound),
                                     Raw("LOOP", {0, 0}, size), fixture::Diin("a", "t")}),
                            0, 0, Bounded());
        ASSERT_NE(h, 0u) << std::hex << size;
        EXPECT_LE(fake::CountCalls("FileRead"), 16u) << std::hex << size;
        EXPECT_EQ(Record(h)->artist, nullptr) << std::hex << size;
        fake::FreeStream(h);
    }
    /* A sound chunk whose size wraps: its place is kept, the walk ends there. */
    Walked s = Walk(MakeDff({fixture::Prop(2822400, 2), Raw("DSD ", sound, UINT64_C(0xFFFFFFFFFFFFFFF4)),
                             fixture::Diin("a", "t")}),
                    Bounded());
    EXPECT_NE(s->dataOffset, 0u);
    EXPECT_LE(fake::CountCalls("FileRead"), 9u);
    EXPECT_EQ(s->artist, nullptr);
}

/* ---- the ID3v2 tag ---- */

TEST_F(DffTest, Id3ChunkIsTheStreamsTagWhereverItFitsWhole)
{
    const std::vector<uint8_t> sound = StereoSound();
    const std::vector<uint8_t> tag = fixture::MakeId3(41), other = fixture::MakeId3(20);
    std::vector<uint8_t> padded = tag;
    padded.insert(padded.end(), 5, 0); /* room left in the chunk after the tag: odd, so padded */
    std::vector<uint8_t> huge = tag;   /* claims 256 MiB */
    std::fill(huge.begin() + 6, huge.begin() + 10, 0x7F);
    const std::vector<uint8_t> notATag(40, 'x'), shortHead = {'I', 'D', '3', 3, 0};
    const std::vector<uint8_t> none;
    const Chunk prop = fixture::Prop(2822400, 2), snd = fixture::Sound(sound);
    auto id3 = [](const std::vector<uint8_t> &data, std::optional<uint64_t> size = std::nullopt) {
        return Raw("ID3 ", data, size);
    };
    const struct {
        const char *name;
        std::vector<Chunk> chunks;
        const std::vector<uint8_t> &want; /* empty: no tag */
        uint32_t fileFlags = 0;
        size_t cut = 0; /* bytes cut off the end of the file */
    } cases[] = {
        {"before the sound", {prop, id3(tag), snd}, tag},
        {"after the sound", {prop, snd, id3(tag)}, tag},
        {"among the properties", {PropOf({fixture::Fs(2822400), id3(tag), fixture::Chnl(2)}), snd}, tag},
        {"room after the tag", {prop, id3(padded), snd, fixture::Diin("a", "t")}, tag},
        {"the first of two",
         {PropOf({fixture::Fs(2822400), fixture::Chnl(2), id3(other)}), id3(tag), snd},
         other},
        {"not a tag, then a tag", {prop, id3(notATag), snd, id3(tag)}, tag},
        {"inside DIIN", {prop, DiinOf({id3(tag)}), snd}, none},
        {"shorter than a tag header", {prop, id3(shortHead), snd}, none},
        {"longer than its chunk", {prop, snd, id3(tag, tag.size() - 1)}, none},
        {"cut by the end of the source", {prop, snd, id3(tag)}, none, 0, 3},
        {"256 MiB claimed in a chunk that claims more", {prop, snd, id3(huge, UINT64_C(1) << 40)}, none},
        {"before the sound, streamed", {prop, id3(tag), snd}, tag, FILE_STREAMED},
        {"after the sound, streamed", {prop, snd, id3(tag)}, none, FILE_STREAMED},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> bytes = MakeDff(c.chunks);
        bytes.resize(bytes.size() - c.cut);
        fake::Source knobs;
        knobs.fileFlags = c.fileFlags;
        uint32_t h = Create(bytes, DSD_RAW | D, 0, knobs);
        ASSERT_NE(h, 0u) << c.name;
        const DsdStream *s = Record(h);
        fake::Stream *st = fake::GetStream(h);
        const uint8_t *got = static_cast<const uint8_t *>(st->ops->getTags(st->user, TAG_ID3V2));
        EXPECT_EQ(got, s->id3Tag) << c.name;
        if (c.want.empty()) {
            EXPECT_EQ(got, nullptr) << c.name;
        } else {
            ASSERT_NE(got, nullptr) << c.name;
            EXPECT_EQ(std::vector<uint8_t>(got, got + c.want.size()), c.want) << c.name;
        }
        /* Whatever was read after the sound, the stream stands at its first byte and plays it all. */
        EXPECT_EQ(fake::Position(file), s->dataOffset) << c.name;
        EXPECT_EQ(fixture::GetId(bytes, s->dataOffset - 12), "DSD ") << c.name;
        EXPECT_EQ(PullToEnd(h), sound) << c.name;
        fake::FreeStream(h);
    }
}

/* ---- comments ---- */

TEST_F(DffTest, CommentsAreHandedOutPackedInHostOrder)
{
    fixture::DffSpec shape;
    shape.sound = StereoSound();
    shape.comments = {c1, c0, c2, c1};
    uint32_t h = Create(MakeDff(shape));
    ASSERT_NE(h, 0u);
    DsdStream *s = Record(h);
    ASSERT_NO_FATAL_FAILURE(ExpectComments(s, shape.comments, "four"));

    /* commentLength is a 32-bit host-order value at byte 10; the text is not terminated. */
    const uint8_t *first = reinterpret_cast<const uint8_t *>(s->comments[0]);
    uint32_t length;
    memcpy(&length, first + 10, 4);
    EXPECT_EQ(length, 8u);
    EXPECT_NE(first[14 + 8], 0) << "the next record's year follows the text directly";
    EXPECT_EQ(reinterpret_cast<const uint8_t *>(s->comments[1]), first + 14 + 8);
    /* An odd text is followed by its pad byte. */
    EXPECT_EQ(reinterpret_cast<const uint8_t *>(s->comments[2]), first + 14 + 8 + 14 + 5 + 1);
    EXPECT_EQ(sizeof(DsdComment), 15u);
    EXPECT_EQ(offsetof(DsdComment, commentLength), 10u);
    EXPECT_EQ(offsetof(DsdComment, commentText), 14u);

    /* The same records through the get-tags operation. */
    fake::Stream *st = fake::GetStream(h);
    for (uint32_t i = 0; i < 4; i++)
        EXPECT_EQ(st->ops->getTags(st->user, TAG_DSD_COMMENT_BASE + i), s->comments[i]) << i;
    EXPECT_EQ(st->ops->getTags(st->user, TAG_DSD_COMMENT_BASE + 4), nullptr);
}

TEST_F(DffTest, DamagedCommentChunksKeepOnlyWholeRecords)
{
    const std::vector<uint8_t> whole = Cat({Count(3), RecordBytes(c0), RecordBytes(c1), RecordBytes(c2)});
    std::vector<uint8_t> c1Cut = RecordBytes(c1);
    c1Cut.resize(10);
    const struct {
        const char *name;
        std::vector<uint8_t> data;
        std::optional<uint64_t> size;
        std::vector<int32_t> script; /* reads: chunk header, count, block */
        uint32_t maxRead;
        std::vector<Comment> kept;
        bool walkGoesOn;
    } cases[] = {
        {"three whole records", whole, std::nullopt, {}, 0, {c0, c1, c2}, true},
        {"count larger than the records",
         Cat({Count(7), RecordBytes(c0), RecordBytes(c1)}),
         std::nullopt,
         {},
         0,
         {c0, c1},
         true},
        {"count 65535", Cat({Count(0xFFFF), RecordBytes(c2)}), std::nullopt, {}, 0, {c2}, true},
        {"count smaller than the records",
         Cat({Count(1), RecordBytes(c0), RecordBytes(c1)}),
         std::nullopt,
         {},
         0,
         {c0},
         true},
        {"second text past the block",
         Cat({Count(2), RecordBytes(c0), RecordBytes(c1, 500)}),
         std::nullopt,
         {},
         0,
         {c0},
         true},
        {"second text one byte past the block",
         Cat({Count(2), RecordBytes(c0), RecordBytes(c1, 9)}),
         std::nullopt,
         {},
         0,
         {c0},
         true},
        {"first text length all ones",
         Cat({Count(2), RecordBytes(c0, 0xFFFFFFFF), RecordBytes(c1)}),
         std::nullopt,
         {},
         0,
         {},
         true},
        {"second header cut", Cat({Count(2), RecordBytes(c0), c1Cut}), std::nullopt, {}, 0, {c0}, true},
        {"last pad byte outside the block",
         Cat({Count(1), RecordBytes(c0, std::nullopt, false)}),
         std::nullopt,
         {},
         0,
         {c0},
         true},
        {"size shorter than the data", whole, 2 + 20 + 14 + 8 + 13, {}, 0, {c0, c1}, true},
        {"count 0", Cat({Count(0), RecordBytes(c0)}), std::nullopt, {}, 0, {}, true},
        {"size 0", {}, std::nullopt, {}, 0, {}, true},
        {"size 1", {3}, std::nullopt, {}, 0, {}, true},
        {"count only", Count(3), std::nullopt, {}, 0, {}, true},
        {"block read short", whole, std::nullopt, {12, 2, 20 + 3}, 0, {c0}, true},
        {"block read fails", whole, std::nullopt, {12, 2, -1}, 0, {}, true},
        {"block read gives nothing", whole, std::nullopt, {12, 2, 0}, 0, {}, true},
        {"block read of 13 bytes", whole, std::nullopt, {12, 2, 13}, 0, {}, true},
        {"reads of at most 19 bytes",
         Cat({Count(2), RecordBytes(c0), RecordBytes(c1)}),
         std::nullopt,
         {},
         19,
         {c0},
         true},
        {"size past 4 GiB", whole, UINT64_C(0x100000002), {}, 0, {}, false},
    };
    for (const auto &c : cases) {
        Chunk comt = Raw("COMT", c.data, c.size);
        std::vector<uint8_t> bytes = MakeDff(
            {comt, fixture::Prop(2822400, 2), fixture::Diin("after", ""), fixture::Sound(StereoSound(10))});
        if (c.size.has_value() && *c.size < c.data.size()) {
            /* The walk goes on from where the size says, which must hold a chunk header. */
            std::vector<uint8_t> fixed = MakeDff({comt});
            fixed.resize(16 + 12 + static_cast<size_t>(*c.size) + (*c.size & 1));
            std::vector<uint8_t> rest = MakeDff(
                {fixture::Prop(2822400, 2), fixture::Diin("after", ""), fixture::Sound(StereoSound(10))});
            fixed.insert(fixed.end(), rest.begin() + 16, rest.end());
            bytes = fixed;
        }
        fake::Source knobs;
        knobs.readScript = c.script;
        knobs.maxRead = c.maxRead;
        Walked s = Walk(bytes, knobs);
        ExpectComments(s.get(), c.kept, c.name);
        if (c.walkGoesOn) {
            EXPECT_STREQ(s->artist, "after") << c.name;
            EXPECT_EQ(s->channels, 2u) << c.name;
        }
    }
}

TEST_F(DffTest, CommentsCutByTheEndOfTheFile)
{
    const std::vector<uint8_t> data = Cat({Count(3), RecordBytes(c1), RecordBytes(c0), RecordBytes(c2)});
    const std::vector<uint8_t> full =
        MakeDff({fixture::Prop(2822400, 2), fixture::Sound(StereoSound(10)), Raw("COMT", data)});
    const size_t blockStart = full.size() - data.size() + 2;
    const struct {
        size_t blockBytes;
        std::vector<Comment> kept;
    } cases[] = {{0, {}},
                 {13, {}},
                 {14 + 7, {}},
                 {14 + 8, {c1}},
                 {22 + 14 + 4, {c1}},
                 {22 + 14 + 5, {c1, c0}},
                 {22 + 20 + 13, {c1, c0}},
                 {22 + 20 + 14, {c1, c0, c2}}};
    for (const auto &c : cases) {
        std::vector<uint8_t> bytes(full.begin(),
                                   full.begin() + static_cast<ptrdiff_t>(blockStart + c.blockBytes));
        uint32_t h = Create(bytes);
        ASSERT_NE(h, 0u) << c.blockBytes;
        ExpectComments(Record(h), c.kept, "block bytes " + std::to_string(c.blockBytes));
        fake::FreeStream(h);
    }
}

TEST_F(DffTest, LastCommentChunkWins)
{
    const struct {
        const char *name;
        std::vector<Chunk> comts;
        std::vector<Comment> kept;
    } cases[] = {
        {"second replaces first", {fixture::Comt({c0, c1}), fixture::Comt({c2})}, {c2}},
        {"three chunks", {fixture::Comt({c0}), fixture::Comt({c1, c1}), fixture::Comt({c2, c0})}, {c2, c0}},
        {"an empty later chunk clears", {fixture::Comt({c0}), Raw("COMT", Count(0))}, {}},
        {"a broken later chunk clears", {fixture::Comt({c0}), Raw("COMT", {1})}, {}},
        {"a good chunk after a broken one",
         {Raw("COMT", Cat({Count(2), RecordBytes(c0, 99)})), fixture::Comt({c1})},
         {c1}},
    };
    for (const auto &c : cases) {
        std::vector<Chunk> chunks = {fixture::Prop(2822400, 2)};
        chunks.insert(chunks.end(), c.comts.begin(), c.comts.end());
        chunks.push_back(fixture::Sound(StereoSound(10)));
        uint32_t h = Create(MakeDff(chunks));
        ASSERT_NE(h, 0u) << c.name;
        ExpectComments(Record(h), c.kept, c.name);
        fake::FreeStream(h); /* a replaced block freed twice or kept would show under ASan */
    }
}

TEST_F(DffTest, CommentChunkOnlyAtTopLevel)
{
    std::vector<Chunk> chunks = {PropOf({fixture::Fs(2822400), fixture::Chnl(2), fixture::Comt({c0})}),
                                 DiinOf({fixture::Comt({c1})}), fixture::Sound(StereoSound(10))};
    Walked s = Walk(MakeDff(chunks));
    ExpectComments(s.get(), {}, "nested");
    EXPECT_EQ(s->channels, 2u);
}

/* ---- the same sound in both containers ---- */

TEST_F(DffTest, SameSoundDecodesAlikeFromDsfAndDsdiff)
{
    const struct {
        uint32_t channels;
        size_t perChannel;
        uint32_t dsfBlock;
    } sounds[] = {{2, 10000, 4096}, {1, 4097, 1}, {5, 333, 100}, {3, 9001, 4095}, {2, 25, 7}};
    const struct {
        uint32_t flags, freq;
    } forms[] = {{DSD_RAW | D, 0}, {DSD_DOP | F, 0}, {0, 0}, {F, 0}, {F, 176400}};
    for (const auto &snd : sounds) {
        std::vector<std::vector<uint8_t>> channels;
        for (uint32_t ch = 0; ch < snd.channels; ch++)
            channels.push_back(fixture::PatternBytes(snd.perChannel, 40 + ch));
        fixture::DsfSpec dsf;
        dsf.channels = snd.channels;
        dsf.bitsPerSample = 8; /* earliest bit in bit 7, as in DSDIFF */
        dsf.blockSize = snd.dsfBlock;
        dsf.channelBytes = channels;
        dsf.padByte = 0x55;
        fixture::DffSpec dff;
        dff.channels = static_cast<uint16_t>(snd.channels);
        dff.sound = fixture::Interleave(channels);
        dff.artist = "a";
        dff.comments = {c0};
        std::vector<uint8_t> dffBefore = MakeDff(dff);
        dff.metadataAfterSound = true;
        std::vector<uint8_t> dffAfter = MakeDff(dff);

        for (const auto &f : forms) {
            std::string name = std::to_string(snd.channels) + "x" + std::to_string(snd.perChannel) +
                               " flags " + std::to_string(f.flags) + " freq " + std::to_string(f.freq);
            uint32_t h = Create(fixture::MakeDsf(dsf), f.flags, f.freq);
            ASSERT_NE(h, 0u) << name;
            std::vector<uint8_t> want = PullToEnd(h, 3000);
            if (f.flags & DSD_RAW) {
                EXPECT_EQ(want.size(), snd.perChannel * snd.channels) << name;
            } else {
                EXPECT_FALSE(want.empty()) << name;
            }

            fake::Source streamed;
            streamed.fileFlags = FILE_STREAMED;
            for (int variant = 0; variant < 3; variant++) {
                uint32_t g = Create(variant == 0 ? dffBefore : dffAfter, f.flags, f.freq,
                                    variant == 2 ? streamed : fake::Source{});
                ASSERT_NE(g, 0u) << name << " variant " << variant;
                EXPECT_EQ(Record(g)->length, Record(h)->length) << name << " variant " << variant;
                EXPECT_EQ(fake::GetStream(g)->freq, fake::GetStream(h)->freq) << name;
                std::vector<uint8_t> got = PullToEnd(g, 3000);
                EXPECT_TRUE(got == want)
                    << name << " variant " << variant << " got " << got.size() << " want " << want.size();
                fake::FreeStream(g);
            }
            fake::FreeStream(h);
        }
    }
}

} // namespace
