// File sources of the stand-in host, driven through its functions table.
#include <gtest/gtest.h>

#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>

#include "velm_test_util.h"

namespace {

constexpr uint64_t kAllOnes = UINT64_MAX;

// Reads the whole window and checks positions, end and contents against
// the bytes expected from `first` on.
void ExpectWindow(uint32_t file, const std::vector<uint8_t> &source, uint64_t first, uint64_t size,
                  uint64_t openOffset)
{
    const HostFunctions &h = Host();
    EXPECT_EQ(h.FileGetPosition(file, 0), 0u);
    EXPECT_EQ(h.FileGetPosition(file, 1), size);
    EXPECT_EQ(h.FileGetPosition(file, 2), size);
    EXPECT_EQ(h.FileGetPosition(file, 3), openOffset);
    EXPECT_EQ(h.FileGetPosition(file, 4), kAllOnes);
    EXPECT_EQ(h.FileIsEnd(file), size == 0 ? 1u : 0u);
    EXPECT_EQ(h.FileGetFlags(file), 0u);
    std::vector<uint8_t> got(size + 16);
    ASSERT_EQ(h.FileRead(file, got.data(), static_cast<uint32_t>(got.size())), static_cast<int32_t>(size));
    got.resize(size);
    EXPECT_EQ(got, std::vector<uint8_t>(source.begin() + first, source.begin() + first + size));
    EXPECT_EQ(h.FileGetPosition(file, 0), size);
    EXPECT_NE(h.FileIsEnd(file), 0u);

    // Seeking: to the end is fine, past it fails and leaves the position.
    EXPECT_NE(h.FileSeek(file, size), 0u);
    EXPECT_EQ(h.FileSeek(file, size + 1), 0u);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_POSITION);
    EXPECT_EQ(h.FileGetPosition(file, 0), size);
    if (size > 5) {
        ASSERT_NE(h.FileSeek(file, 5), 0u);
        uint8_t byte = 0;
        EXPECT_EQ(h.FileRead(file, &byte, 1), 1);
        EXPECT_EQ(byte, source[first + 5]);
        EXPECT_EQ(h.FileIsEnd(file), 0u);
    }
    h.FileClose(file);
}

struct WindowCase {
    uint64_t offset, length, size;
};

TEST(HostFiles, PathWindows)
{
    TempFile temp(100);
    ASSERT_TRUE(temp.ok());
    const WindowCase cases[] = {{0, 0, 100}, {10, 0, 90}, {10, 20, 20}, {90, 50, 10}, {100, 0, 0}};
    for (const WindowCase &c : cases) {
        SCOPED_TRACE("offset " + std::to_string(c.offset) + " length " + std::to_string(c.length));
        uint32_t file = Host().FileOpen(0, temp.path(), c.offset, c.length, 0, 1);
        ASSERT_NE(file, 0u);
        ExpectWindow(file, temp.bytes(), c.offset, c.size, c.offset);
    }
}

TEST(HostFiles, MemoryWindows)
{
    std::vector<uint8_t> block(64);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(200 - i);
    // For a memory block, `length` is the block's size and the window starts at `offset`.
    const WindowCase cases[] = {{0, 64, 64}, {16, 64, 48}, {0, 32, 32}, {64, 64, 0}};
    for (const WindowCase &c : cases) {
        SCOPED_TRACE("offset " + std::to_string(c.offset) + " length " + std::to_string(c.length));
        uint32_t file = Host().FileOpen(1, block.data(), c.offset, c.length, 0, 1);
        ASSERT_NE(file, 0u);
        ExpectWindow(file, block, c.offset, c.size, c.offset);
    }
}

TEST(HostFiles, OpenFailures)
{
    TempFile temp(10);
    ASSERT_TRUE(temp.ok());
    static const VELM_FILEPROCS noRead = {nullptr, nullptr, nullptr, nullptr};
    const char *path = temp.path();
    // Without O_NONBLOCK the open of a FIFO nobody writes to never returns.
    std::string fifo = std::string(path) + ".fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        const char *what;
        std::function<uint32_t(const HostFunctions &)> open;
        int32_t error;
    };
    const Case cases[] = {
        {"missing path", [](auto &h) { return h.FileOpen(0, "/nonexistent/velm", 0, 0, 0, 1); },
         VELM_ERROR_FILEOPEN},
        {"directory", [](auto &h) { return h.FileOpen(0, "/tmp", 0, 0, 0, 1); }, VELM_ERROR_FILEOPEN},
        {"device", [](auto &h) { return h.FileOpen(0, "/dev/null", 0, 0, 0, 1); }, VELM_ERROR_FILEOPEN},
        {"fifo without a writer", [&](auto &h) { return h.FileOpen(0, fifo.c_str(), 0, 0, 0, 1); },
         VELM_ERROR_FILEOPEN},
        {"local url of a fifo",
         [&](auto &h) { return h.FileOpenURL(("file://" + fifo).c_str(), 0, 0, nullptr, nullptr, 1); },
         VELM_ERROR_FILEOPEN},
        {"offset past the end", [&](auto &h) { return h.FileOpen(0, path, 11, 0, 0, 1); },
         VELM_ERROR_ILLPARAM},
        {"java object", [&](auto &h) { return h.FileOpen(0x11111111, path, 0, 0, 0, 1); },
         VELM_ERROR_NOTAVAIL},
        {"null memory", [](auto &h) { return h.FileOpen(1, nullptr, 0, 8, 0, 1); }, VELM_ERROR_ILLPARAM},
        {"memory offset past the block", [&](auto &h) { return h.FileOpen(1, path, 9, 8, 0, 1); },
         VELM_ERROR_ILLPARAM},
        {"other scheme",
         [](auto &h) { return h.FileOpenURL("ftp://127.0.0.1/a.dsf", 0, 0, nullptr, nullptr, 1); },
         VELM_ERROR_FILEOPEN},
        {"null url", [](auto &h) { return h.FileOpenURL(nullptr, 0, 0, nullptr, nullptr, 1); },
         VELM_ERROR_FILEOPEN},
        {"missing local url",
         [](auto &h) { return h.FileOpenURL("file:///nonexistent/velm", 0, 0, nullptr, nullptr, 1); },
         VELM_ERROR_FILEOPEN},
        {"user system 1", [](auto &h) { return h.FileOpenUser(1, 0, &noRead, nullptr, 1); },
         VELM_ERROR_ILLPARAM},
        {"user null procs", [](auto &h) { return h.FileOpenUser(0, 0, nullptr, nullptr, 1); },
         VELM_ERROR_ILLPARAM},
        {"user without read", [](auto &h) { return h.FileOpenUser(0, 0, &noRead, nullptr, 1); },
         VELM_ERROR_ILLPARAM},
    };
    for (const Case &c : cases) {
        Host().SetError(VELM_OK);
        EXPECT_EQ(c.open(Host()), 0u) << c.what;
        EXPECT_EQ(VELM_ErrorGetCode(), c.error) << c.what;
    }
    unlink(fifo.c_str());
}

TEST(HostFiles, UnknownHandles)
{
    const HostFunctions &h = Host();
    const uint32_t bad = 0x7fff0000;
    uint8_t byte = 0;
    EXPECT_EQ(h.FileRead(bad, &byte, 1), -1);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_HANDLE);
    h.SetError(VELM_OK);
    EXPECT_EQ(h.FileSeek(bad, 0), 0u);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_HANDLE);
    h.SetError(VELM_OK);
    EXPECT_EQ(h.FileGetPosition(bad, 0), kAllOnes);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_HANDLE);
    h.SetError(VELM_OK);
    EXPECT_NE(h.FileIsEnd(bad), 0u);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_HANDLE);
    h.SetError(VELM_OK);
    h.FileClose(bad);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_HANDLE);
}

TEST(HostFiles, ShrunkFileEndsAtItsRealEnd)
{
    TempFile temp(100);
    ASSERT_TRUE(temp.ok());
    const HostFunctions &h = Host();
    uint32_t file = h.FileOpen(0, temp.path(), 0, 0, 0, 1);
    ASSERT_NE(file, 0u);
    ASSERT_EQ(truncate(temp.path(), 40), 0); // another program cuts it while it plays
    uint8_t buffer[100];
    EXPECT_EQ(h.FileRead(file, buffer, 100), 40);
    EXPECT_NE(h.FileIsEnd(file), 0u);
    h.FileClose(file);
}

TEST(HostFiles, LocalUrlFeedsTheDownloadProc)
{
    TempFile temp(50);
    ASSERT_TRUE(temp.ok());
    std::vector<uint8_t> seen;
    auto proc = [](const void *buffer, uint32_t length, void *user) {
        auto *out = static_cast<std::vector<uint8_t> *>(user);
        out->insert(out->end(), static_cast<const uint8_t *>(buffer),
                    static_cast<const uint8_t *>(buffer) + length);
    };
    std::string url = std::string("file://") + temp.path();
    const HostFunctions &h = Host();
    uint32_t file = h.FileOpenURL(url.c_str(), 20, 0, proc, &seen, 1);
    ASSERT_NE(file, 0u);
    uint8_t buffer[64];
    ASSERT_EQ(h.FileRead(file, buffer, 8), 8);
    ASSERT_EQ(h.FileRead(file, buffer + 8, 64), 22);
    EXPECT_EQ(seen, std::vector<uint8_t>(temp.bytes().begin() + 20, temp.bytes().end()));
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 30), seen);
    EXPECT_EQ(h.FileGetPosition(file, 3), 20u);
    EXPECT_EQ(h.FileGetPosition(file, 2), 30u);
    h.FileClose(file);
}

// A user source over a vector; counts its close calls.
struct UserSource {
    std::vector<uint8_t> data;
    uint64_t pos = 0;
    uint64_t reportedLength = 0;
    int closes = 0;

    static void Close(void *user) { static_cast<UserSource *>(user)->closes++; }
    static uint64_t Length(void *user) { return static_cast<UserSource *>(user)->reportedLength; }
    static uint32_t Read(void *buffer, uint32_t length, void *user)
    {
        auto *s = static_cast<UserSource *>(user);
        uint64_t n = std::min<uint64_t>(length, s->data.size() - s->pos);
        memcpy(buffer, s->data.data() + s->pos, n);
        s->pos += n;
        return static_cast<uint32_t>(n);
    }
    static uint32_t Seek(uint64_t offset, void *user)
    {
        auto *s = static_cast<UserSource *>(user);
        if (offset > s->data.size())
            return 0;
        s->pos = offset;
        return 1;
    }
};

const VELM_FILEPROCS kUserProcs = {UserSource::Close, UserSource::Length, UserSource::Read, UserSource::Seek};

TEST(HostFiles, UserProceduresWithKnownLength)
{
    UserSource source;
    for (int i = 0; i < 40; ++i)
        source.data.push_back(static_cast<uint8_t>(3 * i));
    source.reportedLength = 40;
    const HostFunctions &h = Host();
    uint32_t file = h.FileOpenUser(0, 0, &kUserProcs, &source, 1);
    ASSERT_NE(file, 0u);
    EXPECT_EQ(h.FileGetPosition(file, 2), 40u);
    EXPECT_EQ(h.FileGetPosition(file, 3), 0u);
    EXPECT_EQ(h.FileIsEnd(file), 0u);
    uint8_t buffer[64];
    EXPECT_EQ(h.FileRead(file, buffer, 64), 40);
    EXPECT_NE(h.FileIsEnd(file), 0u);
    EXPECT_EQ(h.FileSeek(file, 41), 0u);
    ASSERT_NE(h.FileSeek(file, 10), 0u);
    EXPECT_EQ(h.FileIsEnd(file), 0u);
    EXPECT_EQ(h.FileRead(file, buffer, 1), 1);
    EXPECT_EQ(buffer[0], 30);
    EXPECT_EQ(h.FileGetPosition(file, 0), 11u);
    h.FileClose(file);
    EXPECT_EQ(source.closes, 1);
}

TEST(HostFiles, UserProceduresWithUnknownLength)
{
    UserSource source;
    source.data.assign(10, 7);
    source.reportedLength = UINT64_MAX;
    const HostFunctions &h = Host();
    uint32_t file = h.FileOpenUser(0, 0, &kUserProcs, &source, 1);
    ASSERT_NE(file, 0u);
    EXPECT_EQ(h.FileGetPosition(file, 2), kAllOnes);
    uint8_t buffer[8];
    EXPECT_EQ(h.FileRead(file, buffer, 8), 8);
    EXPECT_EQ(h.FileIsEnd(file), 0u); // a full read says nothing about the end
    EXPECT_EQ(h.FileRead(file, buffer, 8), 2);
    EXPECT_NE(h.FileIsEnd(file), 0u); // the short read does
    h.FileClose(file);
    EXPECT_EQ(source.closes, 1);
}

} // namespace
