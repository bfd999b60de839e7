/*
 * Streamed sources end to end: DSF and DSDIFF over HTTP from a local test
 * server, decoded through the stand-in host exactly as from disk; failed
 * transfers; freeing during a download; calls on one stream from several
 * threads; a DSF whose blocks are smaller than one output frame.
 */
#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "dsf_fixture.h"
#include "http_server.h"
#include "velm.h"
#include "velmdsd.h"

namespace {

constexpr uint32_t kEnded = 0xFFFFFFFFu;

// Every output form, as a decoding stream.
const uint32_t kForms[] = {
    VELM_DSD_RAW | VELM_STREAM_DECODE,
    VELM_DSD_DOP | VELM_SAMPLE_FLOAT | VELM_STREAM_DECODE,
    VELM_STREAM_DECODE,
    VELM_SAMPLE_FLOAT | VELM_STREAM_DECODE,
};

// Pulls until the end (only the end ends it), `chunk` bytes per request;
// counts the calls that gave fewer bytes than asked before the end.
std::vector<uint8_t> Drain(uint32_t h, uint32_t chunk, size_t *shortCalls)
{
    std::vector<uint8_t> out, buf(chunk);
    uint32_t previous = chunk;
    for (int guard = 0; guard < 100000; guard++) {
        uint32_t n = VELM_ChannelGetData(h, buf.data(), chunk);
        if (n == kEnded)
            break;
        if (previous < chunk)
            ++*shortCalls; /* a short call that was not the last before the end */
        previous = n;
        out.insert(out.end(), buf.begin(), buf.begin() + n);
    }
    return out;
}

// Decodes to the end and frees; a source whose data all comes (within the
// time-out) gives every call in full but the last.
std::vector<uint8_t> Decode(uint32_t h, bool complete = true, int32_t endCode = VELM_ERROR_ENDED)
{
    size_t shortCalls = 0;
    std::vector<uint8_t> out = Drain(h, 4800, &shortCalls);
    EXPECT_EQ(VELM_ErrorGetCode(), endCode);
    EXPECT_TRUE(!complete || shortCalls == 0) << shortCalls << " short calls";
    VELM_StreamFree(h);
    return out;
}

struct Source {
    const char *name;
    std::vector<uint8_t> bytes;
};

std::vector<Source> Sources()
{
    fixture::DsfSpec dsf;
    dsf.channelBytes = {fixture::PatternBytes(30000, 1), fixture::PatternBytes(30000, 2)};
    dsf.id3 = fixture::MakeId3(300);
    fixture::DffSpec dff;
    dff.sound = fixture::Interleave({fixture::PatternBytes(30001, 3), fixture::PatternBytes(30001, 4)});
    dff.artist = "artist";
    dff.comments = {fixture::Comment{}};
    dff.comments[0].text = "after the sound";
    dff.metadataAfterSound = true;
    return {{"a.dsf", fixture::MakeDsf(dsf)}, {"a.dff", fixture::MakeDff(dff)}};
}

class StreamNet : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server = new HttpServer; }
    static void TearDownTestSuite() { delete server; }
    void SetUp() override
    {
        ASSERT_TRUE(server->ok());
        for (const Source &s : sources)
            server->Put(s.name, s.bytes);
    }
    void TearDown() override { VELM_SetConfig(VELM_CONFIG_NET_TIMEOUT, 10000); }

    static HttpServer *server;
    std::vector<Source> sources = Sources();
};

HttpServer *StreamNet::server = nullptr;

TEST_F(StreamNet, DecodesExactlyAsFromDiskWithoutReadingPastTheSound)
{
    for (const Source &s : sources) {
        char path[] = "/tmp/velmdsd_net_XXXXXX";
        int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, s.bytes.data(), s.bytes.size()), static_cast<ssize_t>(s.bytes.size()));
        close(fd);
        for (uint32_t flags : kForms) {
            uint32_t disk = VELM_DSD_StreamCreateFile(0, path, 0, 0, flags, 0);
            ASSERT_NE(disk, 0u);
            EXPECT_NE(VELM_ChannelGetTags(disk, s.name[3] == 's' ? VELM_TAG_ID3V2 : VELM_TAG_DSD_ARTIST),
                      nullptr);
            EXPECT_EQ(VELM_StreamGetBitrate(disk, nullptr), 0u);
            std::vector<uint8_t> want = Decode(disk);
            ASSERT_FALSE(want.empty());
            for (const char *query : {"", "?trickle=3", "?nolength=1"}) {
                SCOPED_TRACE(std::string(s.name) + query + " flags " + std::to_string(flags));
                server->ClearRequests();
                std::string url = server->Url(std::string(s.name) + query);
                uint32_t h = VELM_DSD_StreamCreateURL(url.c_str(), 0, flags, nullptr, nullptr, 0);
                ASSERT_NE(h, 0u) << VELM_ErrorGetCode();
                uint32_t offset = 1;
                EXPECT_EQ(VELM_StreamGetBitrate(h, &offset), 2822400u / 8);
                EXPECT_EQ(offset, 0u);
                // A streamed source has no tags behind its sound data.
                EXPECT_EQ(VELM_ChannelGetTags(h, VELM_TAG_ID3V2), nullptr);
                EXPECT_EQ(VELM_ChannelGetTags(h, VELM_TAG_DSD_ARTIST), nullptr);
                EXPECT_TRUE(Decode(h) == want);
                std::vector<std::string> requests = server->Requests();
                ASSERT_EQ(requests.size(), 1u); // one request, no range: no seek towards the end
                EXPECT_EQ(requests[0].substr(requests[0].find(' ')), " -");
            }
        }
        unlink(path);
    }
}

TEST_F(StreamNet, CutOrStalledTransfersEndInBoundedTime)
{
    VELM_SetConfig(VELM_CONFIG_NET_TIMEOUT, 300);
    for (const Source &s : sources) {
        uint32_t flags = VELM_STREAM_DECODE;
        std::vector<uint8_t> whole =
            Decode(VELM_DSD_StreamCreateURL(server->Url(s.name).c_str(), 0, flags, nullptr, nullptr, 0));
        // The sound that arrived, then the failure instead of the end: never a silent truncation.
        struct Case {
            const char *query;
            int32_t endCode;
        };
        for (const Case &c :
             {Case{"?cut=40000", VELM_ERROR_SOURCE}, Case{"?stall=40000", VELM_ERROR_TIMEOUT}}) {
            SCOPED_TRACE(std::string(s.name) + c.query);
            auto start = std::chrono::steady_clock::now();
            std::string url = server->Url(std::string(s.name) + c.query);
            uint32_t h = VELM_DSD_StreamCreateURL(url.c_str(), 0, flags, nullptr, nullptr, 0);
            ASSERT_NE(h, 0u);
            std::vector<uint8_t> got = Decode(h, false, c.endCode);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
            EXPECT_GT(got.size(), 0u);
            EXPECT_LT(got.size(), whole.size());
            EXPECT_TRUE(std::equal(got.begin(), got.end(), whole.begin()));
        }
        // Failing before the header is complete is the source's failure, not a format error:
        // a byte each 50 ms, cut or stalled inside the header.
        for (const Case &c : {Case{"?drip=50", VELM_ERROR_TIMEOUT}, Case{"?stall=30", VELM_ERROR_TIMEOUT},
                              Case{"?cut=30", VELM_ERROR_SOURCE}, Case{"?cut=8", VELM_ERROR_SOURCE}}) {
            SCOPED_TRACE(std::string(s.name) + c.query);
            auto start = std::chrono::steady_clock::now();
            std::string url = server->Url(std::string(s.name) + c.query);
            EXPECT_EQ(VELM_DSD_StreamCreateURL(url.c_str(), 0, flags, nullptr, nullptr, 0), 0u);
            EXPECT_EQ(VELM_ErrorGetCode(), c.endCode);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        }
    }
}

TEST_F(StreamNet, MissingOrRefusedSourcesFailCreation)
{
    for (const std::string &url : {server->Url("missing.dsf"), std::string("http://127.0.0.1:1/a.dsf")}) {
        EXPECT_EQ(VELM_DSD_StreamCreateURL(url.c_str(), 0, 0, nullptr, nullptr, 0), 0u) << url;
        EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_FILEOPEN) << url;
    }
}

TEST_F(StreamNet, FreeDuringADownloadIsSafe)
{
    int threads = ThreadCount();
    std::atomic<size_t> seen{0};
    auto proc = [](const void *, uint32_t length, void *user) {
        *static_cast<std::atomic<size_t> *>(user) += length;
    };
    std::string url = server->Url("a.dsf?stall=20000");
    // Freed between reads, and freed while another thread waits for data.
    for (int waiting = 0; waiting < 2; waiting++) {
        uint32_t h = VELM_DSD_StreamCreateURL(url.c_str(), 0, VELM_STREAM_DECODE, proc, &seen, 0);
        ASSERT_NE(h, 0u);
        for (int i = 0; i < 200 && seen < 20000u * (waiting + 1); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::thread reader;
        std::atomic<uint32_t> last{0};
        if (waiting) {
            reader = std::thread([h, &last] {
                std::vector<uint8_t> buf(1 << 20);
                while ((last = VELM_ChannelGetData(h, buf.data(), 1 << 20)) != kEnded) {
                }
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(VELM_StreamFree(h), 1u);
        if (waiting)
            reader.join();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        EXPECT_EQ(VELM_ChannelGetData(h, &last, 4), kEnded);
        EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_HANDLE);
    }
    EXPECT_EQ(seen, 40000u);
    EXPECT_LE(ThreadCountAfterSettling(threads), threads);
}

// Reads, seeks and gain changes on one stream from three threads; the host
// keeps them from overlapping in the add-on (run under ThreadSanitizer too).
TEST(StreamThreads, ReadSeekAndGainFromDifferentThreads)
{
    fixture::DsfSpec shape;
    shape.channelBytes = {fixture::PatternBytes(40000, 5), fixture::PatternBytes(40000, 6)};
    std::vector<uint8_t> bytes = fixture::MakeDsf(shape);
    uint32_t h = VELM_DSD_StreamCreateFile(1, bytes.data(), 0, bytes.size(), VELM_STREAM_DECODE, 0);
    ASSERT_NE(h, 0u);
    uint64_t length = VELM_ChannelGetLength(h, VELM_POS_BYTE);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        std::vector<uint8_t> buf(4000);
        while (!stop) {
            uint32_t n = VELM_ChannelGetData(h, buf.data(), 4000);
            EXPECT_TRUE(n <= 4000 || n == kEnded);
        }
    });
    std::thread seeker([&] {
        for (uint64_t i = 0; i < 300; i++)
            VELM_ChannelSetPosition(h, (i * 7919 * 4) % length, VELM_POS_BYTE);
    });
    for (int i = 0; i < 300; i++)
        EXPECT_EQ(VELM_ChannelSetAttribute(h, VELM_DSD_ATTRIB_GAIN, static_cast<float>(i % 12)), 1u);
    seeker.join();
    stop = true;
    reader.join();
    float gain = 0;
    EXPECT_EQ(VELM_ChannelGetAttribute(h, VELM_DSD_ATTRIB_GAIN, &gain), 1u);
    EXPECT_EQ(gain, 11.0f);
    VELM_StreamFree(h);
}

// Three channels in 16-byte blocks: no block group fills one PCM window,
// so most calls of the read procedure give nothing; only the end ends.
TEST(StreamSmallBlocks, ThreeChannelsOfSixteenByteBlocksDecodeInFull)
{
    fixture::DsfSpec shape;
    shape.channels = 3;
    shape.blockSize = 16;
    shape.channelBytes = {fixture::PatternBytes(4000, 7), fixture::PatternBytes(4000, 8),
                          fixture::PatternBytes(4000, 9)};
    std::vector<uint8_t> bytes = fixture::MakeDsf(shape);
    for (uint32_t flags : kForms) {
        uint32_t h = VELM_DSD_StreamCreateFile(1, bytes.data(), 0, bytes.size(), flags, 0);
        ASSERT_NE(h, 0u);
        uint64_t length = VELM_ChannelGetLength(h, VELM_POS_BYTE);
        EXPECT_GT(length, 0u);
        EXPECT_EQ(Decode(h).size(), length) << flags;
    }
}

} // namespace

// The velmdsd tool over HTTP: the same output as from the file, the bit rate in `info`, and a
// cut or stalled transfer reported as a failed source with exit status 1.
TEST_F(StreamNet, ToolDecodesUrlsAsFiles)
{
    auto run = [](const std::string &args, int *status) {
        std::string line = std::string(VELMDSD_TEST_LAUNCHER " " VELMDSD_TOOL_PATH " ") + args;
        std::string out;
        FILE *p = popen(line.c_str(), "r");
        char buf[65536];
        for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0;)
            out.append(buf, n);
        *status = p != nullptr ? pclose(p) : -1;
        return out;
    };
    char dir[] = "/tmp/velmdsd_net_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    int status = 0;
    for (const Source &s : sources) {
        std::string file = std::string(dir) + "/" + s.name;
        FILE *f = fopen(file.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fwrite(s.bytes.data(), 1, s.bytes.size(), f);
        fclose(f);
        for (const char *form : {"--raw", "--dop", "--float", ""}) {
            std::string fromFile = run(std::string("decode ") + file + " -o - 2>/dev/null " + form, &status);
            ASSERT_EQ(status, 0) << s.name << " " << form;
            std::string url = server->Url(std::string(s.name) + "?trickle=3");
            std::string fromUrl = run("decode " + url + " -o - 2>/dev/null " + form, &status);
            EXPECT_EQ(status, 0) << s.name << " " << form;
            /* The WAV header too: the speaker layout comes from the stream, URL or file. */
            EXPECT_TRUE(fromUrl == fromFile) << s.name << " " << form;
        }
        EXPECT_NE(run("info " + server->Url(s.name) + " 2>&1", &status).find("bit rate:"), std::string::npos)
            << s.name;
        EXPECT_EQ(status, 0) << s.name;
    }
    // A failed source names its reason and keeps what came; a stall ends after the host's
    // network time-out (10 s by default), with no wait of the tool's own on top.
    for (const char *query : {"?cut=40000", "?stall=40000"}) {
        auto start = std::chrono::steady_clock::now();
        std::string failed =
            run("decode " + server->Url(std::string("a.dsf") + query) + " --raw -o /dev/null 2>&1", &status);
        EXPECT_EQ(WEXITSTATUS(status), 1) << failed;
        const char *reason = query[1] == 'c' ? "source ended early (cut off, ERROR_SOURCE): "
                                             : "source ended early (timed out, ERROR_TIMEOUT): ";
        EXPECT_NE(failed.find(reason), std::string::npos) << failed;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15)) << query;
    }
    EXPECT_EQ(system((std::string("rm -rf ") + dir).c_str()), 0);
}
