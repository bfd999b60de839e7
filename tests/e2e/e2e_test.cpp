/*
 * End to end: the real libvelmdsd.so inside the stand-in host, reached the way
 * an application reaches it (linked, and loaded as a plug-in).
 */
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "dsf_fixture.h"
#include "velm.h"
#include "velmdsd.h"

namespace {

class TempFile {
public:
    explicit TempFile(const std::vector<uint8_t> &bytes, const char *suffix = ".dsf")
    {
        char name[] = "/tmp/velmdsd_e2e_XXXXXX";
        int fd = mkstemp(name);
        path_ = std::string(name) + suffix;
        rename(name, path_.c_str());
        ok_ = fd >= 0 && write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
        if (fd >= 0)
            close(fd);
    }
    ~TempFile() { unlink(path_.c_str()); }
    const char *path() const { return path_.c_str(); }
    bool ok() const { return ok_; }

private:
    std::string path_;
    bool ok_ = false;
};

std::vector<std::vector<uint8_t>> Channels(uint32_t n, size_t perChannel)
{
    std::vector<std::vector<uint8_t>> c;
    for (uint32_t ch = 0; ch < n; ch++)
        c.push_back(fixture::PatternBytes(perChannel, 100 + ch));
    return c;
}

std::vector<uint8_t> DsfBytes(const std::vector<std::vector<uint8_t>> &channels)
{
    fixture::DsfSpec shape;
    shape.channels = static_cast<uint32_t>(channels.size());
    shape.bitsPerSample = 8;
    shape.channelBytes = channels;
    shape.sampleCount = channels[0].size() * 8;
    return fixture::MakeDsf(shape);
}

std::vector<uint8_t> ReadAll(uint32_t handle, uint32_t chunk = 5000)
{
    std::vector<uint8_t> out;
    std::vector<uint8_t> buf(chunk);
    for (;;) {
        uint32_t n = VELM_ChannelGetData(handle, buf.data(), chunk);
        if (n == 0xFFFFFFFFu)
            break;
        out.insert(out.end(), buf.begin(), buf.begin() + n);
        if (n == 0)
            break;
    }
    return out;
}

std::string Capture(const char *cmd)
{
    std::string out;
    FILE *p = popen(cmd, "r");
    if (p == nullptr)
        return out;
    char line[512];
    while (fgets(line, sizeof line, p) != nullptr)
        out += line;
    pclose(p);
    return out;
}

TEST(Library, ExportsOnlyItsInterfaceAndNeedsOnlyTheHostAndLibc)
{
    std::string cmd = std::string(VELMDSD_NM " -D --defined-only ") + VELMDSD_LIBRARY_PATH;
    std::set<std::string> names;
    std::string out = Capture(cmd.c_str());
    size_t pos = 0;
    while (pos < out.size()) {
        size_t end = out.find('\n', pos);
        std::string line = out.substr(pos, end - pos);
        pos = end == std::string::npos ? out.size() : end + 1;
        size_t space = line.rfind(' ');
        if (space != std::string::npos)
            names.insert(line.substr(space + 1));
    }
    std::set<std::string> allowed = {"VELM_DSD_StreamCreateFile", "VELM_DSD_StreamCreateURL",
                                     "VELM_DSD_StreamCreateFileUser", "VELMplugin"};
    bool sanitized = getenv("VELMDSD_SANITIZED") != nullptr;
    for (const auto &n : names) {
        bool jni = n.rfind("Java_com_tremvik_velm_VELMDSD_", 0) == 0;
        EXPECT_TRUE(allowed.count(n) || jni) << "unexpected export " << n;
    }
    for (const auto &n : allowed)
        EXPECT_TRUE(names.count(n)) << "missing export " << n;

    cmd = std::string(VELMDSD_READELF " -d ") + VELMDSD_LIBRARY_PATH;
    out = Capture(cmd.c_str());
    std::set<std::string> needed;
    for (pos = out.find("Shared library: ["); pos != std::string::npos;
         pos = out.find("Shared library: [", pos + 1)) {
        size_t start = pos + strlen("Shared library: [");
        needed.insert(out.substr(start, out.find(']', start) - start));
    }
    ASSERT_FALSE(needed.empty()) << out;
    for (const auto &n : needed) {
        bool ok = n == "libvelm.so" || n.rfind("libc.so", 0) == 0 || n.rfind("libm.so", 0) == 0 ||
                  /* sanitizer builds bring their runtimes */
                  n.find("san") != std::string::npos || n.rfind("libstdc++", 0) == 0 ||
                  n.rfind("libgcc_s", 0) == 0 || n.rfind("ld-linux", 0) == 0;
        if (!sanitized)
            ok = n == "libvelm.so" || n.rfind("libc.so", 0) == 0 || n.rfind("libm.so", 0) == 0;
        EXPECT_TRUE(ok) << "unexpected dependency " << n;
    }
}

TEST(Linked, ConfigurationDefaultsBeforeAnySet)
{
    EXPECT_EQ(VELM_GetConfig(VELM_DSD_CONFIG_RATE), 44100u);
    EXPECT_EQ(VELM_GetConfig(VELM_DSD_CONFIG_GAIN), 6u);
    EXPECT_EQ(VELM_SetConfig(VELM_DSD_CONFIG_RATE, 96000), 1u);
    EXPECT_EQ(VELM_GetConfig(VELM_DSD_CONFIG_RATE), 96000u);
    EXPECT_EQ(VELM_GetConfig(0x10802), 0xFFFFFFFFu);
    VELM_SetConfig(VELM_DSD_CONFIG_RATE, 44100);
}

TEST(Linked, FileStreamPlaysEveryForm)
{
    auto channels = Channels(2, 9000);
    TempFile file(DsfBytes(channels));
    ASSERT_TRUE(file.ok());
    std::vector<uint8_t> interleaved = fixture::Interleave(channels);

    uint32_t raw = VELM_DSD_StreamCreateFile(0, file.path(), 0, 0, VELM_DSD_RAW | VELM_STREAM_DECODE, 0);
    ASSERT_NE(raw, 0u) << VELM_ErrorGetCode();
    EXPECT_EQ(VELM_ErrorGetCode(), 0);
    EXPECT_EQ(ReadAll(raw), interleaved);
    EXPECT_EQ(VELM_ChannelGetData(raw, nullptr, 16), 0xFFFFFFFFu);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_ENDED);
    EXPECT_EQ(VELM_StreamFree(raw), 1u);

    uint32_t dop = VELM_DSD_StreamCreateFile(0, file.path(), 0, 0, VELM_DSD_DOP | VELM_SAMPLE_FLOAT, 0);
    ASSERT_NE(dop, 0u);
    std::vector<uint8_t> out = ReadAll(dop, 4096);
    ASSERT_EQ(out.size(), 4500u * 2 * 4);
    float first[2];
    memcpy(first, out.data(), sizeof first);
    EXPECT_EQ(first[0], static_cast<float>(0x050000 | channels[0][0] << 8 | channels[0][1]) / 8388608.0f);
    EXPECT_EQ(VELM_StreamFree(dop), 1u);

    uint32_t pcm = VELM_DSD_StreamCreateFile(0, file.path(), 0, 0, 0, 0);
    ASSERT_NE(pcm, 0u);
    VELM_CHANNELINFO info;
    memset(&info, 0, sizeof info);
    ASSERT_EQ(VELM_ChannelGetInfo(pcm, &info), 1u);
    EXPECT_EQ(info.freq, 44100u);
    EXPECT_EQ(info.chans, 2u);
    EXPECT_EQ(info.ctype, VELM_CTYPE_DSD);
    EXPECT_EQ(ReadAll(pcm).size(), (9000u + 8 - 25) / 8 * 2 * 2);
    EXPECT_EQ(VELM_StreamFree(pcm), 1u);
    EXPECT_EQ(VELM_StreamFree(pcm), 0u);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_HANDLE);
}

TEST(Linked, MemoryUserAndUrlSourcesOpen)
{
    auto channels = Channels(1, 5000);
    std::vector<uint8_t> bytes = DsfBytes(channels);
    const uint32_t rawFlags = VELM_DSD_RAW | VELM_STREAM_DECODE;

    uint32_t h = VELM_DSD_StreamCreateFile(1, bytes.data(), 0, bytes.size(), rawFlags, 0);
    ASSERT_NE(h, 0u) << VELM_ErrorGetCode();
    EXPECT_EQ(ReadAll(h), channels[0]);
    VELM_StreamFree(h);

    struct Mem {
        const std::vector<uint8_t> *bytes;
        size_t pos;
        int closed;
    } mem = {&bytes, 0, 0};
    static const VELM_FILEPROCS procs = {
        [](void *u) { static_cast<Mem *>(u)->closed++; },
        [](void *u) -> uint64_t { return static_cast<Mem *>(u)->bytes->size(); },
        [](void *buf, uint32_t len, void *u) -> uint32_t {
            Mem *m = static_cast<Mem *>(u);
            size_t n = std::min<size_t>(len, m->bytes->size() - m->pos);
            memcpy(buf, m->bytes->data() + m->pos, n);
            m->pos += n;
            return static_cast<uint32_t>(n);
        },
        [](uint64_t off, void *u) -> uint32_t {
            Mem *m = static_cast<Mem *>(u);
            if (off > m->bytes->size())
                return 0;
            m->pos = static_cast<size_t>(off);
            return 1;
        },
    };
    h = VELM_DSD_StreamCreateFileUser(0, rawFlags, &procs, &mem, 0);
    ASSERT_NE(h, 0u) << VELM_ErrorGetCode();
    EXPECT_EQ(ReadAll(h), channels[0]);
    VELM_StreamFree(h);
    EXPECT_EQ(mem.closed, 1);

    EXPECT_EQ(VELM_DSD_StreamCreateFileUser(1, rawFlags, &procs, &mem, 0), 0u);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_ILLPARAM);

    TempFile file(bytes);
    std::string url = std::string("file://") + file.path();
    h = VELM_DSD_StreamCreateURL(url.c_str(), 0, rawFlags, nullptr, nullptr, 0);
    ASSERT_NE(h, 0u) << VELM_ErrorGetCode();
    EXPECT_EQ(ReadAll(h), channels[0]);
    VELM_StreamFree(h);
    EXPECT_EQ(VELM_DSD_StreamCreateURL("http://unreachable.invalid/a.dsf", 0, 0, nullptr, nullptr, 0), 0u);
    EXPECT_NE(VELM_ErrorGetCode(), 0);
}

TEST(Linked, RefusedSourcesAreClosedAndReported)
{
    std::vector<uint8_t> junk(200, 'x');
    TempFile file(junk);
    EXPECT_EQ(VELM_DSD_StreamCreateFile(0, file.path(), 0, 0, 0, 0), 0u);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_FILEFORM);
    EXPECT_EQ(VELM_DSD_StreamCreateFile(0, "/nonexistent/a.dsf", 0, 0, 0, 0), 0u);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_FILEOPEN);
    TempFile good(DsfBytes(Channels(2, 4096)));
    EXPECT_EQ(VELM_DSD_StreamCreateFile(0, good.path(), 0, 0, VELM_DSD_DOP, 0), 0u);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_ILLPARAM);
}

TEST(Plugin, HostOpensDsdFilesThroughThePlugin)
{
    uint32_t plugin = VELM_PluginLoad(VELMDSD_LIBRARY_PATH);
    ASSERT_NE(plugin, 0u) << VELM_ErrorGetCode();
    EXPECT_EQ(VELM_PluginLoad(VELMDSD_LIBRARY_PATH), plugin);

    auto channels = Channels(2, 8192);
    TempFile file(DsfBytes(channels));
    /* Raw DSD is never offered through the host: this becomes a PCM stream. */
    uint32_t h = VELM_StreamCreateFile(0, file.path(), 0, 0, VELM_DSD_RAW | VELM_STREAM_DECODE);
    ASSERT_NE(h, 0u) << VELM_ErrorGetCode();
    VELM_CHANNELINFO info;
    memset(&info, 0, sizeof info);
    VELM_ChannelGetInfo(h, &info);
    EXPECT_EQ(info.plugin, plugin);
    EXPECT_EQ(info.ctype, VELM_CTYPE_DSD);
    EXPECT_EQ(info.freq, 44100u);
    EXPECT_EQ(info.flags & VELM_DSD_RAW, 0u);
    EXPECT_EQ(ReadAll(h).size(), (8192u + 8 - 25) / 8 * 2 * 2);
    EXPECT_EQ(VELM_StreamFree(h), 1u);

    h = VELM_StreamCreateFile(0, file.path(), 0, 0, VELM_DSD_DOP | VELM_SAMPLE_FLOAT);
    ASSERT_NE(h, 0u);
    VELM_ChannelGetInfo(h, &info);
    EXPECT_EQ(info.freq, 176400u);
    VELM_StreamFree(h);

    TempFile junk(std::vector<uint8_t>(300, 0));
    EXPECT_EQ(VELM_StreamCreateFile(0, junk.path(), 0, 0, 0), 0u);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_FILEFORM);
}

/* The body of UnusableHost.OneLineAndAnInertAddon's child processes, whose host reports an
   unusable version or lacks its Java table. */
TEST(UnusableHostChild, EveryEntryRefuses)
{
    if (getenv("VELMDSD_UNUSABLE_HOST_CHILD") == nullptr)
        GTEST_SKIP() << "runs only in the child processes of UnusableHost.OneLineAndAnInertAddon";
    std::vector<uint8_t> bytes = DsfBytes(Channels(2, 4096));
    EXPECT_EQ(VELM_DSD_StreamCreateFile(1, bytes.data(), 0, bytes.size(), 0, 0), 0u);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_VERSION);
    EXPECT_EQ(VELM_DSD_StreamCreateURL("file:///nonexistent", 0, 0, nullptr, nullptr, 0), 0u);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_VERSION);
    EXPECT_EQ(VELM_DSD_StreamCreateFileUser(0, 0, nullptr, nullptr, 0), 0u);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_VERSION);
    EXPECT_EQ(VELMplugin(0), nullptr);
    EXPECT_EQ(VELMplugin(1), nullptr);
    EXPECT_EQ(VELM_PluginLoad(VELMDSD_LIBRARY_PATH), 0u);
    /* The handler was never registered. */
    EXPECT_EQ(VELM_GetConfig(VELM_DSD_CONFIG_RATE), 0xFFFFFFFFu);
}

std::string ChildStderr(const char *env, int *status)
{
    /* Resolved here, not by the shell: under an emulator /proc/<pid>/exe names the emulator. */
    char self[4096];
    ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0) {
        *status = -1;
        return "cannot resolve /proc/self/exe";
    }
    self[len] = '\0';
    std::string cmd = std::string("env VELMDSD_UNUSABLE_HOST_CHILD=1 ") + env +
                      " " VELMDSD_TEST_LAUNCHER " '" + self +
                      "' --gtest_filter='UnusableHostChild.*'"
                      " 2>&1 >/dev/null; echo \"exit=$?\"";
    std::string out = Capture(cmd.c_str());
    size_t mark = out.rfind("exit=");
    *status = mark == std::string::npos ? -1 : atoi(out.c_str() + mark + 5);
    return mark == std::string::npos ? out : out.substr(0, mark);
}

TEST(UnusableHost, OneLineAndAnInertAddon)
{
    const char *cases[] = {"VELM_HOST_VERSION=0x02030000", "VELM_HOST_VERSION=02050000",
                           "VELM_HOST_NO_JAVA=1"};
    for (const char *env : cases) {
        int status = 0;
        std::string err = ChildStderr(env, &status);
        EXPECT_EQ(err, "VELMDSD: Incorrect VELM version (2.4 is required)\n") << env;
        EXPECT_EQ(status, 0) << env << " child failed";
    }
    int status = 0;
    EXPECT_EQ(ChildStderr("VELM_HOST_VERSION=0x02040A0F", &status), "");
    EXPECT_NE(status, 0); /* with a good host the child's expectations fail */
}

} // namespace
