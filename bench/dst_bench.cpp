/*
 * DST alone: the encoder's compression ratio and the decoder's speed, without the add-on's
 * read procedure around them.
 *
 *   dst_bench ratio [SECONDS]        ratio (plain bytes / DST frame bytes) of each signal at
 *                                    DSD64, DSD128 and DSD256, stereo
 *   dst_bench decode [SECONDS]       decoding alone in x real time (CPU time of the decoding
 *                                    only, the best of 3 passes) for DSD64, DSD128, DSD256
 *                                    stereo and DSD64 6 channels, music
 *   dst_bench once RATE CHANNELS     one pass of decoding 1 s of music (for callgrind:
 *                                    valgrind --tool=callgrind --toggle-collect='DstDecodeFrame*')
 *   dst_bench write FILE SECONDS [RATE CHANNELS]
 *                                    a DSDIFF file of DST-coded music (default DSD64 stereo),
 *                                    with the plain file beside it as FILE.plain.dff
 *
 * Every decoded frame is compared with the bytes encoded; a mismatch ends the run with 1.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "dsdsignal/dst.h"
#include "dsdsignal/music.h"
#include "dsdsignal/tone.h"
#include "dst/dst_decoder.h"

namespace {

constexpr uint32_t kDsd64 = 2822400;

struct Signal {
    const char *name;
    dsdsignal::ChannelBytes (*make)(uint32_t rate, uint32_t channels, double seconds);
};

const Signal kSignals[] = {
    {"tone 1 kHz -6 dBFS",
     [](uint32_t r, uint32_t c, double s) { return dsdsignal::MakeTone(r, c, s, 1000.0, -6.0); }},
    {"tone, aggressive shaping",
     [](uint32_t r, uint32_t c, double s) {
         return dsdsignal::MakeTone(r, c, s, 1000.0, -6.0, dsdsignal::Shaping::kAggressive);
     }},
    {"tones, no noise",
     [](uint32_t r, uint32_t c, double s) { return dsdsignal::MakeMusic(r, c, s, -300.0); }},
    {"music (tones, noise -40 dBFS)",
     [](uint32_t r, uint32_t c, double s) { return dsdsignal::MakeMusic(r, c, s); }},
    {"tones, noise -20 dBFS",
     [](uint32_t r, uint32_t c, double s) { return dsdsignal::MakeMusic(r, c, s, -20.0); }},
};

double CpuSeconds()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

size_t Bytes(const std::vector<std::vector<uint8_t>> &frames)
{
    size_t n = 0;
    for (const std::vector<uint8_t> &f : frames)
        n += f.size();
    return n;
}

/* Decodes every frame once; false when a frame is broken or differs from `expected`. */
bool DecodeAll(DstDecoder *d, const std::vector<std::vector<uint8_t>> &frames,
               const std::vector<uint8_t> &expected)
{
    std::vector<uint8_t> out(DstFrameBytes(d));
    size_t at = 0;
    for (const std::vector<uint8_t> &f : frames) {
        if (DstDecodeFrame(d, f.data(), f.size(), out.data()) != DST_FRAME_OK ||
            memcmp(out.data(), expected.data() + at, out.size()) != 0)
            return false;
        at += out.size();
    }
    return true;
}

int Ratio(double seconds)
{
    printf("%-32s %8s %8s %8s\n", "signal (stereo)", "DSD64", "DSD128", "DSD256");
    for (const Signal &s : kSignals) {
        printf("%-32s", s.name);
        for (uint32_t m = 1; m <= 4; m *= 2) {
            const uint32_t rate = kDsd64 * m;
            const dsdsignal::ChannelBytes sound = dsdsignal::PadToDstFrames(rate, s.make(rate, 2, seconds));
            const std::vector<std::vector<uint8_t>> frames = dsdsignal::EncodeDst(rate, sound);
            DstDecoder *d = DstDecoderCreate(2, rate);
            const bool same = DecodeAll(d, frames, dsdsignal::Interleave(sound));
            DstDecoderFree(d);
            if (!same) {
                printf("\nnot lossless\n");
                return 1;
            }
            printf(" %8.3f", static_cast<double>(sound[0].size() * 2) / static_cast<double>(Bytes(frames)));
            fflush(stdout);
        }
        printf("\n");
    }
    return 0;
}

int Decode(double seconds)
{
    const struct {
        uint32_t multiple, channels;
    } cases[] = {{1, 2}, {2, 2}, {4, 2}, {1, 6}};
    printf("%-22s %8s %12s\n", "music", "ratio", "x real time");
    for (const auto &c : cases) {
        const uint32_t rate = kDsd64 * c.multiple;
        const dsdsignal::ChannelBytes sound =
            dsdsignal::PadToDstFrames(rate, dsdsignal::MakeMusic(rate, c.channels, seconds));
        const std::vector<std::vector<uint8_t>> frames = dsdsignal::EncodeDst(rate, sound);
        const std::vector<uint8_t> expected = dsdsignal::Interleave(sound);
        DstDecoder *d = DstDecoderCreate(c.channels, rate);
        double best = 1e30;
        for (int pass = 0; pass < 3; pass++) {
            const double start = CpuSeconds();
            if (!DecodeAll(d, frames, expected)) {
                printf("decoding differs\n");
                return 1;
            }
            best = std::min(best, CpuSeconds() - start);
        }
        DstDecoderFree(d);
        const double length = static_cast<double>(frames.size()) / 75.0;
        printf("DSD%-4u %u channels %11.3f %12.1f\n", 64 * c.multiple, c.channels,
               static_cast<double>(expected.size()) / static_cast<double>(Bytes(frames)), length / best);
    }
    return 0;
}

int Once(uint32_t rate, uint32_t channels)
{
    const dsdsignal::ChannelBytes sound =
        dsdsignal::PadToDstFrames(rate, dsdsignal::MakeMusic(rate, channels, 1.0));
    const std::vector<std::vector<uint8_t>> frames = dsdsignal::EncodeDst(rate, sound);
    DstDecoder *d = DstDecoderCreate(channels, rate);
    if (d == nullptr)
        return 2;
    const bool same = DecodeAll(d, frames, dsdsignal::Interleave(sound));
    DstDecoderFree(d);
    printf("%zu frames, %u bits each per channel: %s\n", frames.size(), DstFrameBits(rate),
           same ? "decoded as encoded" : "DIFFERENT");
    return same ? 0 : 1;
}

int Write(const char *path, double seconds, uint32_t rate, uint32_t channels)
{
    const dsdsignal::ChannelBytes sound =
        dsdsignal::PadToDstFrames(rate, dsdsignal::MakeMusic(rate, channels, seconds));
    const std::vector<uint8_t> file = dsdsignal::MakeDffDst(rate, sound, {});
    if (file.empty() || !dsdsignal::WriteFileBytes(path, file) ||
        !dsdsignal::WriteFileBytes(std::string(path) + ".plain.dff", dsdsignal::MakeDff(rate, sound)))
        return 1;
    printf("%s: %zu bytes, %.3f:1\n", path, file.size(),
           static_cast<double>(sound[0].size() * channels) / static_cast<double>(file.size()));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "ratio")
        return Ratio(argc > 2 ? atof(argv[2]) : 1.0);
    if (mode == "decode")
        return Decode(argc > 2 ? atof(argv[2]) : 2.0);
    if (mode == "once" && argc > 3)
        return Once(static_cast<uint32_t>(atoi(argv[2])), static_cast<uint32_t>(atoi(argv[3])));
    if (mode == "write" && argc > 3)
        return Write(argv[2], atof(argv[3]), argc > 4 ? static_cast<uint32_t>(atoi(argv[4])) : kDsd64,
                     argc > 5 ? static_cast<uint32_t>(atoi(argv[5])) : 2);
    fprintf(stderr, "usage: dst_bench ratio [SECONDS] | decode [SECONDS] | once RATE CHANNELS | write FILE "
                    "SECONDS [RATE CHANNELS]\n");
    return 2;
}
