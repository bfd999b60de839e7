// Streams of the stand-in host, driven by a scripted read procedure and a
// recording operations table.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <string>

#include "velm_test_util.h"

namespace {

constexpr uint64_t kAllOnes = UINT64_MAX;

// User value of a test stream: the read procedure's script and what the
// operations saw.
struct TestStream {
    std::vector<uint32_t> results; // byte counts, VELM_STREAMPROC_END added where wanted
    size_t next = 0;
    std::vector<uint32_t> asked;
    std::vector<uint64_t> translated; // Translate(GetStreamPosition) at each call
    std::vector<uint64_t> raw;        // GetStreamPosition at each call
    uint8_t counter = 0;
    std::string log;
    uint32_t canResult = 1;
    uint64_t setResult = 0;
    uint32_t lastMode = 0;
    float attribute = 0.0f;
    uint32_t lastSet = 9;
    int releases = 0;
};

uint32_t Read(uint32_t handle, void *out, uint32_t length, void *user)
{
    auto *t = static_cast<TestStream *>(user);
    const HostFunctions &h = Host();
    t->asked.push_back(length);
    uint64_t raw = h.GetStreamPosition(handle, 0);
    t->raw.push_back(raw);
    t->translated.push_back(h.TranslateStreamPosition(handle, 0, raw, 0));
    uint32_t result = t->next < t->results.size() ? t->results[t->next++] : VELM_STREAMPROC_END;
    uint32_t bytes = std::min(result & ~VELM_STREAMPROC_END, length);
    for (uint32_t i = 0; i < bytes; ++i)
        static_cast<uint8_t *>(out)[i] = t->counter++;
    return bytes | (result & VELM_STREAMPROC_END);
}

const OperationsTable kOps = [] {
    OperationsTable ops{};
    ops.release = [](void *inst) { static_cast<TestStream *>(inst)->releases++; };
    ops.getLength = [](void *, uint32_t mode) -> uint64_t { return 1000 + mode; };
    ops.getTags = [](void *, uint32_t type) -> const void * { return type == 1 ? "tag" : nullptr; };
    ops.getFilePosition = [](void *, uint32_t mode) -> uint64_t { return 70 + mode; };
    ops.getInfo = [](void *, VELM_CHANNELINFO *info) {
        info->flags |= 0x400;
        info->ctype = 0x11700;
    };
    ops.canSetPosition = [](void *inst, uint64_t, uint32_t mode) -> uint32_t {
        auto *t = static_cast<TestStream *>(inst);
        t->log += "can ";
        t->lastMode = mode;
        if (t->canResult == 0)
            Host().SetError(VELM_ERROR_POSITION);
        return t->canResult;
    };
    ops.setPosition = [](void *inst, uint64_t, uint32_t) -> uint64_t {
        auto *t = static_cast<TestStream *>(inst);
        t->log += "set ";
        return t->setResult;
    };
    ops.attribute = [](void *inst, uint32_t, float *value, uint32_t set) -> uint32_t {
        auto *t = static_cast<TestStream *>(inst);
        t->lastSet = set;
        if (set != 0)
            t->attribute = *value;
        else
            *value = t->attribute;
        return 1;
    };
    return ops;
}();

uint32_t Create(TestStream &t, const OperationsTable *ops = &kOps)
{
    return Host().CreateStream(44100, 2, 0x100, Read, &t, ops);
}

TEST(HostStreams, GetDataCallsTheProcedureUntilFilled)
{
    TestStream t;
    t.results = {3, 4, 5};
    uint32_t h = Create(t);
    ASSERT_NE(h, 0u);
    uint8_t buffer[10] = {};
    EXPECT_EQ(VELM_ChannelGetData(h, buffer, 10), 10u);
    EXPECT_EQ(t.asked, (std::vector<uint32_t>{10, 7, 3}));
    EXPECT_EQ(t.translated, (std::vector<uint64_t>{0, 3, 7}));
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(buffer[i], i);
    EXPECT_EQ(VELM_ChannelGetPosition(h, 0), 10u);
    // The script is spent: the procedure ends with 0 bytes, which is an error.
    EXPECT_EQ(VELM_ChannelGetData(h, buffer, 4), UINT32_MAX);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_ENDED);
    VELM_StreamFree(h);
}

TEST(HostStreams, EndBitStopsAndLatches)
{
    TestStream t;
    t.results = {4 | VELM_STREAMPROC_END, 9};
    uint32_t h = Create(t);
    uint8_t buffer[10];
    EXPECT_EQ(VELM_ChannelGetData(h, buffer, 10), 4u);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_OK);
    EXPECT_EQ(VELM_ChannelGetData(h, buffer, 10), UINT32_MAX);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_ENDED);
    EXPECT_EQ(t.asked.size(), 1u);
    EXPECT_EQ(VELM_ChannelGetPosition(h, 0), 4u);
    VELM_StreamFree(h);
}

TEST(HostStreams, ZeroBytesWithoutEndReturnsWhatCame)
{
    TestStream t;
    t.results = {2, 0, 5, 0};
    uint32_t h = Create(t);
    uint8_t buffer[10];
    EXPECT_EQ(VELM_ChannelGetData(h, buffer, 10), 2u);
    EXPECT_EQ(VELM_ChannelGetData(h, buffer, 10), 5u);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_OK);
    EXPECT_EQ(VELM_ChannelGetPosition(h, 0), 7u);
    EXPECT_EQ(t.asked, (std::vector<uint32_t>{10, 8, 10, 5}));
    VELM_StreamFree(h);
}

TEST(HostStreams, SetPositionAsksFirstAndResetsTheCount)
{
    TestStream t;
    t.results = {6 | VELM_STREAMPROC_END, 3};
    uint32_t h = Create(t);
    uint8_t buffer[8];
    ASSERT_EQ(VELM_ChannelGetData(h, buffer, 8), 6u);

    t.canResult = 0; // refused: set position is not called
    EXPECT_EQ(VELM_ChannelSetPosition(h, 500, 0x10000000), 0u);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_POSITION);
    EXPECT_EQ(t.log, "can ");
    EXPECT_EQ(t.lastMode, 0x10000000u);

    t.canResult = 1;
    t.setResult = kAllOnes; // set position fails
    EXPECT_EQ(VELM_ChannelSetPosition(h, 500, 0), 0u);
    EXPECT_EQ(t.log, "can can set ");
    EXPECT_EQ(VELM_ChannelGetPosition(h, 0), 6u);
    EXPECT_EQ(VELM_ChannelGetData(h, buffer, 8), UINT32_MAX); // still ended

    t.setResult = 1234; // the position reached, not the one asked
    EXPECT_EQ(VELM_ChannelSetPosition(h, 1250, 0), 1u);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_OK);
    EXPECT_EQ(VELM_ChannelGetPosition(h, 0), 1234u);
    EXPECT_EQ(VELM_ChannelGetData(h, buffer, 3), 3u); // the end is forgotten
    EXPECT_EQ(t.translated.back(), 1234u);
    EXPECT_EQ(t.raw.back(), 6u); // the host's own counter is not the position
    EXPECT_EQ(VELM_ChannelGetPosition(h, 0), 1237u);
    VELM_StreamFree(h);
}

TEST(HostStreams, OperationsPassThrough)
{
    TestStream t;
    uint32_t h = Create(t);
    EXPECT_EQ(VELM_ChannelGetLength(h, 0), 1000u);
    EXPECT_EQ(VELM_ChannelGetLength(h, 3), 1003u);
    EXPECT_EQ(VELM_StreamGetFilePosition(h, 2), 72u);
    EXPECT_STREQ(static_cast<const char *>(VELM_ChannelGetTags(h, 1)), "tag");
    EXPECT_EQ(VELM_ChannelGetTags(h, 2), nullptr);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_OK);
    EXPECT_EQ(VELM_ChannelSetAttribute(h, 0x14000, -3.5f), 1u);
    EXPECT_EQ(t.lastSet, 1u);
    float value = 0;
    EXPECT_EQ(VELM_ChannelGetAttribute(h, 0x14000, &value), 1u);
    EXPECT_EQ(t.lastSet, 0u);
    EXPECT_EQ(value, -3.5f);

    VELM_CHANNELINFO info;
    memset(&info, 0xAB, sizeof info);
    ASSERT_EQ(VELM_ChannelGetInfo(h, &info), 1u);
    EXPECT_EQ(info.freq, 44100u);
    EXPECT_EQ(info.chans, 2u);
    EXPECT_EQ(info.flags, 0x500u); // 0x100 from CreateStream, 0x400 from get info
    EXPECT_EQ(info.ctype, 0x11700u);
    EXPECT_EQ(info.origres, 0u);
    EXPECT_EQ(info.plugin, 0u);
    EXPECT_EQ(info.sample, 0u);
    EXPECT_EQ(info.filename, nullptr);

    EXPECT_EQ(VELM_StreamFree(h), 1u);
    EXPECT_EQ(t.releases, 1);
}

// Every channel call that needs an operation, with its failure result.
const std::vector<std::pair<const char *, std::function<bool(uint32_t)>>> kOperationCalls = {
    {"GetLength", [](uint32_t h) { return VELM_ChannelGetLength(h, 0) == kAllOnes; }},
    {"SetPosition", [](uint32_t h) { return VELM_ChannelSetPosition(h, 0, 0) == 0; }},
    {"GetTags", [](uint32_t h) { return VELM_ChannelGetTags(h, 1) == nullptr; }},
    {"GetAttribute",
     [](uint32_t h) {
         float v;
         return VELM_ChannelGetAttribute(h, 1, &v) == 0;
     }},
    {"SetAttribute", [](uint32_t h) { return VELM_ChannelSetAttribute(h, 1, 1.0f) == 0; }},
    {"GetFilePosition", [](uint32_t h) { return VELM_StreamGetFilePosition(h, 0) == kAllOnes; }},
};

TEST(HostStreams, MissingOperationsAreNotAvailable)
{
    const OperationsTable empty{};
    OperationsTable canOnly{}; // can-set-position without set position
    canOnly.canSetPosition = kOps.canSetPosition;
    TestStream t;
    const OperationsTable *tables[] = {&empty, nullptr, &canOnly};
    for (const OperationsTable *ops : tables) {
        uint32_t h = Create(t, ops);
        ASSERT_NE(h, 0u);
        for (const auto &[name, call] : kOperationCalls) {
            Host().SetError(VELM_OK);
            EXPECT_TRUE(call(h)) << name;
            EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_NOTAVAIL) << name;
        }
        VELM_CHANNELINFO info;
        EXPECT_EQ(VELM_ChannelGetInfo(h, &info), 1u); // get info is optional
        EXPECT_EQ(VELM_StreamFree(h), 1u);
    }
    EXPECT_EQ(t.log, "");
}

TEST(HostStreams, UnknownHandlesFailWithHandleError)
{
    TestStream t;
    uint32_t freed = Create(t);
    ASSERT_EQ(VELM_StreamFree(freed), 1u);
    auto calls = kOperationCalls;
    calls.push_back({"GetData", [](uint32_t h) {
                         uint8_t b[4];
                         return VELM_ChannelGetData(h, b, 4) == UINT32_MAX;
                     }});
    calls.push_back({"GetPosition", [](uint32_t h) { return VELM_ChannelGetPosition(h, 0) == kAllOnes; }});
    calls.push_back({"GetInfo", [](uint32_t h) {
                         VELM_CHANNELINFO i;
                         return VELM_ChannelGetInfo(h, &i) == 0;
                     }});
    calls.push_back({"StreamFree", [](uint32_t h) { return VELM_StreamFree(h) == 0; }});
    calls.push_back(
        {"GetStreamPosition", [](uint32_t h) { return Host().GetStreamPosition(h, 0) == kAllOnes; }});
    calls.push_back(
        {"Translate", [](uint32_t h) { return Host().TranslateStreamPosition(h, 0, 0, 0) == kAllOnes; }});
    uint32_t file = Host().FileOpen(1, "abc", 0, 3, 0, 1); // a file handle is no stream handle
    for (uint32_t h : {0u, freed, file}) {
        for (const auto &[name, call] : calls) {
            Host().SetError(VELM_OK);
            EXPECT_TRUE(call(h)) << name << " on " << h;
            EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_HANDLE) << name << " on " << h;
        }
    }
    Host().FileClose(file);
    EXPECT_EQ(t.releases, 1);
}

TEST(HostStreams, CreateStreamRefusesMissingArguments)
{
    TestStream t;
    const HostFunctions &h = Host();
    EXPECT_EQ(h.CreateStream(0, 2, 0, Read, &t, &kOps), 0u);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_ILLPARAM);
    h.SetError(VELM_OK);
    EXPECT_EQ(h.CreateStream(44100, 0, 0, Read, &t, &kOps), 0u);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_ILLPARAM);
    h.SetError(VELM_OK);
    EXPECT_EQ(h.CreateStream(44100, 2, 0, nullptr, &t, &kOps), 0u);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_ILLPARAM);
}

TEST(HostStreams, StreamOwnsItsFile)
{
    TempFile temp(20);
    ASSERT_TRUE(temp.ok());
    const HostFunctions &h = Host();
    TestStream t;
    uint32_t stream = Create(t);
    uint32_t file = h.FileOpen(0, temp.path(), 0, 0, 0, 1);
    ASSERT_NE(file, 0u);
    h.FileSetStream(file, stream);
    VELM_CHANNELINFO info;
    ASSERT_EQ(VELM_ChannelGetInfo(stream, &info), 1u);
    EXPECT_STREQ(info.filename, temp.path());
    ASSERT_EQ(VELM_StreamFree(stream), 1u);
    EXPECT_EQ(t.releases, 1);
    uint8_t byte;
    EXPECT_EQ(h.FileRead(file, &byte, 1), -1); // closed with the stream
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_HANDLE);
}

} // namespace
