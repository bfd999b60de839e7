/* The info command: what a DSD file holds, as the add-on sees it. */
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "source.h"
#include "tags.h"
#include "velmdsd.h"

namespace cli {
namespace {

/* 0 when everything printed reached standard output, else 1 with one line saying why. */
int StdoutWritten()
{
    if (fflush(stdout) == 0 && !ferror(stdout))
        return 0;
    fprintf(stderr, "velmdsd: cannot write standard output: %s\n", strerror(errno));
    return 1;
}

struct Info {
    std::string container;
    uint32_t channels = 0;
    uint32_t dsdRate = 0;
    uint32_t ctype = 0;
    std::string layout;
    Compression compression;
    double seconds = 0.0;
    uint32_t defaultRate = 0, chosenRate = 0;
    uint64_t lengths[4] = {}; /* raw, DoP, PCM 16-bit, PCM float at the chosen rate */
    StreamTags tags;
};

std::string LengthText(uint64_t v)
{
    return v == UINT64_MAX ? "not available" : std::to_string(v) + " bytes";
}

std::string LengthJson(uint64_t v)
{
    return v == UINT64_MAX ? "null" : std::to_string(v);
}

} // namespace

int CmdInfo(int argc, char **argv)
{
    const char *path = nullptr;
    uint32_t rate = 0;
    bool json = false;
    for (int i = 0; i < argc; i++) {
        if (strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (strcmp(argv[i], "--rate") == 0 && i + 1 < argc) {
            if (!ParseUint(argv[++i], &rate)) {
                fprintf(stderr, "velmdsd: --rate wants a rate in Hz, not '%s'\n", argv[i]);
                return 2;
            }
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            fprintf(stderr, "velmdsd: unknown or incomplete option '%s'\n", argv[i]);
            return 2;
        } else if (path == nullptr) {
            path = argv[i];
        } else {
            fprintf(stderr, "velmdsd: one file only ('%s')\n", argv[i]);
            return 2;
        }
    }
    if (path == nullptr) {
        fputs("velmdsd: info needs a file\n", stderr);
        return 2;
    }

    /* The raw stream first; the other forms' lengths are then asked of the add-on on streams of
       those forms at the chosen rate, recreated from the source's start (standard input keeps its
       first bytes for that). */
    Input in;
    std::string error;
    if (!PrepareInput(path, &in, &error) || !OpenStream(path, FormFlags(Form::kRaw), 0, &in, &error)) {
        fprintf(stderr, "velmdsd: %s\n", error.c_str());
        CloseInput(&in);
        return 1;
    }
    const uint32_t h = in.handle;
    Info info;
    info.container = IsDsdiff(h) ? "DSDIFF" : "DSF";
    /* What the add-on told the host about a source that arrives as it plays. */
    uint32_t bitrate = VELM_StreamGetBitrate(h, nullptr);
    VELM_CHANNELINFO ci;
    memset(&ci, 0, sizeof ci);
    VELM_ChannelGetInfo(h, &ci);
    info.channels = ci.chans;
    info.ctype = ci.ctype;
    info.dsdRate = DsdRate(h);
    info.compression = StreamCompression(h);
    info.defaultRate = PcmRateFor(h, 0);
    info.chosenRate = PcmRateFor(h, rate);
    info.layout = LayoutText(SpeakerMask(h), ci.chans);
    info.lengths[0] = VELM_ChannelGetLength(h, VELM_POS_BYTE);
    info.tags = ReadStreamTags(h);
    const Form others[3] = {Form::kDop, Form::kPcm16, Form::kPcmFloat};
    for (int i = 0; i < 3; i++) {
        uint64_t v = UINT64_MAX;
        if (info.lengths[0] != UINT64_MAX && info.lengths[0] != 0 &&
            (others[i] == Form::kDop || info.chosenRate != 0) &&
            ReopenStream(path, FormFlags(others[i]), info.chosenRate, &in, &error))
            v = VELM_ChannelGetLength(in.handle, VELM_POS_BYTE);
        info.lengths[i + 1] = v == 0 ? UINT64_MAX : v;
    }
    CloseInput(&in);

    if (info.dsdRate >= 8 && info.lengths[0] != UINT64_MAX && info.channels != 0)
        info.seconds = static_cast<double>(info.lengths[0] / info.channels) / (info.dsdRate / 8);

    if (json) {
        printf("{\"file\":%s,\"container\":%s,\"channels\":%u,\"dsdRate\":%u,\"channelType\":\"0x%x\","
               "\"layout\":%s,\"compression\":\"%s\",\"dstFrames\":%llu,\"compressionRatio\":%.4f,"
               "\"seconds\":%.6f,\"pcmRateDefault\":%u,\"pcmRate\":%u,\"lengths\":{\"raw\":%s,"
               "\"dop\":%s,"
               "\"pcm16\":%s,\"pcmFloat\":%s},\"bitrate\":%u,%s}\n",
               Json(path).c_str(), Json(info.container).c_str(), info.channels, info.dsdRate, info.ctype,
               Json(info.layout).c_str(), info.compression.dst ? "DST" : "plain",
               static_cast<unsigned long long>(info.compression.frames), info.compression.ratio, info.seconds,
               info.defaultRate, info.chosenRate, LengthJson(info.lengths[0]).c_str(),
               LengthJson(info.lengths[1]).c_str(), LengthJson(info.lengths[2]).c_str(),
               LengthJson(info.lengths[3]).c_str(), bitrate, TagsJson(info.tags).c_str());
        return StdoutWritten();
    }
    printf("file:          %s\n", strcmp(path, "-") == 0 ? "standard input" : path);
    printf("container:     %s\n", info.container.c_str());
    printf("channels:      %u\n", info.channels);
    printf("layout:        %s\n", info.layout.c_str());
    printf("DSD rate:      %u Hz (DSD%u)\n", info.dsdRate, info.dsdRate / 44100);
    printf("channel type:  0x%x%s\n", info.ctype, info.ctype == VELM_CTYPE_DSD ? " (DSD)" : "");
    if (info.compression.dst)
        printf("compression:   DST, %llu frames, %.2f:1\n",
               static_cast<unsigned long long>(info.compression.frames), info.compression.ratio);
    else
        printf("compression:   none (plain DSD)\n");
    printf("duration:      %.3f s\n", info.seconds);
    printf("PCM rate:      %u Hz by default", info.defaultRate);
    if (rate != 0)
        printf(", %u Hz for --rate %u", info.chosenRate, rate);
    printf("\n");
    printf("length raw:    %s\n", LengthText(info.lengths[0]).c_str());
    printf("length DoP:    %s\n", LengthText(info.lengths[1]).c_str());
    printf("length PCM16:  %s (at %u Hz)\n", LengthText(info.lengths[2]).c_str(), info.chosenRate);
    printf("length float:  %s (at %u Hz)\n", LengthText(info.lengths[3]).c_str(), info.chosenRate);
    if (bitrate != 0)
        printf("bit rate:      %u bytes/s per channel\n", bitrate);
    PrintTags(info.tags);
    return StdoutWritten();
}

} // namespace cli
