/*
 * Tests of the fake host and the file writers that the other unit tests rely on.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "dsf_fixture.h"
#include "fake_host.h"

namespace {

const HostFunctions &H()
{
    return *fake::HostTable();
}

std::vector<uint8_t> Bytes(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(i * 7 + 1);
    return v;
}

class FakeHostTest : public ::testing::Test {
protected:
    void SetUp() override { fake::Reset(); }
};

TEST_F(FakeHostTest, ReadsHonourMaxReadAndLogEachCall)
{
    fake::Source src;
    src.data = Bytes(100);
    src.maxRead = 16;
    uint32_t f = fake::AddSource(src);
    uint8_t buf[64] = {};
    EXPECT_EQ(H().FileRead(f, buf, 40), 16);
    EXPECT_EQ(0, memcmp(buf, src.data.data(), 16));
    EXPECT_EQ(buf[16], 0);
    EXPECT_EQ(H().FileRead(f, buf, 40), 16);
    EXPECT_EQ(buf[0], src.data[16]);
    EXPECT_EQ(fake::Position(f), 32u);
    ASSERT_EQ(fake::Log().size(), 2u);
    EXPECT_EQ(fake::Log()[0], "FileRead(1,40)=16");
    EXPECT_EQ(fake::CountCalls("FileRead("), 2u);
}

TEST_F(FakeHostTest, StreamedSourceEndsOnlyWhenAllArrivedAndRead)
{
    fake::Source src;
    src.data = Bytes(100);
    src.fileFlags = FILE_STREAMED;
    src.arrived = 30;
    uint32_t f = fake::AddSource(src);
    uint8_t buf[128];
    EXPECT_EQ(H().FileGetFlags(f), FILE_STREAMED);
    EXPECT_EQ(H().FileRead(f, buf, 50), 30);
    EXPECT_EQ(H().FileRead(f, buf, 50), 0);
    EXPECT_EQ(H().FileIsEnd(f), 0u);
    ASSERT_EQ(H().FileSeek(f, 100), 1u);
    EXPECT_EQ(H().FileIsEnd(f), 0u); /* at the end, but not all of it has arrived */
    ASSERT_EQ(H().FileSeek(f, 30), 1u);
    fake::GetSource(f).arrived = 100;
    EXPECT_EQ(H().FileIsEnd(f), 0u);
    EXPECT_EQ(H().FileRead(f, buf, 128), 70);
    EXPECT_EQ(buf[0], src.data[30]);
    EXPECT_EQ(H().FileIsEnd(f), 1u);
}

TEST_F(FakeHostTest, ReadScriptForcesResultsThenNormalReadsResume)
{
    fake::Source src;
    src.data = Bytes(40);
    src.readScript = {-5, 0, 8};
    uint32_t f = fake::AddSource(src);
    uint8_t buf[40];
    EXPECT_EQ(H().FileRead(f, buf, 20), -5);
    EXPECT_EQ(H().FileRead(f, buf, 20), 0);
    EXPECT_EQ(fake::Position(f), 0u);
    EXPECT_EQ(H().FileRead(f, buf, 20), 8);
    EXPECT_EQ(H().FileRead(f, buf, 20), 20);
    EXPECT_EQ(buf[0], src.data[8]);
    EXPECT_TRUE(fake::GetSource(f).readScript.empty());
}

TEST_F(FakeHostTest, SeekFailsBeyondEndOrWhenScripted)
{
    fake::Source src;
    src.data = Bytes(100);
    uint32_t f = fake::AddSource(src);
    EXPECT_EQ(H().FileSeek(f, 60), 1u);
    EXPECT_EQ(H().FileSeek(f, 101), 0u);
    EXPECT_EQ(fake::Position(f), 60u);
    EXPECT_EQ(H().FileSeek(f, 100), 1u);
    fake::GetSource(f).failSeek = true;
    EXPECT_EQ(H().FileSeek(f, 0), 0u);
    EXPECT_EQ(fake::Position(f), 100u);
    EXPECT_EQ(fake::Log()[1], "FileSeek(1,101)=0");
}

TEST_F(FakeHostTest, GetPositionModes)
{
    fake::Source src;
    src.data = Bytes(100);
    src.available = 70;
    src.windowOffset = 12;
    uint32_t f = fake::AddSource(src);
    uint8_t buf[8];
    H().FileRead(f, buf, 8);
    const struct {
        uint32_t mode;
        bool unknownEnd;
        uint64_t want;
    } rows[] = {{0, false, 8},         {1, false, 70}, {2, false, 100},
                {2, true, UINT64_MAX}, {3, false, 12}, {4, false, UINT64_MAX}};
    for (const auto &r : rows) {
        fake::GetSource(f).unknownEnd = r.unknownEnd;
        EXPECT_EQ(H().FileGetPosition(f, r.mode), r.want) << "mode " << r.mode;
    }
}

TEST_F(FakeHostTest, CreateStreamRecordsOrFails)
{
    static const OperationsTable ops = {};
    int user = 0;
    uint32_t h = H().CreateStream(44100, 2, 0x104, nullptr, &user, &ops);
    ASSERT_EQ(h, fake::FIRST_STREAM_HANDLE);
    const fake::Stream *s = fake::GetStream(h);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->freq, 44100u);
    EXPECT_EQ(s->chans, 2u);
    EXPECT_EQ(s->flags, 0x104u);
    EXPECT_EQ(s->user, &user);
    EXPECT_EQ(s->ops, &ops);
    EXPECT_EQ(fake::Log().back(), "CreateStream(44100,2,0x104)=1001");

    fake::SetCreateStreamFails(VELM_ERROR_MEM);
    EXPECT_EQ(H().CreateStream(44100, 2, 0, nullptr, nullptr, &ops), 0u);
    EXPECT_EQ(fake::LastError(), VELM_ERROR_MEM);
    EXPECT_EQ(fake::SetErrorCount(), 0u); /* the host's own code, not an add-on call */
    EXPECT_EQ(fake::GetStream(fake::FIRST_STREAM_HANDLE + 1), nullptr);
}

/* A read procedure that asks for the delivered count the way the add-on does. */
uint64_t seenDelivered;
uint32_t CountingRead(uint32_t handle, void *out, uint32_t length, void *)
{
    seenDelivered = H().TranslateStreamPosition(handle, 0, H().GetStreamPosition(handle, 0), 0);
    memset(out, 0xAB, length);
    return length < 10 ? length | STREAM_READ_END : length;
}

int releases;
void CountRelease(void *)
{
    ++releases;
}

TEST_F(FakeHostTest, StreamReadTracksDeliveredAndFreeClosesTheFile)
{
    static OperationsTable ops = {};
    ops.release = CountRelease;
    releases = 0;
    fake::Source src;
    src.data = Bytes(10);
    uint32_t f = fake::AddSource(src);
    uint32_t h = H().CreateStream(1, 1, 0, CountingRead, nullptr, &ops);
    H().FileSetStream(f, h);
    EXPECT_EQ(fake::OwnerStream(f), h);
    EXPECT_EQ(fake::GetStream(h)->file, f);

    uint8_t buf[64];
    EXPECT_EQ(fake::Read(h, buf, 64), 64u);
    EXPECT_EQ(seenDelivered, 0u);
    EXPECT_EQ(fake::Read(h, buf, 6), 6u | STREAM_READ_END);
    EXPECT_EQ(seenDelivered, 64u);
    EXPECT_EQ(fake::GetStream(h)->delivered, 70u);
    fake::SetDelivered(h, 1000);
    fake::Read(h, buf, 4);
    EXPECT_EQ(seenDelivered, 1000u);

    /* A position value only translates on its own stream and with modes 0. */
    uint32_t other = H().CreateStream(1, 1, 0, CountingRead, nullptr, &ops);
    EXPECT_EQ(H().TranslateStreamPosition(other, 0, H().GetStreamPosition(h, 0), 0), UINT64_MAX);
    EXPECT_EQ(H().TranslateStreamPosition(h, 0, H().GetStreamPosition(h, 0), 1), UINT64_MAX);

    fake::FreeStream(h);
    EXPECT_EQ(releases, 1);
    EXPECT_TRUE(fake::IsClosed(f));
    EXPECT_EQ(fake::BadHandleCalls(), 0u);
    H().FileClose(f);
    EXPECT_EQ(fake::BadHandleCalls(), 1u);
}

TEST_F(FakeHostTest, OpenCallsResolveMemoryPathsAndRecordArguments)
{
    std::vector<uint8_t> block = Bytes(50);
    uint32_t m = H().FileOpen(1, block.data(), 10, 20, 0x4, 1);
    ASSERT_NE(m, 0u);
    EXPECT_EQ(fake::GetSource(m).data, std::vector<uint8_t>(block.begin() + 10, block.begin() + 30));

    fake::Source src;
    src.data = Bytes(30);
    src.fileFlags = FILE_FLAG_PASSED;
    fake::RegisterPath("a.dsf", src);
    uint32_t p1 = H().FileOpen(0, "a.dsf", 0, 0, 0, 1);
    fake::GetSource(p1).data.clear();
    uint32_t p2 = H().FileOpen(0, "a.dsf", 0, 0, 0, 1);
    EXPECT_EQ(fake::GetSource(p2).data.size(), 30u); /* each open gets its own copy */
    EXPECT_EQ(H().FileGetFlags(p2), FILE_FLAG_PASSED);
    uint32_t u = H().FileOpenURL("a.dsf", 0, 0, nullptr, nullptr, 1);
    EXPECT_NE(u, 0u);
    EXPECT_EQ(u, fake::LastFile());

    EXPECT_EQ(H().FileOpen(0, "missing.dsf", 0, 0, 0, 1), 0u);
    EXPECT_EQ(fake::LastError(), VELM_ERROR_FILEOPEN);
    EXPECT_EQ(H().FileOpenURL("http://x/missing", 0, 0, nullptr, nullptr, 1), 0u);
    EXPECT_EQ(H().FileOpenUser(1, 0, fake::JavaNativeFileProcs(), nullptr, 1), 0u);
    EXPECT_EQ(fake::LastError(), VELM_ERROR_ILLPARAM);

    const auto &calls = fake::OpenCalls();
    ASSERT_EQ(calls.size(), 7u);
    EXPECT_EQ(calls[0].mem, 1u);
    EXPECT_EQ(calls[0].file, block.data());
    EXPECT_EQ(calls[0].offset, 10u);
    EXPECT_EQ(calls[0].length, 20u);
    EXPECT_EQ(calls[0].flags, 0x4u);
    EXPECT_EQ(calls[0].addon, 1u);
    EXPECT_EQ(calls[0].result, m);
    EXPECT_EQ(calls[3].kind, fake::OpenCall::URL_OPEN);
    EXPECT_EQ(calls[6].system, 1u);
    EXPECT_EQ(fake::OpenFileCount(), 4u);
}

struct UserFile {
    std::vector<uint8_t> data;
    uint64_t pos = 0;
    int closes = 0;
};
const VELM_FILEPROCS userProcs = {
    [](void *u) { ++static_cast<UserFile *>(u)->closes; },
    [](void *u) -> uint64_t { return static_cast<UserFile *>(u)->data.size(); },
    [](void *buf, uint32_t len, void *u) -> uint32_t {
        auto *f = static_cast<UserFile *>(u);
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(len, f->data.size() - f->pos));
        memcpy(buf, f->data.data() + f->pos, n);
        f->pos += n;
        return n;
    },
    [](uint64_t off, void *u) -> uint32_t {
        auto *f = static_cast<UserFile *>(u);
        if (off > f->data.size())
            return 0;
        f->pos = off;
        return 1;
    },
};

TEST_F(FakeHostTest, UserSourceGoesThroughTheProcedures)
{
    UserFile uf;
    uf.data = Bytes(20);
    uint32_t f = H().FileOpenUser(0, 0, &userProcs, &uf, 1);
    ASSERT_NE(f, 0u);
    uint8_t buf[32];
    EXPECT_EQ(H().FileSeek(f, 5), 1u);
    EXPECT_EQ(H().FileRead(f, buf, 10), 10);
    EXPECT_EQ(buf[0], uf.data[5]);
    EXPECT_EQ(H().FileIsEnd(f), 0u);
    EXPECT_EQ(H().FileGetPosition(f, 2), 20u);
    EXPECT_EQ(H().FileRead(f, buf, 10), 5);
    EXPECT_EQ(H().FileIsEnd(f), 1u);
    EXPECT_EQ(H().FileSeek(f, 21), 0u);
    H().FileClose(f);
    EXPECT_EQ(uf.closes, 1);
}

TEST_F(FakeHostTest, ConfigPtrVersionAndHandler)
{
    EXPECT_EQ(VELM_GetVersion(), 0x02040000u);
    EXPECT_EQ(VELM_GetConfigPtr(VELM_CONFIG_ADDON), fake::HostTable());
    EXPECT_EQ(VELM_GetConfigPtr(VELM_CONFIG_JAVA), fake::JavaTable());
    EXPECT_EQ(VELM_GetConfigPtr(0x8001), nullptr);
    fake::SetVersion(0x02030000);
    fake::SetHostTable(false);
    fake::SetJavaTable(false);
    EXPECT_EQ(VELM_GetVersion(), 0x02030000u);
    EXPECT_EQ(VELM_GetConfigPtr(VELM_CONFIG_ADDON), nullptr);
    EXPECT_EQ(VELM_GetConfigPtr(VELM_CONFIG_JAVA), nullptr);

    ConfigHandlerProc *handler = [](uint32_t, uint32_t, void *) -> uint32_t { return 1; };
    H().RegisterConfigHandler(handler, 0);
    EXPECT_EQ(fake::ConfigHandler(), handler);
    H().RegisterConfigHandler(handler, 1);
    EXPECT_EQ(fake::ConfigHandler(), nullptr);
    H().SetError(41);
    H().SetError(0);
    EXPECT_EQ(fake::Errors(), (std::vector<int32_t>{41, 0}));
    EXPECT_EQ(fake::CountCalls("SetError(41)"), 1u);

    fake::Reset();
    EXPECT_EQ(VELM_GetVersion(), 0x02040000u);
    EXPECT_NE(VELM_GetConfigPtr(VELM_CONFIG_JAVA), nullptr);
    EXPECT_EQ(fake::SetErrorCount(), 0u);
}

TEST_F(FakeHostTest, JavaTableRecordsAndCanRefuseBindings)
{
    const HostJavaFunctions &J = *fake::JavaTable();
    int env = 0;
    fake::SetJavaEnv(&env);
    EXPECT_EQ(J.GetJavaEnv(), &env);
    void *a = J.NewJavaString(&env, "artist");
    void *b = J.NewJavaString(&env, "title");
    EXPECT_NE(a, b);
    EXPECT_EQ(fake::JavaStringIndex(b), 1);
    EXPECT_EQ(fake::JavaStrings()[fake::JavaStringIndex(a)], "artist");

    const VELM_FILEPROCS *procs = nullptr;
    EXPECT_EQ(J.WrapJavaFileProcs(&env, &a, &b, &procs), fake::DefaultJavaBinding());
    EXPECT_EQ(procs, fake::JavaNativeFileProcs());
    fake::SetJavaBinding(nullptr);
    VELM_DOWNLOADPROC *proc = fake::JavaNativeDownloadProc();
    EXPECT_EQ(J.WrapJavaDownloadProc(&env, &a, &b, &proc), nullptr);
    EXPECT_EQ(proc, nullptr);
    J.AttachJavaBinding(&env, 1001, fake::DefaultJavaBinding());
    J.FreeJavaBinding(nullptr);
    const auto &calls = fake::JavaCalls();
    ASSERT_EQ(calls.size(), 7u);
    EXPECT_EQ(calls[3].name, "WrapJavaFileProcs");
    EXPECT_EQ(calls[3].object, &a);
    EXPECT_EQ(calls[3].user, &b);
    EXPECT_EQ(calls[5].handle, 1001u);
    EXPECT_EQ(fake::Log()[5], "AttachJavaBinding(1001,default)");
}

/* ---- writers ---- */

using fixture::GetBe;
using fixture::GetId;
using fixture::GetLe;

TEST(DsfFixtureTest, LayoutAtFixedOffsets)
{
    fixture::DsfSpec shape;
    shape.blockSize = 8;
    shape.dsdRate = 5644800;
    shape.channelBytes = {fixture::PatternBytes(10, 1), fixture::PatternBytes(10, 2)};
    shape.padByte = 0x69;
    shape.id3 = fixture::MakeId3(6);
    std::vector<uint8_t> f = fixture::MakeDsf(shape);

    const size_t sound = 2 * 2 * 8; /* two block groups of two 8-byte blocks */
    ASSERT_EQ(f.size(), fixture::DSF_SOUND_OFFSET + sound + 16);
    EXPECT_EQ(GetId(f, 0), "DSD ");
    EXPECT_EQ(GetLe(f, 4, 8), 28u);
    EXPECT_EQ(GetLe(f, 12, 8), f.size());
    EXPECT_EQ(GetLe(f, 20, 8), fixture::DSF_SOUND_OFFSET + sound);
    EXPECT_EQ(GetId(f, 28), "fmt ");
    EXPECT_EQ(GetLe(f, 32, 8), 52u);
    EXPECT_EQ(GetLe(f, 48, 4), 2u);       /* channel type stereo */
    EXPECT_EQ(GetLe(f, 52, 4), 2u);       /* channels */
    EXPECT_EQ(GetLe(f, 56, 4), 5644800u); /* rate */
    EXPECT_EQ(GetLe(f, 60, 4), 1u);       /* bits per sample */
    EXPECT_EQ(GetLe(f, 64, 8), 80u);      /* sample count */
    EXPECT_EQ(GetLe(f, 72, 4), 8u);       /* block size */
    EXPECT_EQ(GetId(f, 80), "data");
    EXPECT_EQ(GetLe(f, 84, 8), 12 + sound);

    const uint8_t *s = f.data() + fixture::DSF_SOUND_OFFSET;
    for (size_t ch = 0; ch < 2; ++ch) {
        const auto &bytes = shape.channelBytes[ch];
        EXPECT_EQ(0, memcmp(s + ch * 8, bytes.data(), 8));          /* group 0 */
        EXPECT_EQ(0, memcmp(s + 16 + ch * 8, bytes.data() + 8, 2)); /* group 1 */
        for (size_t i = 2; i < 8; ++i)
            EXPECT_EQ(s[16 + ch * 8 + i], 0x69);
    }
    EXPECT_EQ(GetId(f, fixture::DSF_SOUND_OFFSET + sound), std::string("ID3\x03"));
}

TEST(DsfFixtureTest, MalformedKnobs)
{
    fixture::DsfSpec shape;
    shape.channels = 1;
    shape.channelBytes = {std::vector<uint8_t>(5, 0xAA)};
    shape.sampleCount = 40001;
    shape.fmtChunkSize = 60;
    shape.dataId = "dat!";
    shape.totalSizeDelta = -3;
    shape.metadataPointer = 7;
    std::vector<uint8_t> f = fixture::MakeDsf(shape);
    EXPECT_EQ(GetLe(f, 64, 8), 40001u);
    EXPECT_EQ(GetId(f, 88), "dat!"); /* the data chunk moves with the fmt size */
    EXPECT_EQ(f.size(), 88 + 12 + 4096u);
    EXPECT_EQ(GetLe(f, 12, 8), f.size() - 3);
    EXPECT_EQ(GetLe(f, 20, 8), 7u);

    shape.truncateTo = 100;
    EXPECT_EQ(fixture::MakeDsf(shape).size(), 100u);
}

TEST(DsfFixtureTest, Id3SizeIsSynchsafe)
{
    std::vector<uint8_t> tag = fixture::MakeId3(200);
    ASSERT_EQ(tag.size(), 210u);
    EXPECT_EQ(GetBe(tag, 6, 4), 0x00000148u); /* 200 = 1 * 128 + 72 */
    EXPECT_EQ(GetBe(fixture::MakeId3(200, true), 6, 4), 0x808081C8u);
    EXPECT_EQ(fixture::MakeId3(200, true).size(), 210u);
}

TEST(DffFixtureTest, OddSizesArePaddedAndCountedWithoutThePad)
{
    std::vector<fixture::Chunk> chunks = {
        fixture::TextChunk("DIAR", "abc"), /* size 7 */
        fixture::Chunk{
            "PROP", {}, {fixture::Fs(2822400), fixture::TextChunk("XYZW", "a")}, std::nullopt, "SND "},
        fixture::Comt({{2020, 5, 6, 7, 8, 1, 2, "odd"}, {2021, 1, 1, 0, 0, 0, 0, "ev"}}),
    };
    std::vector<uint8_t> f = fixture::MakeDff(chunks);
    EXPECT_EQ(GetId(f, 0), "FRM8");
    EXPECT_EQ(GetBe(f, 4, 8), f.size() - 12);
    EXPECT_EQ(GetId(f, 12), "DSD ");

    EXPECT_EQ(GetBe(f, 20, 8), 7u);
    EXPECT_EQ(f[16 + 12 + 7], 0); /* pad byte */
    size_t prop = 16 + 12 + 8;
    EXPECT_EQ(GetId(f, prop), "PROP");
    /* "SND " + FS (12 + 4) + XYZW (12 + 5 + pad): the inner pad counts, the chunk is even */
    EXPECT_EQ(GetBe(f, prop + 4, 8), 4u + 16 + 18);
    EXPECT_EQ(GetId(f, prop + 16), "FS  ");
    EXPECT_EQ(GetBe(f, prop + 28, 4), 2822400u);
    size_t comt = prop + 12 + 38;
    EXPECT_EQ(GetId(f, comt), "COMT");
    size_t rec = comt + 12 + 2;
    EXPECT_EQ(GetBe(f, comt + 12, 2), 2u);
    EXPECT_EQ(GetBe(f, rec, 2), 2020u);
    EXPECT_EQ(f[rec + 5], 8);
    EXPECT_EQ(GetBe(f, rec + 6, 2), 1u);
    EXPECT_EQ(GetBe(f, rec + 10, 4), 3u);
    size_t rec2 = rec + 14 + 3 + 1;
    EXPECT_EQ(GetBe(f, rec2, 2), 2021u);
    EXPECT_EQ(GetBe(f, comt + 4, 8), 2u + 18 + 16);
    EXPECT_EQ(f.size(), comt + 12 + 36);
}

TEST(DffFixtureTest, OneCallFileAndSizeOverride)
{
    fixture::DffSpec shape;
    shape.sound = fixture::Interleave({{1, 2, 3}, {4, 5, 6}});
    shape.artist = "A";
    std::vector<uint8_t> f = fixture::MakeDff(shape);
    std::vector<uint8_t> tail(f.end() - 6, f.end());
    EXPECT_EQ(tail, (std::vector<uint8_t>{1, 4, 2, 5, 3, 6}));
    EXPECT_EQ(GetId(f, f.size() - 18), "DSD ");
    EXPECT_EQ(GetId(f, 16), "FVER");

    shape.metadataAfterSound = true;
    std::vector<uint8_t> g = fixture::MakeDff(shape);
    ASSERT_EQ(g.size(), f.size());
    EXPECT_EQ(GetId(g, g.size() - 12 - 12 - 6), "DIIN"); /* DIIN, DIAR(4 + 1 + pad) at the end */

    fixture::Chunk c = fixture::Sound({1, 2, 3});
    c.sizeOverride = 1000;
    std::vector<uint8_t> bytes = fixture::SerializeChunk(c);
    EXPECT_EQ(GetBe(bytes, 4, 8), 1000u);
    EXPECT_EQ(bytes.size(), 16u); /* pad follows the bytes written */
}

} // namespace
