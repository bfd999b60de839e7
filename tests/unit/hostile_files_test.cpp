/*
 * Hostile sources: hosts that report more than they read, and files whose
 * header words claim more than the file holds. Creation must fail with the
 * right code or give a stream that plays, with memory bounded by the file.
 */
#include "addon_fixture.h"

#include <malloc.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <string>

#include "ops/operations.h"

/* Sanitizer builds count their own allocations; glibc's counters do elsewhere. */
extern "C" size_t __sanitizer_get_current_allocated_bytes(void) __attribute__((weak));

namespace {

using fixture::Chunk;

/* The fake host's table with FileRead reporting `extra` bytes more than it was asked for. */
HostFunctions overReporting;
int32_t overReport = 0;

int32_t OverReportingRead(uint32_t file, void *buffer, uint32_t length)
{
    int32_t got = fake::HostTable()->FileRead(file, buffer, length);
    return got > 0 ? got + overReport : got;
}

class HostileTest : public AddonTest {
protected:
    void TearDown() override
    {
        hostFunctions = fake::HostTable();
        AddonTest::TearDown();
    }

    static void ReportMoreThanRead(int32_t extra)
    {
        overReporting = *fake::HostTable();
        overReporting.FileRead = OverReportingRead;
        overReport = extra;
        hostFunctions = &overReporting;
    }
};

TEST_F(HostileTest, HostReportingMoreThanItReadCannotOverrunTheBlocks)
{
    fixture::DffSpec shape;
    shape.sound = fixture::Interleave({fixture::PatternBytes(3000, 1), fixture::PatternBytes(3000, 2)});
    shape.artist = "Artist";
    shape.title = "A Title";
    shape.comments = {fixture::Comment{2020, 1, 2, 3, 4, 0, 0, "odd"},
                      fixture::Comment{2021, 5, 6, 7, 8, 1, 2, "even"}};
    for (int32_t extra : {1, 100, INT32_MAX - 8192}) {
        ReportMoreThanRead(extra);
        uint32_t h = Create(fixture::MakeDff(shape), STREAM_DECODE_ONLY | DSD_RAW);
        ASSERT_NE(h, 0u) << extra;
        const DsdStream *s = Record(h);
        EXPECT_STREQ(s->artist, "Artist") << extra;
        EXPECT_STREQ(s->title, "A Title") << extra;
        ASSERT_EQ(s->commentCount, 2u) << extra;
        EXPECT_EQ(s->comments[1]->commentLength, 4u) << extra;
        std::vector<uint8_t> out(4096), all;
        for (int calls = 0; calls < 100; calls++) {
            uint32_t r = fake::Read(h, out.data(), static_cast<uint32_t>(out.size()));
            all.insert(all.end(), out.begin(), out.begin() + (r & ~STREAM_READ_END));
            if (r & STREAM_READ_END)
                break;
        }
        EXPECT_EQ(all, shape.sound) << extra;
        fake::FreeStream(h);
    }
}

const uint32_t RAW = DSD_RAW | STREAM_DECODE_ONLY, DOP = DSD_DOP | STREAM_FLOAT;
const uint32_t HQ16 = DSD_PCM_HQ, HQ_FLOAT = DSD_PCM_HQ | STREAM_FLOAT;
const uint32_t FORMS[] = {RAW, DOP, 0, STREAM_FLOAT, HQ16, HQ_FLOAT};
const uint64_t SIZES[] = {0, 1, 0x7FFFFFFF, 1ull << 32, 1ull << 63, UINT64_MAX};

size_t LiveBytes()
{
    if (__sanitizer_get_current_allocated_bytes != nullptr)
        return __sanitizer_get_current_allocated_bytes();
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd; /* the heap and the blocks mapped on their own */
}

void Put(std::vector<uint8_t> &bytes, size_t at, uint64_t v, int n, bool bigEndian)
{
    for (int i = 0; i < n; i++)
        bytes[at + i] = static_cast<uint8_t>(v >> 8 * (bigEndian ? n - 1 - i : i));
}

/* A DSF file of four small block groups with an ID3 tag. */
fixture::DsfSpec SmallDsf()
{
    fixture::DsfSpec shape;
    shape.blockSize = 64;
    shape.channelBytes = {fixture::PatternBytes(250, 1), fixture::PatternBytes(250, 2)};
    shape.id3 = fixture::MakeId3(40);
    return shape;
}

Chunk Raw(const char *id, std::vector<uint8_t> data)
{
    return Chunk{id, std::move(data), {}, std::nullopt, nullptr};
}

/* A DSDIFF file with every chunk the reader acts on, the texts and comments after the sound (so
   that a size word there cannot hide it); chunk `which` gets the size word `size`. `artist`
   replaces the artist chunk's data. */
std::vector<uint8_t> SmallDff(size_t which = SIZE_MAX, uint64_t size = 0, std::vector<uint8_t> artist = {})
{
    std::vector<Chunk> inner = {fixture::Fs(2822400), fixture::Chnl(2)};
    std::vector<Chunk> diin = {fixture::TextChunk("DIAR", "hi"), fixture::TextChunk("DITI", "there")};
    if (!artist.empty())
        diin[0] = Raw("DIAR", artist);
    Chunk comt = fixture::Comt({fixture::Comment{2020, 1, 2, 3, 4, 0, 0, "note"}});
    Chunk sound =
        fixture::Sound(fixture::Interleave({fixture::PatternBytes(300, 1), fixture::PatternBytes(300, 2)}));
    Chunk prop{"PROP", {}, {}, std::nullopt, "SND "};
    Chunk diinChunk{"DIIN", {}, {}, std::nullopt, nullptr};
    Chunk *chunks[] = {&inner[0], &inner[1], &diin[0], &diin[1], &comt, &sound, &prop, &diinChunk};
    if (which < 8)
        chunks[which]->sizeOverride = size;
    prop.children = inner;
    diinChunk.children = diin;
    return fixture::MakeDff({prop, sound, diinChunk, comt},
                            which == 8 ? std::optional<uint64_t>(size) : std::nullopt);
}

struct HostileFile {
    std::string name;
    std::vector<uint8_t> bytes;
    int32_t error;        /* the code creation must fail with on a source of known size; -1: fail or play */
    int32_t hqError = -2; /* the same for the high-quality converter; -2: as error */
};

/* Each fault of the file list, the usual suspects in every size field, truncation at every header
   byte, and random bytes after the magic. */
std::vector<HostileFile> HostileFiles()
{
    std::vector<HostileFile> files;
    const std::vector<uint8_t> dsf = fixture::MakeDsf(SmallDsf()), dff = SmallDff();
    auto patched = [&](const std::vector<uint8_t> &base, size_t at, uint64_t v, int n, bool be) {
        std::vector<uint8_t> b = base;
        Put(b, at, v, n, be);
        return b;
    };
    const size_t fmt = fixture::DSF_FMT_OFFSET, data = fixture::DSF_DATA_OFFSET;
    files.push_back(
        {"DSF with 79,536,431 channels", patched(dsf, fmt + 24, 79536431, 4, false), ERROR_FORMAT});
    files.push_back(
        {"DSF block size 0x3FFFFFF0", patched(dsf, fmt + 44, 0x3FFFFFF0, 4, false), ERROR_FORMAT});
    for (uint64_t size : {0, 4, 11})
        files.push_back(
            {"DSF data size " + std::to_string(size), patched(dsf, data + 4, size, 8, false), ERROR_FORMAT});
    /* A "fmt " chunk shorter than its fields (52 bytes), the "data" chunk at its declared end. */
    for (size_t size : {0, 12, 51}) {
        std::vector<uint8_t> b = patched(dsf, fmt + 4, size, 8, false);
        b.erase(b.begin() + static_cast<ptrdiff_t>(fmt + std::max<size_t>(size, 12)),
                b.begin() + static_cast<ptrdiff_t>(data));
        files.push_back({"DSF fmt size " + std::to_string(size), b, ERROR_FORMAT});
    }
    files.push_back({"DSF ID3 of 256 MiB", patched(dsf, dsf.size() - 50 + 6, 0x7F7F7F7F, 4, true), ERROR_OK});
    files.push_back({"DSF metadata beyond the total size", patched(dsf, 12, 100, 8, false), ERROR_OK});
    files.push_back({"DSF ID3 of 256 MiB beyond the total size",
                     patched(patched(dsf, 12, 100, 8, false), dsf.size() - 50 + 6, 0x7F7F7F7F, 4, true),
                     ERROR_OK});
    fixture::DsfSpec cut = SmallDsf();
    cut.truncateTo = 92 + 100;
    files.push_back({"DSF cut inside its first block group", fixture::MakeDsf(cut), ERROR_FORMAT});
    files.push_back({"DSDIFF FS of size 0", SmallDff(0, 0), ERROR_FORMAT});
    files.push_back({"DSDIFF CHNL of size 1", SmallDff(1, 1), ERROR_FORMAT});
    files.push_back({"DSDIFF title longer than its chunk", SmallDff(3, 6), ERROR_OK});
    files.push_back({"DSDIFF artist of 2^31-1 bytes",
                     SmallDff(SIZE_MAX, 0, {0x7F, 0xFF, 0xFF, 0xFF, 'h', 'i'}), ERROR_OK});
    files.push_back({"DSDIFF comments of 2^31-1 bytes", SmallDff(4, 0x7FFFFFFF), ERROR_OK});
    /* FRM8 header, PROP header and type, FS chunk, CHNL header: the channel count. */
    files.push_back(
        {"DSDIFF with 65535 channels", patched(dff, 16 + 16 + 16 + 12, 0xFFFF, 2, true), ERROR_OK,
         ERROR_FORMAT}); /* the high-quality converter's state would be far larger than the file */

    const struct {
        const char *name;
        size_t at;
    } dsfFields[] = {{"total size", 12},
                     {"metadata pointer", 20},
                     {"fmt size", fmt + 4},
                     {"sample count", fmt + 36},
                     {"data size", data + 4}};
    for (const auto &f : dsfFields)
        for (uint64_t size : SIZES)
            files.push_back({std::string("DSF ") + f.name + " " + std::to_string(size),
                             patched(dsf, f.at, size, 8, false), -1});
    for (size_t which = 0; which < 9; which++) /* FS, CHNL, DIAR, DITI, COMT, DSD, PROP, DIIN, FRM8 */
        for (uint64_t size : SIZES)
            files.push_back({"DSDIFF size field " + std::to_string(which) + " " + std::to_string(size),
                             SmallDff(which, size), -1});
    for (size_t n = 0; n < 140; n++) {
        files.push_back({"DSF cut to " + std::to_string(n),
                         std::vector<uint8_t>(dsf.begin(), dsf.begin() + static_cast<ptrdiff_t>(n)), -1});
        files.push_back({"DSDIFF cut to " + std::to_string(n),
                         std::vector<uint8_t>(dff.begin(), dff.begin() + static_cast<ptrdiff_t>(n)), -1});
    }
    for (uint32_t seed = 1; seed <= 8; seed++) {
        std::vector<uint8_t> noise = fixture::PatternBytes(600, seed);
        std::vector<uint8_t> a(dsf.begin(), dsf.begin() + 12), b(dff.begin(), dff.begin() + 16);
        a.insert(a.end(), noise.begin(), noise.end());
        b.insert(b.end(), noise.begin(), noise.end());
        files.push_back({"DSF random after the magic " + std::to_string(seed), a, -1});
        files.push_back({"DSDIFF random after the magic " + std::to_string(seed), b, -1});
    }
    return files;
}

/*
 * Every hostile file through every source kind and form: creation fails with the expected code
 * (a work buffer too large for an unknown source may fail for memory), or the stream plays to its
 * end in whole frames with the length it delivered. The memory a stream keeps stays within a
 * few MB plus what the file can fill (64 MiB where the source's size is unknown).
 */
TEST_F(HostileTest, HostileFilesFailCleanlyOrPlayWithBoundedMemory)
{
    fake::Source kinds[4];
    kinds[1].unknownEnd = true;
    kinds[2].fileFlags = FILE_STREAMED;
    /* Kind 3: reads of at most 7 bytes once the stream exists (the readers need whole headers). */
    for (const HostileFile &f : HostileFiles()) {
        for (size_t kind = 0; kind < 4; kind++) {
            for (uint32_t flags : FORMS) {
                SCOPED_TRACE(f.name + ", source kind " + std::to_string(kind) + ", flags " +
                             std::to_string(flags));
                fake::ClearLog();
                const size_t before = LiveBytes();
                uint32_t h = Create(f.bytes, flags, 0, kinds[kind]);
                const size_t kept = LiveBytes() - before;
                if (h != 0 && kind == 3)
                    fake::GetSource(file).maxRead = 7;
                const int32_t error = fake::LastError();
                const int32_t expected = (flags & DSD_PCM_HQ) && f.hqError != -2 ? f.hqError : f.error;
                const size_t bound = (4u << 20) + (kinds[kind].unknownEnd ? 64u << 20 : 32 * f.bytes.size());
                EXPECT_LE(kept, bound);
                if (expected > 0 && !kinds[kind].unknownEnd) {
                    EXPECT_EQ(error, expected);
                } else if (expected == ERROR_OK && !kinds[kind].unknownEnd) {
                    EXPECT_NE(h, 0u) << error;
                }
                if (h == 0) {
                    EXPECT_TRUE(error == ERROR_FORMAT || error == ERROR_MEMORY) << error;
                    continue;
                }
                const DsdStream *s = Record(h);
                const uint64_t frame = static_cast<uint64_t>(s->channels) * (flags == RAW             ? 1
                                                                             : (flags & STREAM_FLOAT) ? 4
                                                                                                      : 2);
                std::vector<uint8_t> out(static_cast<size_t>(frame < 16384 ? 16384 - 16384 % frame : frame));
                uint64_t delivered = 0;
                bool ended = false;
                for (int calls = 0; calls < 200 && !ended; calls++) {
                    uint32_t r = fake::Read(h, out.data(), static_cast<uint32_t>(out.size()));
                    ASSERT_EQ((r & ~STREAM_READ_END) % frame, 0u);
                    delivered += r & ~STREAM_READ_END;
                    ended = (r & STREAM_READ_END) != 0;
                }
                EXPECT_TRUE(ended);
                EXPECT_LE(delivered, 8 * f.bytes.size());
                if (ended) {
                    EXPECT_EQ(s->length, delivered);
                }
                if (s->id3Tag != nullptr) {
                    EXPECT_EQ(memcmp(s->id3Tag, "ID3", 3), 0);
                }
                if (f.name == "DSDIFF title longer than its chunk") {
                    EXPECT_EQ(s->title, nullptr);
                    EXPECT_STREQ(s->artist, kinds[kind].fileFlags == FILE_STREAMED ? nullptr : "hi");
                }
                fake::FreeStream(h);
            }
        }
    }
}

/*
 * Seeks in every form, block size (1 to 8192), channel count (1 to 6) and ratio: the position
 * returned is a whole frame at or before the one asked for (raw and the high-quality converter:
 * the frame it lies in), the
 * bytes after it are those of a linear read from there (DoP: the DSD payload of each word; the
 * markers run on across the seek), and reading on to the end sets the linear length.
 */
TEST_F(HostileTest, DataAfterASeekIsTheLinearReadFromThePositionReturned)
{
    std::mt19937 random(15);
    auto pick = [&](uint32_t lo, uint32_t hi) {
        return std::uniform_int_distribution<uint32_t>(lo, hi)(random);
    };
    const uint32_t freqs[] = {352800, 176400, 88200, 44100}; /* ratios 1, 2, 4, 8 at 2822400 Hz */
    for (int trial = 0; trial < 240; trial++) {
        const bool dsf = trial % 4 != 0;
        const uint32_t channels = pick(1, 6);
        const uint32_t blockSize = pick(0, 3) == 0 ? pick(1, 40) : pick(1, 8192);
        const uint32_t flags = FORMS[pick(0, 5)];
        const uint32_t freq = freqs[pick(0, 3)];
        const size_t perChannel = pick(blockSize, 3 * blockSize + 300) / (dsf ? 1 : 4) + 30;
        std::vector<std::vector<uint8_t>> sound;
        for (uint32_t ch = 0; ch < channels; ch++)
            sound.push_back(fixture::PatternBytes(perChannel, trial * 8 + ch));
        std::vector<uint8_t> file;
        if (dsf) {
            fixture::DsfSpec shape;
            shape.channels = channels;
            shape.blockSize = blockSize;
            shape.channelBytes = sound;
            file = fixture::MakeDsf(shape);
        } else {
            fixture::DffSpec shape;
            shape.channels = static_cast<uint16_t>(channels);
            shape.sound = fixture::Interleave(sound);
            file = fixture::MakeDff(shape);
        }
        SCOPED_TRACE(testing::Message()
                     << "trial " << trial << (dsf ? " DSF" : " DSDIFF") << " channels " << channels
                     << " block " << blockSize << " flags " << flags << " freq " << freq);
        const uint32_t unit = flags == RAW ? 1 : (flags & STREAM_FLOAT) ? 4 : 2;
        const uint64_t frame = static_cast<uint64_t>(channels) * unit;
        const uint32_t chunk = static_cast<uint32_t>(frame * pick(1, 700));
        auto pullToEnd = [&](uint32_t h) {
            std::vector<uint8_t> out, buf(chunk);
            for (int calls = 0; calls < 100000; calls++) {
                uint32_t r = fake::Read(h, buf.data(), chunk);
                out.insert(out.end(), buf.begin(), buf.begin() + (r & ~STREAM_READ_END));
                if (r & STREAM_READ_END)
                    break;
            }
            return out;
        };
        uint32_t h = Create(file, flags, freq);
        ASSERT_NE(h, 0u);
        const uint64_t announced = Record(h)->length;
        const std::vector<uint8_t> linear = pullToEnd(h);
        EXPECT_EQ(announced, linear.size());
        ASSERT_EQ(Record(h)->length, linear.size());
        fake::FreeStream(h);
        if (linear.empty())
            continue;

        h = Create(file, flags, freq);
        ASSERT_NE(h, 0u);
        std::vector<uint8_t> head(static_cast<size_t>(frame * pick(0, 3)));
        fake::Read(h, head.data(), static_cast<uint32_t>(head.size()));
        const uint64_t position = std::uniform_int_distribution<uint64_t>(0, linear.size() - 1)(random);
        const uint64_t reached = fake::GetStream(h)->ops->setPosition(Record(h), position, 0);
        ASSERT_EQ(reached % frame, 0u) << position;
        ASSERT_LE(reached, position);
        if (flags == RAW || (flags & DSD_PCM_HQ)) {
            EXPECT_EQ(reached, position - position % frame);
        }
        fake::SetDelivered(h, reached);
        const std::vector<uint8_t> after = pullToEnd(h);
        EXPECT_EQ(Record(h)->length, linear.size()) << position << " reached " << reached;
        std::vector<uint8_t> want(linear.begin() + static_cast<ptrdiff_t>(reached), linear.end());
        ASSERT_EQ(after.size(), want.size()) << position << " reached " << reached;
        if (flags == DOP) {
            for (size_t i = 0; i < after.size(); i += 4) {
                float a, b;
                memcpy(&a, &after[i], 4);
                memcpy(&b, &want[i], 4);
                EXPECT_EQ(static_cast<int32_t>(a * 8388608.0f) & 0xFFFF,
                          static_cast<int32_t>(b * 8388608.0f) & 0xFFFF)
                    << i;
            }
        } else {
            EXPECT_TRUE(after == want) << position << " reached " << reached;
        }
        fake::FreeStream(h);
    }
}

} // namespace
