/*
 * Speed of the read procedure, one case per output form, DSD rate, decimation
 * ratio, channel count and container. The source is a DSF or DSDIFF file in
 * memory behind a minimal host table: FileRead is one memcpy into the work
 * buffer, nothing is logged, and every iteration replays the whole file from
 * its first sound byte through StreamRead, as the host would call it.
 *
 * Counters: "x_realtime" (seconds of sound per second of CPU time), "out_B/s"
 * (output bytes per second) and "samples" (output units per iteration, which
 * bench/callgrind.sh divides the instruction count by).
 */
#include <benchmark/benchmark.h>

#include <string.h>

#include <string>
#include <vector>

#include "convert/filter.h"
#include "convert/stream_read.h"
#include "create/stream_create.h"
#include "dsdsignal/writers.h"
#include "host/host.h"
#include "ops/operations.h"

namespace {

/* ---- the in-memory host ---------------------------------------------------------------- */

struct MemoryFile {
    const std::vector<uint8_t> *bytes = nullptr;
    uint64_t pos = 0;
} memoryFile;

void *createdStream; /* the user value of the last CreateStream */

void NoError(int32_t) {}
void NoConfig(ConfigHandlerProc *, uint32_t) {}
uint32_t OneStream(uint32_t, uint32_t, uint32_t, StreamReadProc *, void *user, const OperationsTable *)
{
    createdStream = user;
    return 1;
}
uint64_t ZeroPosition(uint32_t, uint32_t)
{
    return 0;
}
uint64_t SameValue(uint32_t, uint32_t, uint64_t value, uint32_t)
{
    return value;
}
void NoStream(uint32_t, uint32_t) {}
uint32_t NoFlags(uint32_t)
{
    return 0;
}
void NoBitrate(uint32_t, uint32_t, uint32_t) {}

int32_t MemoryRead(uint32_t, void *buffer, uint32_t length)
{
    uint64_t left = memoryFile.bytes->size() - memoryFile.pos;
    uint32_t n = left < length ? static_cast<uint32_t>(left) : length;
    memcpy(buffer, memoryFile.bytes->data() + memoryFile.pos, n);
    memoryFile.pos += n;
    return static_cast<int32_t>(n);
}

uint32_t MemorySeek(uint32_t, uint64_t pos)
{
    if (pos > memoryFile.bytes->size())
        return 0;
    memoryFile.pos = pos;
    return 1;
}

uint64_t MemoryPosition(uint32_t, uint32_t mode)
{
    return mode == 0 ? memoryFile.pos : memoryFile.bytes->size();
}

uint32_t MemoryIsEnd(uint32_t)
{
    return memoryFile.pos >= memoryFile.bytes->size() ? 1 : 0;
}

HostFunctions MemoryHost()
{
    HostFunctions host;
    memset(&host, 0, sizeof host);
    host.SetError = NoError;
    host.RegisterConfigHandler = NoConfig;
    host.CreateStream = OneStream;
    host.GetStreamPosition = ZeroPosition;
    host.TranslateStreamPosition = SameValue;
    host.FileSetStream = NoStream;
    host.FileGetFlags = NoFlags;
    host.FileRead = MemoryRead;
    host.FileSeek = MemorySeek;
    host.FileGetPosition = MemoryPosition;
    host.FileIsEnd = MemoryIsEnd;
    host.FileSetBitrate = NoBitrate;
    return host;
}

/* ---- the cases ------------------------------------------------------------------------- */

constexpr uint32_t kDsd64 = 2822400;

enum Form { PCM16, PCM_FLOAT, DOP, RAW, HQ16, HQ_FLOAT };

struct Case {
    Form form;
    uint32_t dsdRate;
    uint32_t outRate; /* PCM: the requested rate, which sets the ratio */
    uint32_t channels;
    bool dff;
};

uint32_t FlagsOf(Form form)
{
    switch (form) {
    case PCM16:
        return 0;
    case PCM_FLOAT:
        return STREAM_FLOAT;
    case DOP:
        return DSD_DOP | STREAM_FLOAT;
    case RAW:
        return DSD_RAW | STREAM_DECODE_ONLY;
    case HQ16:
        return DSD_PCM_HQ;
    case HQ_FLOAT:
        return DSD_PCM_HQ | STREAM_FLOAT;
    }
    return 0;
}

/* One second of sound, different bytes in every channel (the filter never sees a pattern). */
std::vector<uint8_t> SourceFile(const Case &c)
{
    dsdsignal::ChannelBytes sound(c.channels, std::vector<uint8_t>(c.dsdRate / 8));
    uint32_t x = 0x9E3779B9u;
    for (auto &channel : sound)
        for (uint8_t &b : channel) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = static_cast<uint8_t>(x >> 24);
        }
    return c.dff ? dsdsignal::MakeDff(c.dsdRate, sound) : dsdsignal::MakeDsf(c.dsdRate, sound);
}

void Decode(benchmark::State &state, Case c)
{
    static const HostFunctions host = MemoryHost();
    hostFunctions = &host;
    BuildBitReverse();
    const std::vector<uint8_t> file = SourceFile(c);
    memoryFile.bytes = &file;
    memoryFile.pos = 0;

    uint32_t handle = DsdStreamCreate(1, FlagsOf(c.form), c.outRate);
    if (handle == 0) {
        state.SkipWithError("the stream cannot be created");
        return;
    }
    void *stream = createdStream;
    std::vector<uint8_t> out(64 * 1024);
    uint64_t outBytes = 0;
    for (auto _ : state) {
        /* Back to the first sound byte, as a host seek does. */
        DsdSetPosition(stream, 0, 0);
        uint32_t r;
        do {
            r = StreamRead(handle, out.data(), static_cast<uint32_t>(out.size()), stream);
            outBytes += r & ~STREAM_READ_END;
        } while (!(r & STREAM_READ_END));
        benchmark::DoNotOptimize(out.data());
    }
    DsdRelease(stream);

    const double unitBytes = c.form == RAW ? 1.0 : (c.form == PCM16 || c.form == HQ16) ? 2.0 : 4.0;
    const double iterations = static_cast<double>(state.iterations());
    state.counters["x_realtime"] = benchmark::Counter(iterations, benchmark::Counter::kIsRate);
    state.counters["out_B/s"] =
        benchmark::Counter(static_cast<double>(outBytes), benchmark::Counter::kIsRate);
    state.counters["samples"] = static_cast<double>(outBytes) / unitBytes / iterations;
}

const char *FormName(Form form)
{
    static const char *const names[] = {"pcm16", "pcmfloat", "dop", "raw", "hq16", "hqfloat"};
    return names[form];
}

void Register(Case c)
{
    std::string name = std::string(FormName(c.form)) + "/DSD" + std::to_string(c.dsdRate / 44100);
    if (c.form != DOP && c.form != RAW)
        name += "/" + std::to_string(c.outRate) + "Hz";
    name += "/" + std::to_string(c.channels) + "ch/" + (c.dff ? "dff" : "dsf");
    benchmark::RegisterBenchmark(name.c_str(), Decode, c)->Unit(benchmark::kMillisecond);
}

void BuildTables(benchmark::State &state)
{
    static DsdStream s;
    s.dsdRate = kDsd64;
    s.ratio = 8;
    s.gainDb = 6.0f;
    for (auto _ : state) {
        BuildFilterTables(&s);
        benchmark::DoNotOptimize(s.filterTables[12][3]);
    }
}

} // namespace

int main(int argc, char **argv)
{
    /* Every form, the PCM ratios 8 down to 1, the DSD rates, 1 to 6 channels, both containers. */
    for (Form form : {PCM16, PCM_FLOAT})
        Register({form, kDsd64, 44100, 2, false});
    for (uint32_t rate : {88200u, 176400u, 352800u})
        Register({PCM_FLOAT, kDsd64, rate, 2, false});
    for (uint32_t multiple : {2u, 4u})
        Register({PCM16, kDsd64 * multiple, 44100, 2, false});
    for (uint32_t channels : {1u, 6u})
        Register({PCM16, kDsd64, 44100, channels, false});
    Register({PCM16, kDsd64 * 4, 44100, 6, false});
    Register({PCM16, kDsd64, 44100, 2, true});
    for (Form form : {DOP, RAW})
        for (bool dff : {false, true})
            Register({form, kDsd64, 0, 2, dff});
    Register({RAW, kDsd64, 0, 6, false});
    /* The high-quality converter: the same shapes. */
    for (Form form : {HQ16, HQ_FLOAT})
        Register({form, kDsd64, 44100, 2, false});
    for (uint32_t rate : {88200u, 176400u, 352800u})
        Register({HQ_FLOAT, kDsd64, rate, 2, false});
    for (uint32_t multiple : {2u, 4u, 8u})
        Register({HQ_FLOAT, kDsd64 * multiple, 44100, 2, false});
    Register({HQ_FLOAT, kDsd64, 44100, 6, false});
    benchmark::RegisterBenchmark("build_filter_tables", BuildTables)->Unit(benchmark::kMicrosecond);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
