/* The info command: what a DSD file holds, as the add-on sees it. */
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

#include "cli.h"
#include "source.h"
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

struct Tag {
    std::string key; /* "artist", "title", "comment" */
    std::string value;
    std::string when; /* comments: "YYYY-MM-DD HH:MM" */
};

struct Info {
    std::string container;
    uint32_t channels = 0;
    uint32_t dsdRate = 0;
    uint32_t ctype = 0;
    std::string layout;
    double seconds = 0.0;
    uint32_t defaultRate = 0, chosenRate = 0;
    uint64_t lengths[4] = {}; /* raw, DoP, PCM 16-bit, PCM float at the chosen rate */
    uint32_t id3Size = 0;
    std::vector<Tag> tags;
};

std::string Latin1ToUtf8(const uint8_t *p, size_t n)
{
    std::string s;
    for (size_t i = 0; i < n && p[i] != 0; i++) {
        if (p[i] < 0x80) {
            s += static_cast<char>(p[i]);
        } else {
            s += static_cast<char>(0xC0 | (p[i] >> 6));
            s += static_cast<char>(0x80 | (p[i] & 0x3F));
        }
    }
    return s;
}

void AppendUtf8(std::string &s, uint32_t c)
{
    if (c < 0x80) {
        s += static_cast<char>(c);
    } else if (c < 0x800) {
        s += static_cast<char>(0xC0 | (c >> 6));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        s += static_cast<char>(0xE0 | (c >> 12));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (c >> 18));
        s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string Utf16ToUtf8(const uint8_t *p, size_t n, bool bigEndian)
{
    std::string s;
    for (size_t i = 0; i + 1 < n; i += 2) {
        uint32_t c = bigEndian ? (p[i] << 8 | p[i + 1]) : (p[i + 1] << 8 | p[i]);
        if (c == 0)
            break;
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < n) {
            uint32_t lo = bigEndian ? (p[i + 2] << 8 | p[i + 3]) : (p[i + 3] << 8 | p[i + 2]);
            if (lo >= 0xDC00 && lo < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
                i += 2;
            }
        }
        AppendUtf8(s, c);
    }
    return s;
}

/* An ID3v2 text frame body: encoding byte, then the text. */
std::string DecodeTextFrame(const uint8_t *p, size_t n)
{
    if (n == 0)
        return "";
    switch (p[0]) {
    case 0:
        return Latin1ToUtf8(p + 1, n - 1);
    case 1: /* UTF-16 with a byte-order mark */
        if (n >= 3)
            return Utf16ToUtf8(p + 3, n - 3, p[1] == 0xFE && p[2] == 0xFF);
        return "";
    case 2:
        return Utf16ToUtf8(p + 1, n - 1, true);
    case 3:
        return std::string(reinterpret_cast<const char *>(p + 1),
                           strnlen(reinterpret_cast<const char *>(p + 1), n - 1));
    default:
        return "";
    }
}

uint32_t Synchsafe(const uint8_t *p)
{
    return (p[0] & 0x7Fu) << 21 | (p[1] & 0x7Fu) << 14 | (p[2] & 0x7Fu) << 7 | (p[3] & 0x7Fu);
}

/* The title and artist frames of an ID3v2.3 or 2.4 tag (header first). */
void ReadId3(const uint8_t *tag, Info *info)
{
    uint32_t size = Synchsafe(tag + 6);
    info->id3Size = size + 10;
    uint8_t version = tag[3];
    if (version < 3 || version > 4 || (tag[5] & 0x40) != 0)
        return; /* older layouts and extended headers: the size is all we show */
    size_t pos = 10, end = 10 + static_cast<size_t>(size);
    while (end - pos >= 10 && tag[pos] != 0) {
        uint32_t frameSize =
            version == 4
                ? Synchsafe(tag + pos + 4)
                : (uint32_t(tag[pos + 4]) << 24 | tag[pos + 5] << 16 | tag[pos + 6] << 8 | tag[pos + 7]);
        if (frameSize > end - pos - 10)
            break;
        const uint8_t *body = tag + pos + 10;
        if (memcmp(tag + pos, "TIT2", 4) == 0)
            info->tags.push_back({"title", DecodeTextFrame(body, frameSize), ""});
        else if (memcmp(tag + pos, "TPE1", 4) == 0)
            info->tags.push_back({"artist", DecodeTextFrame(body, frameSize), ""});
        pos += 10 + frameSize;
    }
}

void ReadTags(uint32_t h, Info *info)
{
    if (const void *id3 = VELM_ChannelGetTags(h, VELM_TAG_ID3V2))
        ReadId3(static_cast<const uint8_t *>(id3), info);
    if (const char *artist = static_cast<const char *>(VELM_ChannelGetTags(h, VELM_TAG_DSD_ARTIST)))
        info->tags.push_back({"artist", artist, ""});
    if (const char *title = static_cast<const char *>(VELM_ChannelGetTags(h, VELM_TAG_DSD_TITLE)))
        info->tags.push_back({"title", title, ""});
    for (uint32_t i = 0;; i++) {
        const TAG_DSD_COMMENT *c =
            static_cast<const TAG_DSD_COMMENT *>(VELM_ChannelGetTags(h, VELM_TAG_DSD_COMMENT_BASE + i));
        if (c == nullptr)
            break;
        char when[32];
        snprintf(when, sizeof when, "%04u-%02u-%02u %02u:%02u", c->timeStampYear, c->timeStampMonth,
                 c->timeStampDay, c->timeStampHour, c->timeStampMinutes);
        info->tags.push_back({"comment", std::string(c->commentText, c->commentLength), when});
    }
}

std::string Json(const std::string &s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

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

    /* One stream, raw: standard input can be read only once. The other forms' lengths follow
       from the raw one by the add-on's rules. */
    Input in;
    std::string error;
    if (!PrepareInput(path, &in, &error) || !OpenStream(path, FormFlags(Form::kRaw), 0, &in, &error)) {
        fprintf(stderr, "velmdsd: %s\n", error.c_str());
        CloseInput(&in);
        return 1;
    }
    const uint32_t h = in.handle;
    Info info;
    if (IsUrl(path)) {
        /* A URL is not read twice: its name tells the container. */
        const char *query = strchr(path, '?');
        size_t nameEnd = query != nullptr ? static_cast<size_t>(query - path) : strlen(path);
        bool dffName = nameEnd >= 4 && strncasecmp(path + nameEnd - 4, ".dff", 4) == 0;
        info.container = dffName ? "DSDIFF" : "DSF";
    } else {
        info.container = in.header.isDff ? "DSDIFF" : "DSF";
    }
    /* What the add-on told the host about a source that arrives as it plays. */
    uint32_t bitrate = VELM_StreamGetBitrate(h, nullptr);
    VELM_CHANNELINFO ci;
    memset(&ci, 0, sizeof ci);
    VELM_ChannelGetInfo(h, &ci);
    info.channels = ci.chans;
    info.ctype = ci.ctype;
    float dsdRate = 0.0f;
    if (VELM_ChannelGetAttribute(h, VELM_DSD_ATTRIB_RATE, &dsdRate))
        info.dsdRate = ClampToU32(dsdRate);
    if (in.header.known && in.header.channels == ci.chans)
        info.dsdRate = in.header.dsdRate; /* exact where the float attribute rounds */
    info.layout = LayoutText(in.header.channels == ci.chans ? in.header.channelMask : 0, ci.chans);
    info.lengths[0] = VELM_ChannelGetLength(h, VELM_POS_BYTE);
    ReadTags(h, &info);
    CloseInput(&in);

    const uint64_t perChannel =
        info.lengths[0] != UINT64_MAX && info.channels != 0 ? info.lengths[0] / info.channels : 0;
    if (info.dsdRate >= 8)
        info.seconds = static_cast<double>(perChannel) / (info.dsdRate / 8);
    info.defaultRate = DesignedRate(info.dsdRate, 0);
    info.chosenRate = DesignedRate(info.dsdRate, rate);
    const uint64_t ratio = info.chosenRate != 0 ? info.dsdRate / 8 / info.chosenRate : 1;
    const uint64_t pcmFrames = perChannel + ratio >= 25 ? (perChannel + ratio - 25) / ratio : 0;
    auto known = [&](uint64_t v) { return info.lengths[0] == UINT64_MAX || v == 0 ? UINT64_MAX : v; };
    info.lengths[1] = known(perChannel / 2 * info.channels * 4);
    info.lengths[2] = known(pcmFrames * info.channels * 2);
    info.lengths[3] = known(pcmFrames * info.channels * 4);

    if (json) {
        printf("{\"file\":%s,\"container\":%s,\"channels\":%u,\"dsdRate\":%u,\"channelType\":\"0x%x\","
               "\"layout\":%s,\"seconds\":%.6f,\"pcmRateDefault\":%u,\"pcmRate\":%u,\"lengths\":{\"raw\":%s,"
               "\"dop\":%s,"
               "\"pcm16\":%s,\"pcmFloat\":%s},\"id3Size\":%u,\"bitrate\":%u,\"tags\":[",
               Json(path).c_str(), Json(info.container).c_str(), info.channels, info.dsdRate, info.ctype,
               Json(info.layout).c_str(), info.seconds, info.defaultRate, info.chosenRate,
               LengthJson(info.lengths[0]).c_str(), LengthJson(info.lengths[1]).c_str(),
               LengthJson(info.lengths[2]).c_str(), LengthJson(info.lengths[3]).c_str(), info.id3Size,
               bitrate);
        for (size_t i = 0; i < info.tags.size(); i++) {
            const Tag &t = info.tags[i];
            printf("%s{\"key\":%s,\"value\":%s", i ? "," : "", Json(t.key).c_str(), Json(t.value).c_str());
            if (!t.when.empty())
                printf(",\"time\":%s", Json(t.when).c_str());
            printf("}");
        }
        printf("]}\n");
        return StdoutWritten();
    }
    printf("file:          %s\n", strcmp(path, "-") == 0 ? "standard input" : path);
    printf("container:     %s\n", info.container.c_str());
    printf("channels:      %u\n", info.channels);
    printf("layout:        %s\n", info.layout.c_str());
    printf("DSD rate:      %u Hz (DSD%u)\n", info.dsdRate, info.dsdRate / 44100);
    printf("channel type:  0x%x%s\n", info.ctype, info.ctype == VELM_CTYPE_DSD ? " (DSD)" : "");
    printf("duration:      %.3f s\n", info.seconds);
    printf("PCM rate:      %u Hz by default", info.defaultRate);
    if (rate != 0)
        printf(", %u Hz for --rate %u", info.chosenRate, rate);
    printf("\n");
    printf("length raw:    %s\n", LengthText(info.lengths[0]).c_str());
    printf("length DoP:    %s\n", LengthText(info.lengths[1]).c_str());
    printf("length PCM16:  %s (at %u Hz)\n", LengthText(info.lengths[2]).c_str(), info.chosenRate);
    printf("length float:  %s (at %u Hz)\n", LengthText(info.lengths[3]).c_str(), info.chosenRate);
    if (info.id3Size != 0)
        printf("ID3v2 tag:     %u bytes\n", info.id3Size);
    if (bitrate != 0)
        printf("bit rate:      %u bytes/s per channel\n", bitrate);
    for (const Tag &t : info.tags) {
        if (t.when.empty())
            printf("%-14s %s\n", (t.key + ":").c_str(), t.value.c_str());
        else
            printf("%-14s [%s] %s\n", (t.key + ":").c_str(), t.when.c_str(), t.value.c_str());
    }
    return StdoutWritten();
}

} // namespace cli
