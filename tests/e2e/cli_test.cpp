/* The velmdsd command-line tool, run as a user runs it. */
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "dsdsignal/dst.h"
#include "dsdsignal/tone.h"
#include "dsdsignal/writers.h"
#include "velmdsd.h"

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

    Result Run(const std::string &args) const { return Shell(Tool() + " " + args); }

    /* The tool as a shell word, started through the emulator on a cross build. */
    static std::string Tool() { return std::string(VELMDSD_TEST_LAUNCHER " " VELMDSD_TOOL_PATH); }

    /* A shell command line; its standard error is collected apart from its output. */
    Result Shell(const std::string &line) const
    {
        std::string errFile = dir_ + "/stderr.txt";
        std::string cmd = "{ " + line + "; } 2>'" + errFile + "'";
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
               static_cast<uint8_t>(s[at + 2]) << 16 |
               static_cast<uint32_t>(static_cast<uint8_t>(s[at + 3])) << 24;
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

    /* The sample bytes of a WAV (whatever its header says of their size: a pipe leaves it unknown). */
    static std::string DataOf(const std::string &s)
    {
        size_t pos = 12;
        while (pos + 8 <= s.size()) {
            uint32_t size = Le32(s, pos + 4);
            if (s.compare(pos, 4, "data") == 0)
                return s.substr(pos + 8, std::min<size_t>(size, s.size() - pos - 8));
            pos += 8 + size + (size & 1);
        }
        return "";
    }

    void Write(const std::string &path, const std::vector<uint8_t> &bytes) const
    {
        ASSERT_TRUE(dsdsignal::WriteFileBytes(path, bytes)) << path;
    }

    /* Random DSD bytes: as good as music for comparing bytes, and quick to make in any size. */
    static dsdsignal::ChannelBytes Noise(uint32_t channels, size_t bytes, uint32_t seed = 1)
    {
        std::mt19937 rng(seed);
        dsdsignal::ChannelBytes c(channels, std::vector<uint8_t>(bytes));
        for (auto &ch : c)
            for (auto &b : ch)
                b = static_cast<uint8_t>(rng());
        return c;
    }

    /* The add-on's own output for a file, through the library, as the reference. */
    static std::string LibraryDecode(const std::string &path, uint32_t flags, uint32_t freq = 0)
    {
        uint32_t h = VELM_DSD_StreamCreateFile(0, path.c_str(), 0, 0, flags, freq);
        std::string out;
        std::vector<char> buf(1 << 16);
        for (int idle = 0; h != 0 && idle < 100;) {
            uint32_t n = VELM_ChannelGetData(h, buf.data(), static_cast<uint32_t>(buf.size() / 48 * 48));
            if (n == 0xFFFFFFFFu)
                break;
            idle = n == 0 ? idle + 1 : 0;
            out.append(buf.data(), n);
        }
        if (h != 0)
            VELM_StreamFree(h);
        return out;
    }

    std::string dir_;
};

/* The tool's stream flags and the bytes per sample it writes, per form. */
const struct FormCase {
    const char *args;
    uint32_t flags;
    uint32_t bytes; /* per sample, in the stream and in the output */
} kForms[] = {
    {"--quality designed", 0, 2},
    {"--float --quality designed", VELM_SAMPLE_FLOAT, 4},
    {"", VELM_DSD_PCM_HQ, 2}, /* the tool's default */
    {"--dop", VELM_DSD_DOP | VELM_SAMPLE_FLOAT, 0},
    {"--raw", VELM_DSD_RAW | VELM_STREAM_DECODE, 1},
};

/* DoP floats as the tool writes them: 24-bit words. */
std::string DopAs24(const std::string &floats)
{
    std::string out;
    for (size_t i = 0; i + 4 <= floats.size(); i += 4) {
        float f;
        memcpy(&f, floats.data() + i, 4);
        int32_t w = static_cast<int32_t>(f * 8388608.0f);
        out += static_cast<char>(w);
        out += static_cast<char>(w >> 8);
        out += static_cast<char>(w >> 16);
    }
    return out;
}

TEST_F(CliTest, MakeTestInfoAndDecodeRoundTrip)
{
    std::string dsf = Path("tone.dsf");
    Result r = Run("make-test '" + dsf + "' --channels 1 --seconds 0.5 --artist Someone --title Tone");
    ASSERT_EQ(r.status, 0) << r.err;

    r = Run("info '" + dsf + "' --json --rate 96000");
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *want :
         {"\"container\":\"DSF\"", "\"channels\":1", "\"dsdRate\":2822400", "\"channelType\":\"0x11700\"",
          "\"pcmRateDefault\":44100", "\"pcmRate\":176400", "\"raw\":176400,"})
        EXPECT_NE(r.out.find(want), std::string::npos) << want << " in " << r.out;
    /* The ID3v2 tag's fields, where the tool can parse them. */
    for (const char *want :
         {"{\"key\":\"title\",\"value\":\"Tone\"}", "{\"key\":\"artist\",\"value\":\"Someone\"}"})
        EXPECT_EQ(r.out.find(want) != std::string::npos, VELMDSD_TOOL_TAGLIB != 0) << want << " in " << r.out;

    const struct {
        const char *args;
        uint16_t format, bits;
        uint32_t rate, dataBytes;
    } decodes[] = {
        {"", 1, 16, 44100, (176400 + 8 - 25) / 8 * 2},
        {"--float", 0xFFFE, 32, 44100, (176400 + 8 - 25) / 8 * 4},
        {"--rate 352800 --float", 0xFFFE, 32, 352800, (176400 + 1 - 25) * 4},
        {"--dop", 0xFFFE, 24, 176400, 176400 / 2 * 3},
        {"--start 0.2 --duration 0.1", 1, 16, 44100, 4410 * 2},
        {"--gain -3", 1, 16, 44100, (176400 + 8 - 25) / 8 * 2},
    };
    for (auto d : decodes) {
        std::string wav = Path("out.wav");
        r = Run("decode '" + dsf + "' -o '" + wav + "' --quality designed " + d.args);
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

    /* The default is the high-quality converter: a sample for every 8 bytes. */
    r = Run("decode '" + dsf + "' -o -");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ParseWav(r.out).rate, 44100u);
    EXPECT_EQ(r.out.size(), 44u + 176400 / 8 * 2);
    EXPECT_NE(r.err.find("(high quality)"), std::string::npos) << r.err;
}

TEST_F(CliTest, DsdiffTagsAreShown)
{
    std::string dff = Path("tone.dff");
    Result r = Run("make-test '" + dff +
                   "' --seconds 0.2 --artist 'An Artist' --title 'A Title' --comment 'Made here'");
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
    const std::string dsfBytes = Slurp(dsf);
    /* Files that are not DSF or DSDIFF, by what they look like. */
    Write(Path("empty.dsf"), {});
    const std::string wave("RIFF\x24\0\0\0WAVEfmt \x10\0\0\0", 20);
    Write(Path("wave.dsf"), std::vector<uint8_t>(wave.begin(), wave.end()));
    Write(Path("flac.dff"), {'f', 'L', 'a', 'C', 0, 0, 0, 0x22, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    const std::string id3 = std::string("ID3\x03\0\0\0\0\0\x14", 10) + std::string(20, '\0') + dsfBytes;
    Write(Path("id3.dsf"), std::vector<uint8_t>(id3.begin(), id3.end()));
    Write(Path("cut.dsf"), std::vector<uint8_t>(dsfBytes.begin(), dsfBytes.begin() + 40));
    ASSERT_EQ(mkfifo(Path("fifo.dsf").c_str(), 0600), 0); /* no writer: an open that waits would hang */
    ASSERT_EQ(symlink(dsf.c_str(), Path("tone-link").c_str()), 0);
    ASSERT_EQ(link(dsf.c_str(), Path("tone-hard").c_str()), 0);
    /* With -d, tone-link.dsf would be written to tone-link.wav: a link to the input as well. */
    ASSERT_EQ(symlink(dsf.c_str(), Path("tone-link.dsf").c_str()), 0);
    ASSERT_EQ(symlink(dsf.c_str(), Path("tone-link.wav").c_str()), 0);

    const struct {
        std::string args;
        int status;
        const char *message;
    } cases[] = {
        {"decode '" + Path("missing.dsf") + "' -o '" + Path("o.wav") + "'", 1,
         "missing.dsf: No such file or directory"},
        {"decode '" + junk + "' -o '" + Path("o.wav") + "'", 1,
         "not a DSF or DSDIFF file: it starts with bytes"},
        {"decode '" + Path("empty.dsf") + "' -o '" + Path("o.wav") + "'", 1,
         "empty.dsf is not a DSF or DSDIFF file: it is empty"},
        {"decode '" + Path("wave.dsf") + "' -o '" + Path("o.wav") + "'", 1, "it is a WAV file"},
        {"decode - -o '" + Path("o.wav") + "' < '" + Path("flac.dff") + "'", 1,
         "standard input is not a DSF or DSDIFF file: it is a FLAC file"},
        {"decode '" + Path("id3.dsf") + "' -o '" + Path("o.wav") + "'", 1,
         "a DSF file with an ID3 tag written in front of it"},
        {"decode '" + Path("cut.dsf") + "' -o '" + Path("o.wav") + "'", 1,
         "starts as a DSF file, but its header is damaged"},
        {"decode '" + dir_ + "' -o '" + Path("o.wav") + "'", 1, "is a directory, not a DSF"},
        {"decode '" + Path("fifo.dsf") + "' -o '" + Path("o.wav") + "'", 1,
         "is a FIFO (use - to read standard input)"},
        {"info '" + Path("fifo.dsf") + "'", 1, "is a FIFO"},
        {"info /dev/null", 1, "/dev/null is a character device"},
        {"info '" + Path("id3.dsf") + "'", 1, "bytes to remove"},
        {"decode '" + dsf + "' -o '" + Path("o.wav") + "' --dop --gain 3", 2, "PCM only"},
        {"decode '" + dsf + "' -o '" + Path("o.wav") + "' --start 100", 1, "past the end"},
        {"decode '" + dsf + "' -o '" + Path("o.wav") + "' --dop --raw", 2, "exclude"},
        {"decode '" + dsf + "' -o '" + Path("o.wav") + "' --bogus", 2, "--bogus"},
        {"decode '" + dsf + "' -o '" + Path("o.wav") + "' --gain 690", 2, "--gain"},
        {"decode '" + dsf + "' -o '" + Path("o.wav") + "' --gain -101", 2, "--gain"},
        {"decode '" + dsf + "' -o '" + Path("o.wav") + "' --start 2.1e14", 2, "--start"},
        {"decode '" + dsf + "' -o '" + Path("o.wav") + "' --duration nan", 2, "--duration"},
        {"decode '" + dsf + "' -o '" + Path("o.wav") + "' --threads 0", 2, "--threads wants 1 to 64"},
        {"decode '" + dsf + "' -o '" + Path("o.wav") + "' --start", 2, "--start needs a value"},
        {"decode '" + dsf + "' -o '" + Path("o.wav") + "' --rate 0", 2, "--rate"},
        {"decode '" + dsf + "' -o '" + Path("o.wav") + "' --bits 20", 2, "--bits"},
        {"decode '" + dsf + "' -o '" + Path("o.wav") + "' --raw --bits 24", 2, "PCM only"},
        {"decode '" + dsf + "' -o '" + Path("o.wav") + "' --float --dither", 2, "--dither"},
        {"decode '" + dsf + "' -o '" + Path("o.wav") + "' --quality best", 2, "--quality"},
        {"decode '" + dsf + "' -o '" + Path("o.wav") + "' --dop --quality high", 2, "PCM only"},
        {"decode '" + dsf + "' -o '" + Path("o.wav") + "' --raw --quality high", 2, "PCM only"},
        {"decode '" + dsf + "' '" + dsf + "' -o '" + Path("o.wav") + "'", 2, "-d OUTDIR"},
        {"decode '" + dsf + "' -o '" + Path("o.wav") + "' -d '" + dir_ + "'", 2, "-o OUT"},
        {"decode - - -o '" + Path("o.wav") + "'", 2, "-d OUTDIR"},
        {"decode '" + dsf + "'", 2, "-o"},
        {"decode '" + dsf + "' -o '" + Path("o.wav") + "' --raw --dsd-format u24", 2, "--dsd-format wants"},
        {"decode '" + dsf + "' -o '" + Path("o.wav") + "' --dsd-format u16le", 2, "--raw only"},
        {"decode '" + dsf + "' -o '" + dsf + "'", 1, "is the input"},
        {"decode '" + dsf + "' -o '" + dir_ + "/./tone.dsf' --raw", 1, "is the input"},
        {"decode '" + dsf + "' -o '" + Path("tone-link") + "'", 1, "is the input"},
        {"decode '" + dsf + "' -o '" + Path("tone-hard") + "'", 1, "is the input"},
        {"decode '" + dsf + "' '" + Path("tone-link.dsf") + "' -d '" + dir_ + "'", 1, "is the input"},
        {"info '" + junk + "'", 1, "junk.dsf is not a DSF or DSDIFF file"},
        {"make-test '" + Path("o.wav") + "'", 1, ".dsf or .dff"},
        {"make-test '" + Path("o.dsf") + "' --level -1", 2, "--level"},
        {"frobnicate", 2, "unknown command"},
    };
    for (const auto &c : cases) {
        Result r = Run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'),
                  c.status == 1 ? 1 : std::count(r.err.begin(), r.err.end(), '\n'))
            << c.args << ": " << r.err;
        EXPECT_FALSE(Exists(Path("o.wav"))) << c.args;
        EXPECT_FALSE(Exists(Path("o.dsf"))) << c.args;
        EXPECT_TRUE(Slurp(dsf) == dsfBytes) << c.args;
    }
}

} // namespace

namespace {

std::string Q(const std::string &s)
{
    return "'" + s + "'";
}

TEST_F(CliTest, EveryFormEqualsTheLibraryFromFilesPipesExactStartsAndThreads)
{
    /* Stereo DSF and DSDIFF, and a DSF whose block group (3 x 16 bytes) is smaller than the
       25-byte PCM window, so that some reads bring no sample at all. */
    dsdsignal::DsfOptions small;
    small.blockSize = 16;
    const struct {
        const char *name;
        std::vector<uint8_t> bytes;
    } files[] = {
        {"a.dsf", dsdsignal::MakeDsf(2822400, Noise(2, 30000))},
        {"a.dff", dsdsignal::MakeDff(2822400, Noise(2, 30000))},
        {"small-blocks.dsf", dsdsignal::MakeDsf(2822400, Noise(3, 30000), small)},
    };
    const double start = 0.05;
    for (const auto &f : files) {
        std::string path = Path(f.name);
        Write(path, f.bytes);
        uint32_t channels = std::string(f.name).find("small") != std::string::npos ? 3 : 2;
        Result info = Shell("cat " + Q(path) + " | " + Tool() + " info -");
        EXPECT_NE(info.out.find(channels == 3 ? "3.0: FL FR FC" : "stereo: FL FR"), std::string::npos)
            << info.out;
        for (const FormCase &form : kForms) {
            std::string ref = LibraryDecode(path, form.flags);
            const uint32_t rate = form.flags & VELM_DSD_RAW   ? 352800
                                  : form.flags & VELM_DSD_DOP ? 176400
                                                              : 44100;
            const size_t frame = channels * (form.flags & VELM_DSD_DOP ? 4 : form.bytes);
            if (form.flags & VELM_DSD_DOP)
                ref = DopAs24(ref);
            const size_t outFrame = form.flags & VELM_DSD_DOP ? channels * 3 : frame;
            ASSERT_GT(ref.size(), outFrame * static_cast<size_t>(start * rate + 100))
                << f.name << " " << form.args;
            const std::string skipped = ref.substr(outFrame * static_cast<size_t>(start * rate + 0.5));
            const std::string span = skipped.substr(0, outFrame * static_cast<size_t>(0.02 * rate + 0.5));
            /* Several threads decode PCM in segments that start at seek points (eight or so here). */
            const struct {
                std::string line;
                const std::string *want;
            } runs[] = {
                {Tool() + " decode " + Q(path) + " -o - " + form.args, &ref},
                {"cat " + Q(path) + " | " + Tool() + " decode - -o - " + form.args, &ref},
                {Tool() + " decode " + Q(path) + " -o - --start 0.05 " + form.args, &skipped},
                {"cat " + Q(path) + " | " + Tool() + " decode - -o - --start 0.05 " + form.args, &skipped},
                {Tool() + " decode " + Q(path) + " -o - --threads 3 " + form.args, &ref},
                {Tool() + " decode " + Q(path) + " -o - --start 0.05 --threads 2 " + form.args, &skipped},
                {Tool() + " decode " + Q(path) + " -o - --start 0.05 --duration 0.02 --threads 2 " +
                     form.args,
                 &span},
            };
            for (const auto &run : runs) {
                Result r = Shell(run.line);
                ASSERT_EQ(r.status, 0) << run.line << ": " << r.err;
                std::string got = form.flags & VELM_DSD_RAW ? r.out : DataOf(r.out);
                EXPECT_TRUE(got == *run.want)
                    << run.line << ": " << got.size() << " bytes, want " << run.want->size();
            }
        }
    }
}

TEST_F(CliTest, OutputsAreReplacedOnlyWholeAndOthersNeverRemoved)
{
    std::string dsf = Path("tone.dsf");
    Write(dsf, dsdsignal::MakeDsf(2822400, Noise(2, 100000)));
    std::string tool = Tool() + " decode " + Q(dsf) + " ";
    struct stat st;

    /* A device that is full, directly and behind a symlink: the write fails, both stay. */
    std::string full = Path("full"), link = Path("link");
    ASSERT_EQ(symlink("/dev/full", link.c_str()), 0);
    bool haveNode = mknod(full.c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0;
    for (const std::string &target : {full, link}) {
        if (target == full && !haveNode)
            continue; /* creating device nodes needs privileges */
        Result r = Shell(tool + "-o " + Q(target));
        EXPECT_EQ(r.status, 1) << target;
        EXPECT_NE(r.err.find("cannot write " + target + ": No space left on device"), std::string::npos)
            << r.err;
        EXPECT_EQ(lstat(target.c_str(), &st), 0) << target << " was removed";
    }
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    /* A FIFO is written in place: a reader gets the same bytes as a file, and a reader that
       leaves early makes the write fail without the FIFO going away. */
    std::string fifo = Path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(Run("decode " + Q(dsf) + " -o " + Q(Path("file.wav"))).status, 0);
    Result r =
        Shell("cat " + Q(fifo) + " > " + Q(Path("copy.wav")) + " & " + tool + "-o " + Q(fifo) + "; wait");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Slurp(Path("copy.wav")).substr(44), Slurp(Path("file.wav")).substr(44));
    r = Shell("head -c 10 " + Q(fifo) + " >/dev/null & " + tool + "--raw -o " + Q(fifo));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    /* Standard output closed early: a non-zero status and one line. */
    r = Shell("{ " + tool + "--raw -o -; echo $? > " + Q(Path("status")) + "; } | head -c 100 > /dev/null");
    EXPECT_EQ(Slurp(Path("status")), "1\n");
    EXPECT_EQ(r.err, "velmdsd: cannot write standard output: Broken pipe\n");

    /* A file size limit that bites only when the buffered header and samples are flushed at
       the end: the earlier file stays as it was and no temporary file is left. */
    std::string old = Path("old.wav");
    Write(old, {'o', 'l', 'd'});
    r = Shell("ulimit -f 1; " + tool + "-o " + Q(old) + " --duration 0.005");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(Slurp(old), "old");
    EXPECT_EQ(Shell("ls -A " + Q(dir_) + " | grep -c '^\\.old'").out, "0\n");
}

TEST_F(CliTest, ASignalRemovesTheTemporaryFileAndKeepsTheOldOutput)
{
    /* Half a file, then a pause: the decode waits for the rest with its temporary file open. */
    std::vector<uint8_t> bytes = dsdsignal::MakeDsf(2822400, Noise(2, 4096 * 40));
    bytes.resize(bytes.size() / 2);
    Write(Path("half.dsf"), bytes);
    const struct {
        const char *name;
        int status;
    } signals[] = {{"TERM", 143}, {"INT", 130}, {"HUP", 129}};
    for (const auto &sig : signals) {
        std::string old = Path("old.wav");
        Write(old, {'o', 'l', 'd'});
        std::string killer = "( while ! ls -A " + Q(dir_) +
                             " | grep -q '^\\.old'; do sleep 0.05; done; kill -" + sig.name + " $(cat " +
                             Q(Path("pid")) + ") ) & ";
        Result r = Shell(killer + "{ cat " + Q(Path("half.dsf")) + "; sleep 2; } | sh -c 'echo $$ > " +
                         Q(Path("pid")) + "; exec " + Tool() + " decode - -o " + Q(old) + "'; echo $?");
        EXPECT_EQ(r.out, std::to_string(sig.status) + "\n") << sig.name << ": " << r.err;
        EXPECT_EQ(Slurp(old), "old") << sig.name;
        EXPECT_EQ(Shell("ls -A " + Q(dir_) + " | grep -c '^\\.old'").out, "0\n") << sig.name;
    }
}

TEST_F(CliTest, RawDsdPacksIntoAlsaWords)
{
    /* Three channels of 4097 bytes: the last 2- and 4-byte words are filled with 0x69. */
    std::string dff = Path("three.dff");
    Write(dff, dsdsignal::MakeDff(2822400, Noise(3, 4097)));
    const std::string frames = LibraryDecode(dff, VELM_DSD_RAW | VELM_STREAM_DECODE);
    ASSERT_EQ(frames.size(), 3u * 4097);
    const struct {
        const char *name;
        size_t word;
        bool little;
    } packings[] = {
        {"u8", 1, false}, {"u16le", 2, true}, {"u16be", 2, false}, {"u32le", 4, true}, {"u32be", 4, false}};
    for (const auto &p : packings) {
        std::string want;
        for (size_t at = 0; at < 4097; at += p.word)
            for (size_t c = 0; c < 3; c++)
                for (size_t k = 0; k < p.word; k++) {
                    size_t f = at + (p.little ? p.word - 1 - k : k);
                    want += f < 4097 ? frames[f * 3 + c] : '\x69';
                }
        Result r = Run("decode " + Q(dff) + " --raw -o - --dsd-format " + p.name);
        ASSERT_EQ(r.status, 0) << p.name << ": " << r.err;
        EXPECT_TRUE(r.out == want) << p.name << ": " << r.out.size() << " bytes, want " << want.size();
    }
}

TEST_F(CliTest, SpeakerLayoutsAndFormatsWavCannotHold)
{
    /* Header fields patched into an otherwise valid DSF. */
    auto patched = [](std::vector<uint8_t> f, size_t at, uint32_t v) {
        for (int i = 0; i < 4; i++)
            f[at + i] = static_cast<uint8_t>(v >> (8 * i));
        return f;
    };
    dsdsignal::DsfOptions one;
    one.blockSize = 1;
    /* One block group of 65,535 channels must fit in the sound data, or the add-on refuses the file. */
    const std::vector<uint8_t> tiny = dsdsignal::MakeDsf(2822400, Noise(1, 65536), one);
    const struct {
        const char *name;
        std::vector<uint8_t> bytes;
        const char *args;
        int status;
        const char *message; /* in info's output, or in decode's one-line refusal */
    } cases[] = {
        {"six.dsf", dsdsignal::MakeDsf(2822400, Noise(6, 4096)), "", 0, "5.1: FL FR FC LFE BL BR"},
        {"six.dff", dsdsignal::MakeDff(2822400, Noise(6, 4096)), "", 0, "5.1: FL FR FC LFE BL BR"},
        {"four.dff", dsdsignal::MakeDff(2822400, Noise(4, 4096)), "", 0, "quad: FL FR BL BR"},
        {"rate.dsf", patched(dsdsignal::MakeDsf(2822400, Noise(2, 4096)), 56, 0xFFFFFFFFu), "--raw", 0,
         "4294967295 Hz"},
        {"wide.dsf", patched(tiny, 52, 65535), "", 1, "cannot hold 65535 channels"},
        {"huge.dsf", patched(tiny, 52, 79000000), "", 1,
         "huge.dsf"}, /* refused by WAV, or by the add-on on 32 bits */
    };
    for (const auto &c : cases) {
        std::string path = Path(c.name), wav = Path("o.wav");
        Write(path, c.bytes);
        Result info = Run("info " + Q(path));
        Result r = Run("decode " + Q(path) + " -o " + Q(wav) + " --quality designed " + c.args);
        EXPECT_EQ(r.status, c.status) << c.name << ": " << r.err;
        if (c.status != 0) {
            EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << ": " << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
            EXPECT_FALSE(Exists(wav)) << c.name;
            continue;
        }
        EXPECT_NE(info.out.find(c.message), std::string::npos) << c.name << ": " << info.out << info.err;
        std::string w = Slurp(wav);
        if (std::string(c.args).empty()) {
            Wav h = ParseWav(w);
            EXPECT_EQ(h.format, 0xFFFE) << c.name;
            uint32_t mask = Le32(w, 40);
            EXPECT_EQ(mask, c.bytes.size() > 0 && std::string(c.name) == "four.dff" ? 0x33u : 0x3Fu)
                << c.name;
            EXPECT_EQ(DataOf(w), LibraryDecode(path, 0)) << c.name;
        }
        remove(wav.c_str());
    }
}

TEST_F(CliTest, SourceThatEndsEarlyIsDecodedKeptAndReported)
{
    std::string whole = Path("whole.dsf"), cut = Path("cut.dsf");
    std::vector<uint8_t> bytes = dsdsignal::MakeDsf(2822400, Noise(2, 4096 * 40));
    Write(whole, bytes);
    bytes.resize(bytes.size() / 2);
    Write(cut, bytes);
    const std::string want = LibraryDecode(cut, 0);
    ASSERT_GT(want.size(), 10000u);
    for (const std::string &line :
         {Tool() + " decode " + Q(cut) + " --quality designed -o " + Q(Path("o.wav")),
          "cat " + Q(cut) + " | " + Tool() + " decode - --quality designed -o " + Q(Path("o.wav"))}) {
        Result r = Shell(line);
        EXPECT_EQ(r.status, 1) << line;
        EXPECT_NE(r.err.find("source ended early: 0.22 s of 0.46 s"), std::string::npos)
            << line << ": " << r.err;
        EXPECT_NE(r.err.find("kept"), std::string::npos) << r.err;
        EXPECT_EQ(DataOf(Slurp(Path("o.wav"))), want) << line;
        remove(Path("o.wav").c_str());
    }
    EXPECT_EQ(Run("decode " + Q(whole) + " -o " + Q(Path("o.wav"))).status, 0);
}

TEST_F(CliTest, PcmBitsDitherRatesAndClipping)
{
    std::string tone = Path("tone.dsf");
    ASSERT_EQ(Run("make-test " + Q(tone) + " --seconds 0.5 --level -9").status, 0);
    const std::string floats = LibraryDecode(tone, VELM_SAMPLE_FLOAT);
    const struct {
        const char *args;
        uint16_t format, bits;
        uint32_t rate;
        size_t frames; /* 0: the library's own count */
    } cases[] = {
        {"--bits 24", 0xFFFE, 24, 44100, 0},
        {"--bits 16 --dither", 1, 16, 44100, 0},
        {"--bits 32", 0xFFFE, 32, 44100, 0},
        {"--rate 48000", 1, 16, 48000, 24000},
        {"--rate 96000 --bits 24 --dither", 0xFFFE, 24, 96000, 48000},
        {"--rate 22050 --bits 32", 0xFFFE, 32, 22050, 11025},
    };
    /* A build without libsoxr (a 32-bit one) refuses to resample and says so. */
    const bool resamples = Run("--version").out.find("libsoxr") != std::string::npos;
    for (const auto &c : cases) {
        Result r = Run("decode " + Q(tone) + " -o " + Q(Path("o.wav")) + " --quality designed " + c.args);
        if (c.frames != 0 && !resamples) {
            EXPECT_EQ(r.status, 1) << c.args;
            EXPECT_NE(r.err.find("cannot resample"), std::string::npos) << r.err;
            continue;
        }
        ASSERT_EQ(r.status, 0) << c.args << ": " << r.err;
        std::string w = Slurp(Path("o.wav"));
        Wav h = ParseWav(w);
        EXPECT_EQ(h.format, c.format) << c.args;
        EXPECT_EQ(h.bits, c.bits) << c.args;
        EXPECT_EQ(h.rate, c.rate) << c.args;
        EXPECT_NE(r.err.find(std::to_string(c.rate) + " Hz"), std::string::npos) << r.err;
        size_t frames = h.dataBytes / (2 * c.bits / 8);
        /* A resampler's length is the input's to within its filter's delay. */
        EXPECT_NEAR(static_cast<double>(frames), c.frames != 0 ? c.frames : floats.size() / 8.0,
                    c.frames != 0 ? 100.0 : 0.0)
            << c.args;
        if (std::string(c.args) == "--bits 32") {
            EXPECT_EQ(DataOf(w), floats);
        }
    }

    /* +20 dB on a -9 dBFS tone clips, at 16 and 24 bits, counted in one pass. 24 bits know the
       peak and name a gain; the add-on's 16-bit samples hide it and point to --gain auto, whose
       two passes find about the same gain. Neither gain clips. */
    const struct {
        const char *bits, *found;
    } clips[] = {{"24", "samples clipped; --gain "}, {"16", "--gain auto: "}};
    for (const auto &c : clips) {
        Result r = Run("decode " + Q(tone) + " -o " + Q(Path("o.wav")) + " --gain 20 --bits " + c.bits);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("samples clipped"), std::string::npos) << r.err;
        if (std::string(c.bits) == "16") {
            EXPECT_NE(r.err.find("--gain auto finds it"), std::string::npos) << r.err;
            r = Run("decode " + Q(tone) + " -o " + Q(Path("o.wav")) + " --gain auto --bits 16");
            ASSERT_EQ(r.status, 0) << r.err;
        }
        size_t at = r.err.find(c.found);
        ASSERT_NE(at, std::string::npos) << r.err;
        const size_t from = at + strlen(c.found);
        std::string gain = r.err.substr(from, r.err.find(' ', from) - from);
        EXPECT_LT(std::stod(gain), 9.0) << r.err;
        EXPECT_GT(std::stod(gain), 8.0) << r.err;
        r = Run("decode " + Q(tone) + " -o " + Q(Path("o.wav")) + " --gain " + gain + " --bits " + c.bits);
        EXPECT_EQ(r.err.find("clipped"), std::string::npos) << r.err;
    }
    EXPECT_EQ(Shell("cat " + Q(tone) + " | " + Tool() + " decode - -o /dev/null --gain auto").status, 2);
}

TEST_F(CliTest, QualityHighAsksTheLibraryForItsHighQualityPcm)
{
    /* DSD512 to 44.1 kHz takes 64 bytes a sample; 40 bytes are left past the last whole one. */
    std::string noise = Path("noise.dsf");
    Write(noise, dsdsignal::MakeDsf(22579200, Noise(2, 64 * 2000 + 40)));
    const struct {
        const char *args;
        uint32_t flags, rate;
        double start;
    } cases[] = {
        {"--quality high", VELM_DSD_PCM_HQ, 0, 0.0},
        {"--quality high --float --rate 88200 --start 0.01", VELM_DSD_PCM_HQ | VELM_SAMPLE_FLOAT, 88200,
         0.01},
        {"--quality designed --float", VELM_SAMPLE_FLOAT, 0, 0.0},
        {"--quality high --threads 3", VELM_DSD_PCM_HQ, 0, 0.0},
        {"--quality high --float --rate 88200 --start 0.01 --threads 2", VELM_DSD_PCM_HQ | VELM_SAMPLE_FLOAT,
         88200, 0.01},
    };
    for (const auto &c : cases) {
        Result r = Run("decode " + Q(noise) + " -o " + Q(Path("o.wav")) + " " + c.args);
        ASSERT_EQ(r.status, 0) << c.args << ": " << r.err;
        EXPECT_EQ(r.err.find("(high quality)") != std::string::npos, (c.flags & VELM_DSD_PCM_HQ) != 0)
            << r.err;
        const size_t frame = 2 * (c.flags & VELM_SAMPLE_FLOAT ? 4 : 2);
        const size_t skip = static_cast<size_t>(c.start * c.rate + 0.5) * frame;
        EXPECT_TRUE(DataOf(Slurp(Path("o.wav"))) == LibraryDecode(noise, c.flags, c.rate).substr(skip))
            << c.args;
    }
}

/* Needs the library's high-quality converter: until it is built in, the flag changes nothing (and a
   high-quality stream seems to end a few samples early). */
TEST_F(CliTest, QualityHighWithTheLibrarysConverterDiffersAndMeasures)
{
    std::string tone = Path("tone.dsf");
    ASSERT_EQ(Run("make-test " + Q(tone) + " --seconds 0.3 --channels 1").status, 0);
    std::string data[2];
    for (int high = 0; high < 2; high++) {
        Result r = Run("decode " + Q(tone) + " -o " + Q(Path("o.wav")) + " --float --quality " +
                       (high ? "high" : "designed"));
        ASSERT_EQ(r.status, 0) << r.err;
        data[high] = DataOf(Slurp(Path("o.wav")));
    }
    /* The same span of time: the lengths differ by less than the designed filter's 25-byte window. */
    EXPECT_NEAR(data[1].size() / 4.0, data[0].size() / 4.0, 25.0 / 8);
    EXPECT_TRUE(data[1] != data[0]) << "the same " << data[0].size() << " bytes";
    /* The benchmark's measuring command prints "SINAD LEVEL". The tone is -6 dBFS in the DSD bits and
       the PCM gain of +6 dB brings it to full scale; the high-quality PCM is about as clean as the bits. */
    double sinad[2] = {0, 0}, level[2] = {1, 1};
    const char *args[2] = {" --dsd-bits", " --quality high"};
    for (int i = 0; i < 2; i++) {
        Result r = Run("measure " + Q(tone) + args[i]);
        ASSERT_EQ(r.status, 0) << args[i] << ": " << r.err;
        ASSERT_EQ(sscanf(r.out.c_str(), "%lf %lf", &sinad[i], &level[i]), 2) << r.out;
        EXPECT_NEAR(level[i], i == 0 ? -6.0 : 0.0, 0.05) << args[i];
    }
    EXPECT_GT(sinad[0], 100.0);
    EXPECT_GT(sinad[1], sinad[0] - 3.0);
}

TEST_F(CliTest, SeveralInputsGoToADirectoryAndFailuresDoNotStopTheRest)
{
    Write(Path("a.dsf"), dsdsignal::MakeDsf(2822400, Noise(2, 8192)));
    Write(Path("a.dff"), dsdsignal::MakeDff(2822400, Noise(2, 8192, 2)));
    Write(Path("b.dff"), dsdsignal::MakeDff(2822400, Noise(2, 8192, 3)));
    ASSERT_EQ(mkdir(Path("sub").c_str(), 0755), 0);
    Write(Path("sub/a.dsf"), dsdsignal::MakeDsf(2822400, Noise(2, 8192, 4)));
    /* The folder does not exist yet; names that would clash keep their extension, then a number. */
    Result r = Run("decode " + Q(Path("a.dsf")) + " " + Q(Path("missing.dsf")) + " " + Q(Path("b.dff")) +
                   " " + Q(Path("a.dff")) + " " + Q(Path("sub/a.dsf")) + " -d " + Q(Path("out/new")) +
                   " --quality designed");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 5) << r.err;
    EXPECT_NE(r.err.find("missing.dsf"), std::string::npos) << r.err;
    const struct {
        const char *input, *output;
    } written[] = {{"a.dsf", "out/new/a.dsf.wav"},
                   {"b.dff", "out/new/b.wav"},
                   {"a.dff", "out/new/a.dff.wav"},
                   {"sub/a.dsf", "out/new/a.dsf-2.wav"}};
    for (const auto &w : written)
        EXPECT_EQ(DataOf(Slurp(Path(w.output))), LibraryDecode(Path(w.input), 0)) << w.output;
    EXPECT_EQ(Shell("ls " + Q(Path("out/new")) + " | wc -l").out, "4\n");

    r = Run("--version");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("velmdsd ", 0), 0u) << r.out;
    r = Run("--help");
    for (const char *want :
         {"+6 dB", "48000", "MSB first", "24-bit WAV", "ID3 tag", "--start", "--quality high"})
        EXPECT_NE(r.out.find(want), std::string::npos) << want;
}

/* Peak memory of `cat FILE | velmdsd decode -`, in kilobytes. The peak counts the memory a
   child shares with this process when it starts, so the inputs must not be held here. */
/* A tag the library hands out for a file, as bytes: the ID3v2 tag (its header's size) or a text. */
std::string LibraryTag(const std::string &path, uint32_t type)
{
    uint32_t h = VELM_DSD_StreamCreateFile(0, path.c_str(), 0, 0, VELM_DSD_RAW | VELM_STREAM_DECODE, 0);
    const char *tag = h != 0 ? static_cast<const char *>(VELM_ChannelGetTags(h, type)) : nullptr;
    std::string out;
    if (tag != nullptr && type == VELM_TAG_ID3V2) {
        const uint8_t *b = reinterpret_cast<const uint8_t *>(tag);
        out.assign(tag,
                   10 + ((b[6] & 0x7Fu) << 21 | (b[7] & 0x7Fu) << 14 | (b[8] & 0x7Fu) << 7 | (b[9] & 0x7Fu)));
    } else if (tag != nullptr) {
        out = tag;
    }
    if (h != 0)
        VELM_StreamFree(h);
    return out;
}

TEST_F(CliTest, EncodeWritesDsdiffDstAndDsfThatReadBackAsTheInput)
{
    const dsdsignal::ChannelBytes stereo = Noise(2, 30000, 7), three = Noise(3, 20000, 8);
    const std::vector<uint8_t> id3 = dsdsignal::MakeId3v23Tag("Tone", "Someone");
    dsdsignal::DsfOptions dsfTags;
    dsfTags.id3Tag = id3;
    Write(Path("in.dsf"), dsdsignal::MakeDsf(2822400, stereo, dsfTags));
    dsdsignal::DffOptions dffTags;
    dffTags.artist = "Artist";
    dffTags.title = "Title";
    dffTags.comments = std::vector<dsdsignal::DffComment>{{2024, 5, 6, 7, 8, 0, 0, "a comment"}};
    Write(Path("in.dff"), dsdsignal::MakeDff(5644800, three, dffTags));
    const std::vector<uint8_t> dst =
        dsdsignal::MakeDffDst(2822400, stereo, dsdsignal::DstEncodeOptions{}, dsdsignal::DffDstOptions{});
    Write(Path("in_dst.dff"), dst);

    const struct {
        const char *in, *args, *out;
        const char *container; /* in info --json */
        const char *artist;    /* the DIIN artist the output keeps, or null */
        bool id3;              /* the input's ID3v2 tag kept */
    } cases[] = {
        {"in.dsf", "", "o.dff", "DSDIFF", nullptr, true},
        {"in.dff", "", "o.dsf", "DSF", nullptr, false},
        {"in.dff", "", "o2.dff", "DSDIFF", "Artist", false},
        {"in.dsf", "--dst", "o3.dff", "DSDIFF", nullptr, true},
        {"in_dst.dff", "", "o4.dsf", "DSF", nullptr, false},
    };
    for (auto c : cases) {
        SCOPED_TRACE(std::string(c.in) + " " + c.args + " -> " + c.out);
        Result r = Run("encode '" + Path(c.in) + "' -o '" + Path(c.out) + "' " + c.args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("read back identical"), std::string::npos) << r.err;
        const std::string in = LibraryDecode(Path(c.in), VELM_DSD_RAW | VELM_STREAM_DECODE);
        const std::string out = LibraryDecode(Path(c.out), VELM_DSD_RAW | VELM_STREAM_DECODE);
        ASSERT_FALSE(in.empty());
        ASSERT_GE(out.size(), in.size());
        EXPECT_TRUE(out.compare(0, in.size(), in) == 0);
        EXPECT_EQ(out.find_first_not_of('\x69', in.size()), std::string::npos)
            << "only DST's padding follows";
        r = Run("info '" + Path(c.out) + "' --json");
        EXPECT_NE(r.out.find(std::string("\"container\":\"") + c.container + "\""), std::string::npos)
            << r.out;
        const char *compression = strstr(c.args, "--dst") ? "\"compression\":\"DST\""
                                                          : "\"compression\":\"plain\",\"dstFrames\":0,";
        EXPECT_NE(r.out.find(compression), std::string::npos) << r.out;
        EXPECT_NE(
            r.out.find(std::string("\"dsdRate\":") + (std::string(c.in) == "in.dff" ? "5644800" : "2822400")),
            std::string::npos)
            << r.out;
        if (c.artist != nullptr) {
            EXPECT_EQ(LibraryTag(Path(c.out), VELM_TAG_DSD_ARTIST), c.artist);
        }
        if (c.id3) {
            EXPECT_TRUE(LibraryTag(Path(c.out), VELM_TAG_ID3V2) == std::string(id3.begin(), id3.end()));
        }
    }
    /* A DSDIFF artist and title become the DSF's ID3v2 tag; the comments have no place there. */
    const std::vector<uint8_t> made = dsdsignal::MakeId3v23Tag("Title", "Artist");
    EXPECT_TRUE(LibraryTag(Path("o.dsf"), VELM_TAG_ID3V2) == std::string(made.begin(), made.end()));
    Result r = Run("encode '" + Path("in.dff") + "' -o '" + Path("o5.dsf") + "'");
    EXPECT_NE(r.err.find("1 left out"), std::string::npos) << r.err;

    /* An output that is the input, or one of the wrong kind, writes nothing. */
    const std::string before = Slurp(Path("in.dff"));
    symlink(Path("in.dff").c_str(), Path("link.dff").c_str());
    for (const char *out : {"in.dff", "link.dff"}) {
        r = Run("encode '" + Path("in.dff") + "' -o '" + Path(out) + "'");
        EXPECT_EQ(r.status, 1) << out;
        EXPECT_NE(r.err.find("refused, nothing written"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(Slurp(Path("in.dff")) == before);
    for (const char *args : {"-o x.wav", "-o x.dsf --dst", ""}) {
        r = Run("encode '" + Path("in.dff") + "' " + args);
        EXPECT_EQ(r.status, 2) << args;
    }
}

TEST_F(CliTest, BrokenDstFramesAreCountedTheOutputKeptAndTheStatusIs1)
{
    /* Three frames of 1/75 s at DSD64 (4704 bytes per channel each); the middle one claims to be
       coded and holds nothing to decode. */
    const size_t frameBytes = 4704;
    const dsdsignal::ChannelBytes sound = Noise(2, 3 * frameBytes, 9);
    std::vector<std::vector<uint8_t>> frames = dsdsignal::EncodeDst(2822400, sound);
    ASSERT_EQ(frames.size(), 3u);
    frames[1] = {0x80, 0x00};
    const std::vector<uint8_t> file = dsdsignal::MakeDffDstFromFrames(2822400, 2, frames);
    Write(Path("broken.dff"), file);
    Result r = Run("decode '" + Path("broken.dff") + "' --raw -o '" + Path("o.dsd") + "'");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("1 broken DST frame decoded as silence"), std::string::npos) << r.err;
    const std::string out = Slurp(Path("o.dsd"));
    ASSERT_EQ(out.size(), 3 * 2 * frameBytes);
    const std::vector<uint8_t> interleaved = dsdsignal::Interleave(sound);
    const std::string want(interleaved.begin(), interleaved.end());
    EXPECT_TRUE(out.compare(0, 2 * frameBytes, want, 0, 2 * frameBytes) == 0);
    EXPECT_EQ(out.substr(2 * frameBytes, 2 * frameBytes), std::string(2 * frameBytes, '\x69'));
    EXPECT_TRUE(out.compare(4 * frameBytes, 2 * frameBytes, want, 4 * frameBytes, 2 * frameBytes) == 0);
    r = Run("info '" + Path("broken.dff") + "' --json");
    EXPECT_NE(r.out.find("\"compression\":\"DST\",\"dstFrames\":3,"), std::string::npos) << r.out;
    /* encode reads the same silence, writes it and says so. */
    r = Run("encode '" + Path("broken.dff") + "' -o '" + Path("o.dsf") + "'");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("1 broken DST frame of the input decoded as silence"), std::string::npos) << r.err;
}

long PipePeakKb(const std::string &file)
{
    pid_t pid = fork();
    if (pid == 0) {
        std::string line = "cat '" + file +
                           "' | exec " VELMDSD_TEST_LAUNCHER " " VELMDSD_TOOL_PATH
                           " decode - --raw -o /dev/null 2>/dev/null";
        execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    struct rusage use;
    if (pid < 0 || wait4(pid, &status, 0, &use) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return use.ru_maxrss;
}

TEST_F(CliTest, StandardInputUsesMemoryThatDoesNotGrowWithTheInput)
{
    /* 2 MiB against 32 MiB of input, the window being 1 MiB: reading it all would show. */
    Write(Path("small.dsf"), dsdsignal::MakeDsf(2822400, Noise(2, 1 << 20)));
    Write(Path("large.dsf"), dsdsignal::MakeDsf(2822400, Noise(2, 16 << 20)));
    long small = PipePeakKb(Path("small.dsf"));
    long large = PipePeakKb(Path("large.dsf"));
    ASSERT_GT(small, 0);
    ASSERT_GT(large, 0);
    EXPECT_LT(large - small, 8 * 1024) << small << " KB against " << large << " KB";
}

} // namespace
