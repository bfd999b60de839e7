/* The velmdsd command-line tool, run as a user runs it. */
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Result {
    int status = -1;
    std::string out; /* standard output */
    std::string err; /* standard error */
};

class CliTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/velmdsd_cli_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { system(("rm -rf '" + dir_ + "'").c_str()); }

    std::string Path(const char *name) const { return dir_ + "/" + name; }

    Result Run(const std::string &args) const
    {
        std::string errFile = dir_ + "/stderr.txt";
        std::string cmd = std::string(VELMDSD_TEST_LAUNCHER " " VELMDSD_TOOL_PATH " ") + args + " 2>'" + errFile + "'";
        Result r;
        FILE *p = popen(cmd.c_str(), "r");
        if (p == nullptr)
            return r;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            r.out.append(buf, n);
        int st = pclose(p);
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        r.err = Slurp(errFile);
        return r;
    }

    static std::string Slurp(const std::string &path)
    {
        std::ifstream f(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }

    static bool Exists(const std::string &path)
    {
        struct stat st;
        return stat(path.c_str(), &st) == 0;
    }

    static uint32_t Le32(const std::string &s, size_t at)
    {
        return static_cast<uint8_t>(s[at]) | static_cast<uint8_t>(s[at + 1]) << 8 |
               static_cast<uint8_t>(s[at + 2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(s[at + 3])) << 24;
    }

    /* The fmt fields and data size of a WAV file whose data chunk follows fmt (and fact). */
    struct Wav {
        uint16_t format = 0, channels = 0, bits = 0;
        uint32_t rate = 0, dataBytes = 0;
    };
    static Wav ParseWav(const std::string &s)
    {
        Wav w;
        if (s.size() < 44 || s.compare(0, 4, "RIFF") != 0 || s.compare(8, 4, "WAVE") != 0)
            return w;
        size_t pos = 12;
        while (pos + 8 <= s.size()) {
            std::string id = s.substr(pos, 4);
            uint32_t size = Le32(s, pos + 4);
            if (id == "fmt ") {
                w.format = static_cast<uint16_t>(Le32(s, pos + 8) & 0xFFFF);
                w.channels = static_cast<uint16_t>(Le32(s, pos + 8) >> 16);
                w.rate = Le32(s, pos + 12);
                w.bits = static_cast<uint16_t>(Le32(s, pos + 20) >> 16);
            } else if (id == "data") {
                w.dataBytes = size;
                break;
            }
            pos += 8 + size + (size & 1);
        }
        return w;
    }

    std::string dir_;
};

TEST_F(CliTest, MakeTestInfoAndDecodeRoundTrip)
{
    std::string dsf = Path("tone.dsf");
    Result r = Run("make-test '" + dsf + "' --channels 1 --seconds 0.5 --artist Someone --title Tone");
    ASSERT_EQ(r.status, 0) << r.err;

    r = Run("info '" + dsf + "' --json --rate 96000");
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *want : {"\"container\":\"DSF\"", "\"channels\":1", "\"dsdRate\":2822400",
                             "\"channelType\":\"0x11700\"", "\"pcmRateDefault\":44100", "\"pcmRate\":176400",
                             "\"raw\":176400,", "{\"key\":\"title\",\"value\":\"Tone\"}",
                             "{\"key\":\"artist\",\"value\":\"Someone\"}"})
        EXPECT_NE(r.out.find(want), std::string::npos) << want << " in " << r.out;

    const struct {
        const char *args;
        uint16_t format, bits;
        uint32_t rate, dataBytes;
    } decodes[] = {
        {"", 1, 16, 44100, (176400 + 8 - 25) / 8 * 2},
        {"--float", 3, 32, 44100, (176400 + 8 - 25) / 8 * 4},
        {"--rate 352800 --float", 3, 32, 352800, (176400 + 1 - 25) * 4},
        {"--dop", 1, 24, 176400, 176400 / 2 * 3},
        {"--start 0.2 --duration 0.1", 1, 16, 44100, 4410 * 2},
        {"--gain -3", 1, 16, 44100, (176400 + 8 - 25) / 8 * 2},
    };
    for (auto d : decodes) {
        std::string wav = Path("out.wav");
        r = Run("decode '" + dsf + "' -o '" + wav + "' " + d.args);
        ASSERT_EQ(r.status, 0) << d.args << ": " << r.err;
        EXPECT_NE(r.err.find("real time"), std::string::npos) << r.err;
        Wav w = ParseWav(Slurp(wav));
        EXPECT_EQ(w.format, d.format) << d.args;
        EXPECT_EQ(w.bits, d.bits) << d.args;
        EXPECT_EQ(w.channels, 1) << d.args;
        EXPECT_EQ(w.rate, d.rate) << d.args;
        EXPECT_EQ(w.dataBytes, d.dataBytes) << d.args;
    }

    r = Run("decode '" + dsf + "' -o '" + Path("out.dsd") + "' --raw");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Slurp(Path("out.dsd")).size(), 176400u);

    r = Run("decode '" + dsf + "' -o -");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ParseWav(r.out).rate, 44100u);
    EXPECT_EQ(r.out.size(), 44u + (176400 + 8 - 25) / 8 * 2);
}

TEST_F(CliTest, DsdiffTagsAreShown)
{
    std::string dff = Path("tone.dff");
    Result r = Run("make-test '" + dff + "' --seconds 0.2 --artist 'An Artist' --title 'A Title' --comment 'Made here'");
    ASSERT_EQ(r.status, 0) << r.err;
    r = Run("info '" + dff + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *want : {"DSDIFF", "An Artist", "A Title", "Made here", "channels:      2"})
        EXPECT_NE(r.out.find(want), std::string::npos) << want << " in " << r.out;
}

TEST_F(CliTest, FailuresSayWhyAndLeaveNoOutput)
{
    std::string junk = Path("junk.dsf");
    FILE *f = fopen(junk.c_str(), "wb");
    fputs("this is not a DSD file at all, not even close", f);
    fclose(f);
    std::string dsf = Path("tone.dsf");
    ASSERT_EQ(Run("make-test '" + dsf + "' --seconds 0.1").status, 0);

    const struct {
        std::string args;
        int status;
        const char *message;
    } cases[] = {
        {"decode '" + Path("missing.dsf") + "' -o '" + Path("o.wav") + "'", 1, "ERROR_FILEOPEN"},
        {"decode '" + junk + "' -o '" + Path("o.wav") + "'", 1, "ERROR_FORMAT"},
        {"decode '" + dsf + "' -o '" + Path("o.wav") + "' --dop --gain 3", 1, "ERROR_NOT_AVAILABLE"},
        {"decode '" + dsf + "' -o '" + Path("o.wav") + "' --start 100", 1, "ERROR_POSITION"},
        {"decode '" + dsf + "' -o '" + Path("o.wav") + "' --dop --raw", 2, "exclude"},
        {"decode '" + dsf + "' -o '" + Path("o.wav") + "' --bogus", 2, "--bogus"},
        {"decode '" + dsf + "'", 2, "-o"},
        {"info '" + junk + "'", 1, "ERROR_FORMAT"},
        {"make-test '" + Path("o.wav") + "'", 1, ".dsf or .dff"},
        {"make-test '" + Path("o.dsf") + "' --level -1", 2, "--level"},
        {"frobnicate", 2, "unknown command"},
    };
    for (const auto &c : cases) {
        Result r = Run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), c.status == 1 ? 1 : std::count(r.err.begin(), r.err.end(), '\n'))
            << c.args << ": " << r.err;
        EXPECT_FALSE(Exists(Path("o.wav"))) << c.args;
        EXPECT_FALSE(Exists(Path("o.dsf"))) << c.args;
    }
}

} // namespace
