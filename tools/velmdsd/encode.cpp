/* The encode command: a DSF or DSDIFF input (plain or DST) written again as DSDIFF (plain or
   DST) or DSF, its sound read through the add-on as raw DSD and checked after writing. */
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"
#include "dsdsignal/dst.h"
#include "dsdsignal/writers.h"
#include "output.h"
#include "source.h"
#include "velmdsd.h"

namespace cli {
namespace {

/* What the input holds: its raw DSD (interleaved), the layout and the tags. */
struct Sound {
    uint32_t channels = 0;
    uint32_t dsdRate = 0;
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> id3; /* the whole ID3v2 tag, or empty */
    std::optional<std::string> artist, title;
    std::vector<dsdsignal::DffComment> comments;
    uint64_t brokenFrames = 0; /* DST frames the add-on decoded as silence */
};

/* The size of a whole ID3v2 tag from its header, footer included. */
size_t Id3Bytes(const uint8_t *tag)
{
    const size_t body = static_cast<size_t>(tag[6] & 0x7F) << 21 | static_cast<size_t>(tag[7] & 0x7F) << 14 |
                        static_cast<size_t>(tag[8] & 0x7F) << 7 | (tag[9] & 0x7F);
    return 10 + body + ((tag[5] & 0x10) ? 10 : 0);
}

/* The tags the stream hands out, as the writers take them. */
void TakeTags(uint32_t h, Sound *sound)
{
    if (const uint8_t *id3 = static_cast<const uint8_t *>(VELM_ChannelGetTags(h, VELM_TAG_ID3V2)))
        sound->id3.assign(id3, id3 + Id3Bytes(id3));
    if (const char *artist = static_cast<const char *>(VELM_ChannelGetTags(h, VELM_TAG_DSD_ARTIST)))
        sound->artist = artist;
    if (const char *title = static_cast<const char *>(VELM_ChannelGetTags(h, VELM_TAG_DSD_TITLE)))
        sound->title = title;
    for (uint32_t i = 0;; i++) {
        const TAG_DSD_COMMENT *c =
            static_cast<const TAG_DSD_COMMENT *>(VELM_ChannelGetTags(h, VELM_TAG_DSD_COMMENT_BASE + i));
        if (c == nullptr)
            break;
        dsdsignal::DffComment k;
        k.year = c->timeStampYear;
        k.month = c->timeStampMonth;
        k.day = c->timeStampDay;
        k.hour = c->timeStampHour;
        k.minutes = c->timeStampMinutes;
        k.type = c->cmtType;
        k.ref = c->cmtRef;
        k.text.assign(c->commentText, c->commentLength);
        sound->comments.push_back(k);
    }
}

/* Every raw DSD byte of an open raw stream, to its end. False with `error` on a failure or when
   the source ends before its header's length. */
bool ReadAll(uint32_t h, const std::string &what, std::vector<uint8_t> *out, std::string *error)
{
    static uint8_t buf[1 << 16];
    const uint64_t declared = VELM_ChannelGetLength(h, VELM_DSD_POS_DECLARED);
    for (uint32_t idle = 0;;) {
        uint32_t n = VELM_ChannelGetData(h, buf, sizeof buf);
        if (n == 0xFFFFFFFFu) {
            int code = VELM_ErrorGetCode();
            if (code != VELM_ERROR_ENDED) {
                *error = std::string(ErrorName(code)) + ": cannot read the sound of " + what;
                return false;
            }
            break;
        }
        if (n == 0 && ++idle >= kStallCalls) {
            *error = "the source stalled: " + what;
            return false;
        }
        if (n != 0)
            idle = 0;
        out->insert(out->end(), buf, buf + n);
    }
    if (declared != UINT64_MAX && out->size() < declared) {
        *error = "source ended early (" + std::to_string(out->size()) + " of " + std::to_string(declared) +
                 " sound bytes): " + what + "; nothing written";
        return false;
    }
    return true;
}

bool ReadInput(const std::string &name, Sound *sound, std::string *error)
{
    Input in;
    if (!PrepareInput(name, &in, error) || !OpenStream(name, FormFlags(Form::kRaw), 0, &in, error)) {
        CloseInput(&in);
        return false;
    }
    VELM_CHANNELINFO info;
    memset(&info, 0, sizeof info);
    VELM_ChannelGetInfo(in.handle, &info);
    sound->channels = info.chans;
    sound->dsdRate = DsdRate(in.handle);
    TakeTags(in.handle, sound);
    bool ok = ReadAll(in.handle, name == "-" ? "standard input" : name, &sound->bytes, error);
    sound->brokenFrames = BrokenDstFrames(in.handle);
    CloseInput(&in);
    return ok;
}

/* One byte vector per channel from interleaved bytes. */
dsdsignal::ChannelBytes Split(const std::vector<uint8_t> &bytes, uint32_t channels)
{
    dsdsignal::ChannelBytes out(channels);
    const size_t frames = bytes.size() / channels;
    for (uint32_t c = 0; c < channels; c++) {
        out[c].resize(frames);
        for (size_t i = 0; i < frames; i++)
            out[c][i] = bytes[i * channels + c];
    }
    return out;
}

/* A top-level chunk appended to a DSDIFF file, the form's size grown by it. */
void AppendDffChunk(std::vector<uint8_t> *file, const char *id, const std::vector<uint8_t> &body)
{
    dsdsignal::DffChunk chunk;
    chunk.id = id;
    chunk.data = body;
    const std::vector<uint8_t> bytes = dsdsignal::WriteDffChunk(chunk);
    file->insert(file->end(), bytes.begin(), bytes.end());
    uint64_t form = 0;
    for (int i = 4; i < 12; i++)
        form = form << 8 | (*file)[static_cast<size_t>(i)];
    form += bytes.size();
    for (int i = 11; i >= 4; i--, form >>= 8)
        (*file)[static_cast<size_t>(i)] = static_cast<uint8_t>(form);
}

enum class Container { kDsf, kDff };

/* The output file's bytes; empty with `error` when the writers cannot hold the sound. */
std::vector<uint8_t> MakeFile(const Sound &sound, Container container, bool dst, std::string *error)
{
    const dsdsignal::ChannelBytes channels = Split(sound.bytes, sound.channels);
    std::vector<uint8_t> file;
    if (container == Container::kDsf) {
        dsdsignal::DsfOptions options;
        options.id3Tag = sound.id3;
        /* DSF keeps its tags in ID3v2 only: a DSDIFF artist and title become one. */
        if (options.id3Tag.empty() && (sound.artist || sound.title))
            options.id3Tag = dsdsignal::MakeId3v23Tag(sound.title.value_or(""), sound.artist.value_or(""));
        file = dsdsignal::MakeDsf(sound.dsdRate, channels, options);
    } else {
        dsdsignal::DffOptions tags;
        tags.artist = sound.artist;
        tags.title = sound.title;
        if (!sound.comments.empty())
            tags.comments = sound.comments;
        if (dst) {
            dsdsignal::DffDstOptions options;
            options.tags = tags;
            file = dsdsignal::MakeDffDst(sound.dsdRate, channels, dsdsignal::DstEncodeOptions{}, options);
        } else {
            file = dsdsignal::MakeDff(sound.dsdRate, channels, tags);
        }
        if (!file.empty() && !sound.id3.empty())
            AppendDffChunk(&file, "ID3 ", sound.id3);
    }
    if (file.empty())
        *error = dst && (sound.channels > 6 || dsdsignal::DstFrameBitsAt(sound.dsdRate) % 8 != 0)
                     ? "DST holds 1 to 6 channels at a rate whose frames are whole bytes, not " +
                           std::to_string(sound.channels) + " channels at " + std::to_string(sound.dsdRate) +
                           " Hz"
                     : "cannot write " + std::to_string(sound.channels) + " channels";
    return file;
}

/* Decodes a written file (at `path`, or the bytes in memory) through the add-on, raw, and
   compares it with the input's sound. DST completes its last frame with DSD silence (0x69);
   `padded` is how many bytes of it follow the input's sound. */
bool Verify(const std::string &path, const std::vector<uint8_t> &file, const Sound &sound, uint64_t *padded,
            std::string *error)
{
    const uint32_t flags = FormFlags(Form::kRaw);
    uint32_t h = path.empty() ? VELM_DSD_StreamCreateFile(1, file.data(), 0, file.size(), flags, 0)
                              : VELM_DSD_StreamCreateFile(0, path.c_str(), 0, 0, flags, 0);
    if (h == 0) {
        int code = VELM_ErrorGetCode();
        *error = "the add-on cannot read what was written (" + std::string(ErrorName(code)) + " (" +
                 std::to_string(code) + "))";
        return false;
    }
    VELM_CHANNELINFO info;
    memset(&info, 0, sizeof info);
    VELM_ChannelGetInfo(h, &info);
    std::vector<uint8_t> back;
    std::string readError;
    bool ok = ReadAll(h, "the file written", &back, &readError);
    const uint32_t rate = DsdRate(h);
    const uint64_t broken = BrokenDstFrames(h);
    VELM_StreamFree(h);
    if (!ok) {
        *error = readError;
        return false;
    }
    if (info.chans != sound.channels || rate != sound.dsdRate) {
        *error = "what was written reads back as " + std::to_string(info.chans) + " channels at " +
                 std::to_string(rate) + " Hz, not " + std::to_string(sound.channels) + " at " +
                 std::to_string(sound.dsdRate) + " Hz";
        return false;
    }
    bool same = broken == 0 && back.size() >= sound.bytes.size() &&
                memcmp(back.data(), sound.bytes.data(), sound.bytes.size()) == 0;
    for (size_t i = sound.bytes.size(); same && i < back.size(); i++)
        same = back[i] == 0x69;
    if (!same) {
        size_t at = 0;
        while (at < back.size() && at < sound.bytes.size() && back[at] == sound.bytes[at])
            at++;
        *error = "what was written does not read back as the input's sound (" + std::to_string(back.size()) +
                 " bytes against " + std::to_string(sound.bytes.size()) + ", the first difference at byte " +
                 std::to_string(at) +
                 (broken != 0 ? ", " + std::to_string(broken) + " broken DST frames" : "") + ")";
        return false;
    }
    *padded = back.size() - sound.bytes.size();
    return true;
}

bool EndsWith(const std::string &s, const char *ext)
{
    const size_t n = strlen(ext);
    return s.size() >= n && strcasecmp(s.c_str() + s.size() - n, ext) == 0;
}

int Usage(const std::string &line)
{
    fprintf(stderr, "velmdsd: %s (see velmdsd --help)\n", line.c_str());
    return 2;
}

} // namespace

int CmdEncode(int argc, char **argv)
{
    std::string input, output;
    bool dst = false;
    for (int i = 0; i < argc; i++) {
        const std::string a = argv[i];
        if (a == "-o" && i + 1 < argc)
            output = argv[++i];
        else if (a == "--dst")
            dst = true;
        else if (a.size() > 1 && a[0] == '-')
            return Usage("unknown or incomplete option '" + a + "'");
        else if (input.empty())
            input = a;
        else
            return Usage("encode takes one input ('" + a + "')");
    }
    if (input.empty() || output.empty())
        return Usage("encode needs an input and -o OUT.dff or -o OUT.dsf");
    const bool toDsf = EndsWith(output, ".dsf");
    if (!toDsf && !EndsWith(output, ".dff"))
        return Usage("encode writes DSDIFF (-o OUT.dff) or DSF (-o OUT.dsf), not '" + output + "'");
    if (dst && toDsf)
        return Usage("--dst writes DSDIFF: DSF holds plain DSD only");
    if (SameFile(input, output)) {
        fprintf(stderr, "velmdsd: %s is the input %s: refused, nothing written\n", output.c_str(),
                input.c_str());
        return 1;
    }
    OutputCatchSignals();

    Sound sound;
    std::string error;
    if (!ReadInput(input, &sound, &error)) {
        fprintf(stderr, "velmdsd: %s\n", error.c_str());
        return 1;
    }
    std::vector<uint8_t> file = MakeFile(sound, toDsf ? Container::kDsf : Container::kDff, dst, &error);
    if (file.empty()) {
        fprintf(stderr, "velmdsd: %s: %s, nothing written\n", input.c_str(), error.c_str());
        return 1;
    }

    /* Written under a temporary name, read back from it, and only then put in place. */
    Output out;
    OutputFormat format;
    format.kind = SampleKind::kRawBytes;
    uint64_t padded = 0;
    bool ok = OutputOpen(&out, output, format, &error);
    if (ok && !OutputWrite(&out, file.data(), file.size())) {
        error = "cannot write " + (output == "-" ? std::string("standard output") : output) + ": " +
                strerror(out.errorNumber != 0 ? out.errorNumber : EIO);
        ok = false;
    }
    if (ok && !out.tempPath.empty() && fflush(out.file) != 0) {
        error = "cannot write " + output + ": " + strerror(errno);
        ok = false;
    }
    /* A device or a pipe cannot be read back: the bytes sent are checked instead. */
    if (ok && !Verify(out.tempPath, file, sound, &padded, &error)) {
        error = input + ": " + error + "; " + output + " is not written";
        ok = false;
    }
    if (!ok) {
        OutputAbort(&out);
        fprintf(stderr, "velmdsd: %s\n", error.c_str());
        return 1;
    }
    if (!OutputFinish(&out, &error)) {
        fprintf(stderr, "velmdsd: %s (nothing written)\n", error.c_str());
        return 1;
    }
    const double seconds =
        sound.channels != 0 && sound.dsdRate >= 8
            ? static_cast<double>(sound.bytes.size() / sound.channels) / (sound.dsdRate / 8)
            : 0.0;
    std::string how = toDsf ? "DSF" : dst ? "DSDIFF, DST" : "DSDIFF";
    if (dst && !file.empty()) {
        char ratio[64];
        snprintf(ratio, sizeof ratio, " %.2f:1", static_cast<double>(sound.bytes.size()) / file.size());
        how += ratio;
    }
    fprintf(stderr, "%s: %.2f s of DSD%u, %u channel%s -> %s (%s), %zu bytes, read back identical%s\n",
            input == "-" ? "standard input" : input.c_str(), seconds, sound.dsdRate / 44100, sound.channels,
            sound.channels == 1 ? "" : "s", output == "-" ? "standard output" : output.c_str(), how.c_str(),
            file.size(),
            padded != 0
                ? (" (" + std::to_string(padded) + " bytes of DSD silence complete the last frame)").c_str()
                : "");
    if (toDsf && !sound.comments.empty())
        fprintf(stderr, "velmdsd: note: DSF has no place for DSDIFF comments: %zu left out\n",
                sound.comments.size());
    if (sound.brokenFrames != 0) {
        fprintf(stderr,
                "velmdsd: %llu broken DST frame%s of the input decoded as silence, and written so: %s\n",
                static_cast<unsigned long long>(sound.brokenFrames), sound.brokenFrames == 1 ? "" : "s",
                input.c_str());
        return 1;
    }
    return 0;
}

} // namespace cli
