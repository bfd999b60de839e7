/* The info command: what a DSD file holds, as the add-on sees it. */
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <string>
#include <vector>

#include "cli.h"
#include "velmdsd.h"

namespace cli {
namespace {

struct Tag {
    std::string key;   /* "artist", "title", "comment" */
    std::string value;
    std::string when;  /* comments: "YYYY-MM-DD HH:MM" */
};

struct Info {
    std::string container;
    uint32_t channels = 0;
    uint32_t dsdRate = 0;
    uint32_t ctype = 0;
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
        return std::string(reinterpret_cast<const char *>(p + 1), strnlen(reinterpret_cast<const char *>(p + 1), n - 1));
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
        uint32_t frameSize = version == 4 ? Synchsafe(tag + pos + 4)
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

bool IsUrl(const char *path)
{
    return strncmp(path, "http://", 7) == 0 || strncmp(path, "https://", 8) == 0 || strncmp(path, "file://", 7) == 0;
}

/* A file name or a URL (the host downloads http:// sources as they play). */
uint32_t OpenSource(const char *path, uint32_t flags, uint32_t rate)
{
    if (IsUrl(path))
        return VELM_DSD_StreamCreateURL(path, 0, flags, nullptr, nullptr, rate);
    return VELM_DSD_StreamCreateFile(0, path, 0, 0, flags, rate);
}

uint64_t LengthOf(const char *path, Form form, uint32_t rate, uint32_t *streamRate)
{
    uint32_t h = OpenSource(path, FormFlags(form), rate);
    if (h == 0)
        return UINT64_MAX;
    if (streamRate != nullptr) {
        VELM_CHANNELINFO ci;
        memset(&ci, 0, sizeof ci);
        VELM_ChannelGetInfo(h, &ci);
        *streamRate = ci.freq;
    }
    uint64_t length = VELM_ChannelGetLength(h, VELM_POS_BYTE);
    VELM_StreamFree(h);
    return length;
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
        } else if (argv[i][0] == '-') {
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

    uint32_t h = OpenSource(path, FormFlags(Form::kRaw), 0);
    if (h == 0) {
        int code = VELM_ErrorGetCode();
        fprintf(stderr, "velmdsd: %s (%d): cannot open: %s\n", ErrorName(code), code, path);
        return 1;
    }
    Info info;
    FILE *f = IsUrl(path) ? nullptr : fopen(path, "rb");
    char magic[4] = {};
    if (f != nullptr) {
        if (fread(magic, 1, 4, f) != 4)
            memset(magic, 0, 4);
        fclose(f);
    }
    /* A URL is not read twice: its name tells the container. */
    const char *query = strchr(path, '?');
    size_t nameEnd = query != nullptr ? static_cast<size_t>(query - path) : strlen(path);
    bool dffName = nameEnd >= 4 && strncasecmp(path + nameEnd - 4, ".dff", 4) == 0;
    info.container = memcmp(magic, "FRM8", 4) == 0 || (IsUrl(path) && dffName) ? "DSDIFF" : "DSF";
    /* What the add-on told the host about a source that arrives as it plays. */
    uint32_t bitrate = VELM_StreamGetBitrate(h, nullptr);
    VELM_CHANNELINFO ci;
    memset(&ci, 0, sizeof ci);
    VELM_ChannelGetInfo(h, &ci);
    info.channels = ci.chans;
    info.ctype = ci.ctype;
    float dsdRate = 0.0f;
    if (VELM_ChannelGetAttribute(h, VELM_DSD_ATTRIB_RATE, &dsdRate))
        info.dsdRate = static_cast<uint32_t>(dsdRate);
    info.lengths[0] = VELM_ChannelGetLength(h, VELM_POS_BYTE);
    ReadTags(h, &info);
    VELM_StreamFree(h);

    if (info.lengths[0] != UINT64_MAX && info.channels != 0 && info.dsdRate >= 8)
        info.seconds = static_cast<double>(info.lengths[0]) / info.channels / (info.dsdRate / 8);
    LengthOf(path, Form::kPcm16, 0, &info.defaultRate);
    info.lengths[1] = LengthOf(path, Form::kDop, 0, nullptr);
    info.lengths[2] = LengthOf(path, Form::kPcm16, rate, &info.chosenRate);
    info.lengths[3] = LengthOf(path, Form::kPcmFloat, rate, nullptr);

    if (json) {
        printf("{\"file\":%s,\"container\":%s,\"channels\":%u,\"dsdRate\":%u,\"channelType\":\"0x%x\","
               "\"seconds\":%.6f,\"pcmRateDefault\":%u,\"pcmRate\":%u,\"lengths\":{\"raw\":%s,\"dop\":%s,"
               "\"pcm16\":%s,\"pcmFloat\":%s},\"id3Size\":%u,\"bitrate\":%u,\"tags\":[",
               Json(path).c_str(), Json(info.container).c_str(), info.channels, info.dsdRate, info.ctype,
               info.seconds, info.defaultRate, info.chosenRate, LengthJson(info.lengths[0]).c_str(),
               LengthJson(info.lengths[1]).c_str(), LengthJson(info.lengths[2]).c_str(),
               LengthJson(info.lengths[3]).c_str(), info.id3Size, bitrate);
        for (size_t i = 0; i < info.tags.size(); i++) {
            const Tag &t = info.tags[i];
            printf("%s{\"key\":%s,\"value\":%s", i ? "," : "", Json(t.key).c_str(), Json(t.value).c_str());
            if (!t.when.empty())
                printf(",\"time\":%s", Json(t.when).c_str());
            printf("}");
        }
        printf("]}\n");
        return 0;
    }
    printf("file:          %s\n", path);
    printf("container:     %s\n", info.container.c_str());
    printf("channels:      %u\n", info.channels);
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
    return 0;
}

} // namespace cli
