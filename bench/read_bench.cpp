/*
 * Decoding speed of the read procedure, per output form, on an in-memory DSF
 * or DSDIFF source through the scripted host. The counters report the speed
 * as a multiple of real time ("x_realtime") and the sound bytes per second.
 */
#include <benchmark/benchmark.h>

#include <vector>

#include "convert/filter.h"
#include "convert/stream_read.h"
#include "create/stream_create.h"
#include "dsf_fixture.h"
#include "fake_host.h"
#include "host/host.h"

namespace {

constexpr uint32_t kRate = 2822400;
constexpr size_t kSeconds = 2;

const std::vector<uint8_t> &SourceFile(bool dff, uint32_t channels)
{
    static std::vector<uint8_t> files[2][7];
    std::vector<uint8_t> &f = files[dff][channels];
    if (f.empty()) {
        std::vector<std::vector<uint8_t>> sound;
        for (uint32_t ch = 0; ch < channels; ch++)
            sound.push_back(fixture::PatternBytes(kRate / 8 * kSeconds, ch + 1));
        if (dff) {
            fixture::DffSpec shape;
            shape.channels = static_cast<uint16_t>(channels);
            shape.sound = fixture::Interleave(sound);
            f = fixture::MakeDff(shape);
        } else {
            fixture::DsfSpec shape;
            shape.channels = channels;
            shape.channelBytes = sound;
            f = fixture::MakeDsf(shape);
        }
    }
    return f;
}

void Decode(benchmark::State &state, bool dff, uint32_t flags, uint32_t freq)
{
    const uint32_t channels = static_cast<uint32_t>(state.range(0));
    fake::Reset();
    AddonLoad();
    std::vector<uint8_t> out(64 * 1024);
    uint64_t soundBytes = 0;
    for (auto _ : state) {
        fake::Source src;
        src.data = SourceFile(dff, channels);
        uint32_t file = fake::AddSource(src);
        uint32_t h = DsdStreamCreate(file, flags, freq);
        for (;;) {
            uint32_t r = fake::Read(h, out.data(), static_cast<uint32_t>(out.size()));
            if (r & STREAM_READ_END)
                break;
        }
        fake::FreeStream(h);
        soundBytes += kRate / 8 * kSeconds * channels;
    }
    double seconds = static_cast<double>(soundBytes) / (kRate / 8.0) / channels;
    state.counters["x_realtime"] = benchmark::Counter(seconds, benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<int64_t>(soundBytes));
    AddonUnload();
}

void BM_Pcm16_Dsf(benchmark::State &s) { Decode(s, false, 0, 0); }
void BM_PcmFloat_Dsf(benchmark::State &s) { Decode(s, false, STREAM_FLOAT, 0); }
void BM_PcmFloat352k_Dsf(benchmark::State &s) { Decode(s, false, STREAM_FLOAT, 352800); }
void BM_Pcm16_Dff(benchmark::State &s) { Decode(s, true, 0, 0); }
void BM_Dop_Dsf(benchmark::State &s) { Decode(s, false, 0x400 | STREAM_FLOAT, 0); }
void BM_Raw_Dsf(benchmark::State &s) { Decode(s, false, 0x200 | STREAM_DECODE_ONLY, 0); }
void BM_Raw_Dff(benchmark::State &s) { Decode(s, true, 0x200 | STREAM_DECODE_ONLY, 0); }

BENCHMARK(BM_Pcm16_Dsf)->Arg(2)->Arg(6)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PcmFloat_Dsf)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PcmFloat352k_Dsf)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Pcm16_Dff)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Dop_Dsf)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Raw_Dsf)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Raw_Dff)->Arg(2)->Unit(benchmark::kMillisecond);

void BM_BuildFilterTables(benchmark::State &state)
{
    static DsdStream s;
    s.dsdRate = kRate;
    s.ratio = 8;
    s.gainDb = 6.0f;
    for (auto _ : state) {
        BuildFilterTables(&s);
        benchmark::DoNotOptimize(s.filterTables[12][3]);
    }
}
BENCHMARK(BM_BuildFilterTables)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
