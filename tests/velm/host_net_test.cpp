// http:// sources of the stand-in host, against a local test server->
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <string>

#include "http_server.h"
#include "velm_test_util.h"

namespace {

constexpr uint64_t kAllOnes = UINT64_MAX;

std::vector<uint8_t> Pattern(size_t size)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return bytes;
}

void Collect(const void *buffer, uint32_t length, void *user)
{
    auto *out = static_cast<std::vector<uint8_t> *>(user);
    out->insert(out->end(), static_cast<const uint8_t *>(buffer),
                static_cast<const uint8_t *>(buffer) + length);
}

// Reads a source that no stream owns (each read waits for its bytes) until
// FileIsEnd, in reads of `chunk`.
std::vector<uint8_t> ReadToEnd(uint32_t file, uint32_t chunk)
{
    const HostFunctions &h = Host();
    std::vector<uint8_t> out, buf(chunk);
    for (int guard = 0; h.FileIsEnd(file) == 0 && guard < 100000; ++guard) {
        int32_t n = h.FileRead(file, buf.data(), chunk);
        if (n > 0)
            out.insert(out.end(), buf.begin(), buf.begin() + n);
    }
    return out;
}

class HostNet : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server = new HttpServer; }
    static void TearDownTestSuite() { delete server; }
    void SetUp() override
    {
        ASSERT_TRUE(server->ok());
        server->Put("a.bin", bytes);
    }
    void TearDown() override
    {
        VELM_SetConfig(VELM_CONFIG_NET_TIMEOUT, 10000);
        VELM_SetConfig(VELM_CONFIG_NET_BUFFER, 4u << 20);
    }
    static HttpServer *server;
    std::vector<uint8_t> bytes = Pattern(200000);
};

HttpServer *HostNet::server = nullptr;

TEST_F(HostNet, ServesWhatArrivesAndSeesEveryPiece)
{
    struct Case {
        const char *query;
        uint32_t offset;
        bool lengthKnown;
    };
    const Case cases[] = {
        {"", 0, true}, {"?trickle=7", 0, true}, {"?nolength=1", 0, false}, {"", 1000, true}};
    const HostFunctions &h = Host();
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.query) + " offset " + std::to_string(c.offset));
        server->ClearRequests();
        std::vector<uint8_t> seen;
        uint32_t file = h.FileOpenURL(server->Url(std::string("a.bin") + c.query).c_str(), c.offset, 0,
                                      Collect, &seen, 1);
        ASSERT_NE(file, 0u);
        uint64_t size = bytes.size() - c.offset;
        EXPECT_EQ(h.FileGetFlags(file), VELM_FILE_STREAMED);
        EXPECT_EQ(h.FileGetPosition(file, 2), c.lengthKnown ? size : kAllOnes);
        EXPECT_EQ(h.FileGetPosition(file, 3), c.offset);
        std::vector<uint8_t> got = ReadToEnd(file, 3000);
        EXPECT_TRUE(got == std::vector<uint8_t>(bytes.begin() + c.offset, bytes.end()));
        EXPECT_TRUE(seen == got);
        EXPECT_EQ(h.FileGetPosition(file, 1), size);
        EXPECT_EQ(h.FileSeek(file, size + 1), 0u);
        EXPECT_NE(h.FileSeek(file, 5), 0u); // still held
        uint8_t byte = 0;
        EXPECT_EQ(h.FileRead(file, &byte, 1), 1);
        EXPECT_EQ(byte, bytes[c.offset + 5]);
        h.FileClose(file);
        std::vector<std::string> requests = server->Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].substr(requests[0].find(' ') + 1),
                  c.offset ? "bytes=" + std::to_string(c.offset) + "-" : "-");
    }
}

// Hostile servers: each failure ends the source within about one time-out, after the bytes
// that arrived, and a read there says why with -1 and its code.
TEST_F(HostNet, FailedTransfersEndTheSourceInBoundedTime)
{
    VELM_SetConfig(VELM_CONFIG_NET_TIMEOUT, 300);
    int threads = ThreadCount();
    const HostFunctions &h = Host();
    struct Case {
        const char *query;
        uint64_t arrives; // at least, and at most the first 50000
        int32_t error;
    };
    const Case cases[] = {
        {"?cut=50000", 50000, VELM_ERROR_SOURCE},    // fewer bytes than the Content-Length
        {"?stall=50000", 50000, VELM_ERROR_TIMEOUT}, // then nothing
        {"?drip=50", 1, VELM_ERROR_TIMEOUT},         // a byte each 50 ms never serves a 4096-byte read
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.query);
        auto start = std::chrono::steady_clock::now();
        uint32_t file =
            h.FileOpenURL(server->Url(std::string("a.bin") + c.query).c_str(), 0, 0, nullptr, nullptr, 1);
        ASSERT_NE(file, 0u);
        EXPECT_EQ(h.FileGetPosition(file, 2), bytes.size()); // the Content-Length
        EXPECT_EQ(h.FileSeek(file, 60000), 0u);              // never arrives
        EXPECT_EQ(VELM_ErrorGetCode(), c.error);
        std::vector<uint8_t> got = ReadToEnd(file, 4096);
        EXPECT_GE(got.size(), c.arrives);
        EXPECT_LE(got.size(), 50000u);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), bytes.begin()));
        EXPECT_NE(h.FileIsEnd(file), 0u);
        uint8_t byte;
        Host().SetError(VELM_OK);
        EXPECT_EQ(h.FileRead(file, &byte, 1), -1);
        EXPECT_EQ(VELM_ErrorGetCode(), c.error);
        h.FileClose(file);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    }
    // Closed during a download: no thread stays behind.
    uint32_t file = h.FileOpenURL(server->Url("a.bin?stall=1000").c_str(), 0, 0, nullptr, nullptr, 1);
    ASSERT_NE(file, 0u);
    h.FileClose(file);
    EXPECT_LE(ThreadCountAfterSettling(threads), threads);
}

TEST_F(HostNet, OpenFailsForMissingFilesAndRefusedConnections)
{
    // A bound socket that does not listen refuses connections.
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&address), size), 0);
    ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr *>(&address), &size), 0);
    std::string refused = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/a.bin";
    for (const std::string &url : {server->Url("missing.bin"), refused}) {
        Host().SetError(VELM_OK);
        EXPECT_EQ(Host().FileOpenURL(url.c_str(), 0, 0, nullptr, nullptr, 1), 0u) << url;
        EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_FILEOPEN) << url;
    }
    close(s);
}

TEST_F(HostNet, HoldsNoMoreThanItsBuffer)
{
    ASSERT_EQ(VELM_SetConfig(VELM_CONFIG_NET_BUFFER, 64 << 10), 1u);
    EXPECT_EQ(VELM_GetConfig(VELM_CONFIG_NET_BUFFER), 64u << 10);
    std::vector<uint8_t> large = Pattern(1 << 20);
    server->Put("large.bin", large);
    uint32_t file = Host().FileOpenURL(server->Url("large.bin").c_str(), 0, 0, nullptr, nullptr, 1);
    ASSERT_NE(file, 0u);
    EXPECT_TRUE(ReadToEnd(file, 10000) == large);
    EXPECT_EQ(Host().FileSeek(file, 0), 0u); // long dropped
    Host().FileClose(file);
}

} // namespace
