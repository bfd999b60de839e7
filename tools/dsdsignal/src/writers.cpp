#include "dsdsignal/writers.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "dsdsignal/bytes.h"

namespace dsdsignal {
namespace {

// A "fmt " size beyond 52 + this is written into the header only.
constexpr uint64_t kMaxFmtExtra = 16u << 20;

uint8_t ReverseBits(uint8_t b)
{
    b = static_cast<uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = static_cast<uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
    return static_cast<uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

// The common byte count of all channels, or false when they differ.
bool CommonLength(const ChannelBytes &channels, size_t &length)
{
    length = channels.empty() ? 0 : channels[0].size();
    for (const auto &c : channels) {
        if (c.size() != length)
            return false;
    }
    return true;
}

uint32_t DsfChannelType(size_t channels)
{
    switch (channels) {
    case 0:
    case 1:
        return 1;
    case 2:
        return 2;
    case 3:
        return 3;
    case 4:
        return 4;
    case 5:
        return 6;
    default:
        return 7;
    }
}

void Truncate(std::vector<uint8_t> &file, uint64_t size)
{
    if (size != 0 && size < file.size())
        file.resize(static_cast<size_t>(size));
}

// Appends UTF-8 text as UTF-16LE code units; malformed bytes become U+FFFD.
void PutUtf16Le(std::vector<uint8_t> &out, std::string_view text)
{
    size_t i = 0;
    while (i < text.size()) {
        const uint8_t b = static_cast<uint8_t>(text[i]);
        uint32_t cp = 0xFFFD;
        size_t len = 1;
        if (b < 0x80) {
            cp = b;
        } else if ((b & 0xE0) == 0xC0) {
            len = 2;
            cp = b & 0x1Fu;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3;
            cp = b & 0x0Fu;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4;
            cp = b & 0x07u;
        }
        if (len > 1) {
            bool ok = i + len <= text.size();
            for (size_t k = 1; ok && k < len; ++k) {
                const uint8_t c = static_cast<uint8_t>(text[i + k]);
                ok = (c & 0xC0) == 0x80;
                cp = (cp << 6) | (c & 0x3Fu);
            }
            if (!ok || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
                cp = 0xFFFD;
                len = 1;
            }
        }
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            PutLe(out, 0xD800 | (cp >> 10), 2);
            PutLe(out, 0xDC00 | (cp & 0x3FF), 2);
        } else {
            PutLe(out, cp, 2);
        }
    }
}

void PutId3TextFrame(std::vector<uint8_t> &out, const char *id, std::string_view text)
{
    if (text.empty())
        return;
    bool ascii = true;
    for (char ch : text)
        ascii = ascii && static_cast<uint8_t>(ch) < 0x80;
    std::vector<uint8_t> body;
    if (ascii) {
        body.push_back(0); // ISO-8859-1
        body.insert(body.end(), text.begin(), text.end());
    } else {
        body.push_back(1); // UTF-16 with byte-order mark
        body.push_back(0xFF);
        body.push_back(0xFE);
        PutUtf16Le(body, text);
    }
    PutId(out, id);
    PutBe(out, body.size(), 4); // ID3v2.3 frame sizes are plain 32-bit
    PutBe(out, 0, 2);           // flags
    out.insert(out.end(), body.begin(), body.end());
}

template <typename T> std::vector<uint8_t> MakeWavOf(const WavFormat &format, const T *samples, size_t count)
{
    std::vector<uint8_t> out = MakeWavHeader(format, uint64_t{count} * WavBytesPerSample(format.format));
    AppendWavSamples(format.format, samples, count, out);
    if (out.size() & 1)
        out.push_back(0); // RIFF pad byte after an odd-sized data chunk
    return out;
}

void PutFloatLe(std::vector<uint8_t> &out, float f)
{
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    PutLe(out, bits, 4);
}

// An integer sample as a 24-bit value: 16-bit samples move up 8 bits (exactly), 32-bit
// ones are clamped to the 24-bit range.
int32_t To24(int16_t v)
{
    return v * 256;
}
int32_t To24(int32_t v)
{
    return v < -8388608 ? -8388608 : (v > 8388607 ? 8388607 : v);
}

template <typename T>
void AppendIntSamples(WavSampleFormat format, const T *samples, size_t count, std::vector<uint8_t> &out)
{
    out.reserve(out.size() + count * WavBytesPerSample(format));
    for (size_t i = 0; i < count; ++i) {
        const int32_t v = To24(samples[i]);
        switch (format) {
        case WavSampleFormat::kPcm16:
            PutLe(out, static_cast<uint16_t>(v >> 8), 2);
            break;
        case WavSampleFormat::kPcm24:
            PutLe(out, static_cast<uint32_t>(v), 3);
            break;
        case WavSampleFormat::kFloat32:
            PutFloatLe(out, static_cast<float>(v) / 8388608.0f);
            break;
        }
    }
}

int32_t RoundClamp(float x, double scale, int32_t lo, int32_t hi)
{
    if (std::isnan(x))
        return 0;
    const double v = std::nearbyint(static_cast<double>(x) * scale);
    if (v <= lo)
        return lo;
    if (v >= hi)
        return hi;
    return static_cast<int32_t>(v);
}

} // namespace

std::vector<uint8_t> Interleave(const ChannelBytes &channels)
{
    std::vector<uint8_t> out;
    if (channels.empty())
        return out;
    size_t frames = channels[0].size();
    for (const auto &c : channels)
        frames = std::min(frames, c.size());
    out.reserve(frames * channels.size());
    for (size_t f = 0; f < frames; ++f) {
        for (const auto &c : channels)
            out.push_back(c[f]);
    }
    return out;
}

std::vector<uint8_t> WriteDsf(const DsfFields &f)
{
    size_t longest = 0;
    for (const auto &c : f.channelBytes)
        longest = std::max(longest, c.size());

    std::vector<uint8_t> sound;
    if (f.soundData) {
        sound = *f.soundData;
    } else if (f.blockSize == 0) {
        for (const auto &c : f.channelBytes)
            sound.insert(sound.end(), c.begin(), c.end());
    } else {
        const size_t blocks = (longest + f.blockSize - 1) / f.blockSize;
        sound.reserve(blocks * f.blockSize * f.channels);
        for (size_t g = 0; g < blocks; ++g) {
            for (uint32_t ch = 0; ch < f.channels; ++ch) {
                for (size_t i = 0; i < f.blockSize; ++i) {
                    const size_t k = g * f.blockSize + i;
                    const bool have = ch < f.channelBytes.size() && k < f.channelBytes[ch].size();
                    sound.push_back(have ? f.channelBytes[ch][k] : f.padByte);
                }
            }
        }
    }

    std::vector<uint8_t> out;
    PutId(out, "DSD ");
    PutLe(out, f.dsdChunkSize, 8);
    PutLe(out, 0, 8); // total size, filled in below
    PutLe(out, 0, 8); // metadata pointer, filled in below

    PutId(out, f.fmtId);
    PutLe(out, f.fmtChunkSize, 8);
    PutLe(out, f.formatVersion, 4);
    PutLe(out, f.formatId, 4);
    PutLe(out, f.channelType.value_or(DsfChannelType(f.channels)), 4);
    PutLe(out, f.channels, 4);
    PutLe(out, f.dsdRate, 4);
    PutLe(out, f.bitsPerSample, 4);
    PutLe(out, f.sampleCount.value_or(uint64_t{longest} * 8), 8);
    PutLe(out, f.blockSize, 4);
    PutLe(out, 0, 4); // reserved
    if (f.fmtChunkSize > 52 && f.fmtChunkSize - 52 <= kMaxFmtExtra)
        out.resize(out.size() + static_cast<size_t>(f.fmtChunkSize - 52), 0);

    PutId(out, f.dataId);
    PutLe(out, f.dataChunkSize.value_or(12 + uint64_t{sound.size()}), 8);
    out.insert(out.end(), sound.begin(), sound.end());

    const uint64_t tagOffset = out.size();
    out.insert(out.end(), f.id3.begin(), f.id3.end());

    SetLe(out, 12, uint64_t{out.size()} + static_cast<uint64_t>(f.totalSizeDelta), 8);
    SetLe(out, 20, f.metadataPointer.value_or(f.id3.empty() ? 0 : tagOffset), 8);
    Truncate(out, f.truncateTo);
    return out;
}

std::vector<uint8_t> MakeDsf(uint32_t dsdRate, const ChannelBytes &channels, const DsfOptions &options)
{
    size_t length = 0;
    if (!CommonLength(channels, length) || options.blockSize == 0)
        return {};
    const uint64_t samples = options.sampleCount ? options.sampleCount : uint64_t{length} * 8;
    const uint64_t used = (samples + 7) / 8;
    if (used > length)
        return {};

    DsfFields f;
    f.channels = static_cast<uint32_t>(channels.size());
    f.dsdRate = dsdRate;
    f.bitsPerSample = options.bitsPerSample;
    f.blockSize = options.blockSize;
    f.sampleCount = samples;
    f.id3 = options.id3Tag;
    // Samples past the count in the last used byte are cleared: with the earliest sample in
    // bit 7 they are the low-order bits. 1-bit files keep the earliest sample in bit 0.
    const unsigned tailBits = static_cast<unsigned>(samples & 7);
    const uint8_t lastMask = tailBits ? static_cast<uint8_t>(0xFF00u >> tailBits) : 0xFF;
    for (const auto &channel : channels) {
        std::vector<uint8_t> bytes(channel.begin(), channel.begin() + static_cast<ptrdiff_t>(used));
        if (!bytes.empty())
            bytes.back() &= lastMask;
        if (options.bitsPerSample == 1) {
            for (uint8_t &b : bytes)
                b = ReverseBits(b);
        }
        f.channelBytes.push_back(std::move(bytes));
    }
    return WriteDsf(f);
}

std::vector<uint8_t> Id3v23Header(uint32_t bodySize, uint8_t sizeTopBits)
{
    std::vector<uint8_t> out = {'I', 'D', '3', 3, 0, 0};
    for (int shift = 21; shift >= 0; shift -= 7)
        out.push_back(static_cast<uint8_t>(((bodySize >> shift) & 0x7F) | sizeTopBits));
    return out;
}

std::vector<uint8_t> MakeId3v23Tag(std::string_view title, std::string_view artist)
{
    std::vector<uint8_t> frames;
    PutId3TextFrame(frames, "TIT2", title);
    PutId3TextFrame(frames, "TPE1", artist);
    std::vector<uint8_t> out = Id3v23Header(static_cast<uint32_t>(frames.size()));
    out.insert(out.end(), frames.begin(), frames.end());
    return out;
}

std::vector<uint8_t> WriteDffChunk(const DffChunk &chunk)
{
    std::vector<uint8_t> body;
    if (chunk.formType)
        PutId(body, chunk.formType);
    body.insert(body.end(), chunk.data.begin(), chunk.data.end());
    for (const DffChunk &child : chunk.children) {
        const std::vector<uint8_t> bytes = WriteDffChunk(child);
        body.insert(body.end(), bytes.begin(), bytes.end());
    }
    std::vector<uint8_t> out;
    out.reserve(13 + body.size());
    PutId(out, chunk.id.c_str());
    PutBe(out, chunk.sizeOverride.value_or(body.size()), 8);
    out.insert(out.end(), body.begin(), body.end());
    if (body.size() & 1)
        out.push_back(0);
    return out;
}

std::vector<uint8_t> WriteDff(const std::vector<DffChunk> &topLevel, std::optional<uint64_t> formSize,
                              const char *formType)
{
    return WriteDffChunk(DffChunk{"FRM8", {}, topLevel, formSize, formType});
}

DffChunk DffFver(uint32_t version)
{
    DffChunk c{"FVER", {}, {}, std::nullopt, nullptr};
    PutBe(c.data, version, 4);
    return c;
}

DffChunk DffFs(uint32_t rate)
{
    DffChunk c{"FS  ", {}, {}, std::nullopt, nullptr};
    PutBe(c.data, rate, 4);
    return c;
}

DffChunk DffChnl(uint16_t channels)
{
    static const char *const kIds[7][6] = {
        {},
        {"C   "},
        {"SLFT", "SRGT"},
        {"MLFT", "MRGT", "C   "},
        {"MLFT", "MRGT", "LS  ", "RS  "},
        {"MLFT", "MRGT", "C   ", "LS  ", "RS  "},
        {"MLFT", "MRGT", "C   ", "LFE ", "LS  ", "RS  "},
    };
    DffChunk c{"CHNL", {}, {}, std::nullopt, nullptr};
    PutBe(c.data, channels, 2);
    for (unsigned i = 0; i < channels; ++i) {
        if (channels <= 6) {
            PutId(c.data, kIds[channels][i]);
        } else {
            char id[8];
            std::snprintf(id, sizeof id, "C%03u", i % 1000);
            PutId(c.data, id);
        }
    }
    return c;
}

DffChunk DffCmpr(const char *type, const std::string &name)
{
    DffChunk c{"CMPR", {}, {}, std::nullopt, nullptr};
    PutId(c.data, type);
    c.data.push_back(static_cast<uint8_t>(name.size()));
    c.data.insert(c.data.end(), name.begin(), name.end());
    if ((1 + name.size()) & 1)
        c.data.push_back(0); // the count byte and text fill an even size
    return c;
}

DffChunk DffProp(uint32_t rate, uint16_t channels)
{
    return DffChunk{"PROP", {}, {DffFs(rate), DffChnl(channels), DffCmpr()}, std::nullopt, "SND "};
}

DffChunk DffText(const char *id, const std::string &text)
{
    DffChunk c{id, {}, {}, std::nullopt, nullptr};
    PutBe(c.data, text.size(), 4);
    c.data.insert(c.data.end(), text.begin(), text.end());
    return c;
}

DffChunk DffDiin(const std::optional<std::string> &artist, const std::optional<std::string> &title)
{
    DffChunk c{"DIIN", {}, {}, std::nullopt, nullptr};
    if (artist)
        c.children.push_back(DffText("DIAR", *artist));
    if (title)
        c.children.push_back(DffText("DITI", *title));
    return c;
}

DffChunk DffComt(const std::vector<DffComment> &comments)
{
    DffChunk c{"COMT", {}, {}, std::nullopt, nullptr};
    PutBe(c.data, comments.size(), 2);
    for (const DffComment &m : comments) {
        PutBe(c.data, m.year, 2);
        c.data.push_back(m.month);
        c.data.push_back(m.day);
        c.data.push_back(m.hour);
        c.data.push_back(m.minutes);
        PutBe(c.data, m.type, 2);
        PutBe(c.data, m.ref, 2);
        PutBe(c.data, m.text.size(), 4);
        c.data.insert(c.data.end(), m.text.begin(), m.text.end());
        if (m.text.size() & 1)
            c.data.push_back(0);
    }
    return c;
}

DffChunk DffSound(std::vector<uint8_t> interleaved)
{
    return DffChunk{"DSD ", std::move(interleaved), {}, std::nullopt, nullptr};
}

std::vector<DffChunk> DffChunks(uint32_t dsdRate, uint16_t channels, std::vector<uint8_t> interleaved,
                                const DffOptions &options)
{
    std::vector<DffChunk> tags;
    if (options.artist || options.title)
        tags.push_back(DffDiin(options.artist, options.title));
    if (options.comments)
        tags.push_back(DffComt(*options.comments));

    std::vector<DffChunk> chunks = {DffFver(), DffProp(dsdRate, channels)};
    if (!options.tagsAfterSound)
        chunks.insert(chunks.end(), tags.begin(), tags.end());
    chunks.push_back(DffSound(std::move(interleaved)));
    if (options.tagsAfterSound)
        chunks.insert(chunks.end(), tags.begin(), tags.end());
    return chunks;
}

DffChunk DffFrte(uint32_t frames, uint16_t frameRate)
{
    DffChunk c{"FRTE", {}, {}, std::nullopt, nullptr};
    PutBe(c.data, frames, 4);
    PutBe(c.data, frameRate, 2);
    return c;
}

std::vector<DffChunk> DffDstChunks(uint32_t dsdRate, uint16_t channels, std::vector<DffChunk> soundChunks,
                                   const DffOptions &options)
{
    std::vector<DffChunk> chunks = DffChunks(dsdRate, channels, {}, options);
    for (DffChunk &c : chunks) {
        if (c.id == "DSD ")
            c = DffChunk{"DST ", {}, std::move(soundChunks), std::nullopt, nullptr};
        for (DffChunk &p : c.children)
            if (p.id == "CMPR")
                p = DffCmpr("DST ", "DST Encoded");
    }
    return chunks;
}

std::vector<uint8_t> MakeDff(uint32_t dsdRate, const ChannelBytes &channels, const DffOptions &options)
{
    size_t length = 0;
    if (!CommonLength(channels, length))
        return {};
    return WriteDff(
        DffChunks(dsdRate, static_cast<uint16_t>(channels.size()), Interleave(channels), options));
}

uint16_t WavBytesPerSample(WavSampleFormat format)
{
    switch (format) {
    case WavSampleFormat::kPcm16:
        return 2;
    case WavSampleFormat::kPcm24:
        return 3;
    case WavSampleFormat::kFloat32:
        return 4;
    }
    return 0;
}

std::vector<uint8_t> MakeWavHeader(const WavFormat &format, uint64_t dataBytes)
{
    const bool isFloat = format.format == WavSampleFormat::kFloat32;
    const uint16_t bytes = WavBytesPerSample(format.format);
    const uint32_t headerRest = isFloat ? 4 + (8 + 18) + (8 + 4) + 8 : 4 + (8 + 16) + 8;
    const uint64_t riff = headerRest + dataBytes + (dataBytes & 1);
    const bool fits = riff <= 0xFFFFFFFFu;
    const uint16_t blockAlign = static_cast<uint16_t>(bytes * format.channels);

    std::vector<uint8_t> out;
    PutId(out, "RIFF");
    PutLe(out, fits ? riff : 0xFFFFFFFFu, 4);
    PutId(out, "WAVE");
    PutId(out, "fmt ");
    PutLe(out, isFloat ? 18 : 16, 4);
    PutLe(out, isFloat ? 3 : 1, 2);
    PutLe(out, format.channels, 2);
    PutLe(out, format.sampleRate, 4);
    PutLe(out, uint64_t{format.sampleRate} * blockAlign, 4);
    PutLe(out, blockAlign, 2);
    PutLe(out, bytes * 8u, 2);
    if (isFloat) {
        PutLe(out, 0, 2); // cbSize
        PutId(out, "fact");
        PutLe(out, 4, 4);
        const uint64_t frames = blockAlign ? dataBytes / blockAlign : 0;
        PutLe(out, fits ? frames : 0xFFFFFFFFu, 4);
    }
    PutId(out, "data");
    PutLe(out, fits ? dataBytes : 0xFFFFFFFFu, 4);
    return out;
}

void AppendWavSamples(WavSampleFormat format, const float *samples, size_t count, std::vector<uint8_t> &out)
{
    out.reserve(out.size() + count * WavBytesPerSample(format));
    for (size_t i = 0; i < count; ++i) {
        switch (format) {
        case WavSampleFormat::kPcm16:
            PutLe(out, static_cast<uint16_t>(RoundClamp(samples[i], 32768.0, -32768, 32767)), 2);
            break;
        case WavSampleFormat::kPcm24:
            PutLe(out, static_cast<uint32_t>(RoundClamp(samples[i], 8388608.0, -8388608, 8388607)), 3);
            break;
        case WavSampleFormat::kFloat32:
            PutFloatLe(out, samples[i]);
            break;
        }
    }
}

void AppendWavSamples(WavSampleFormat format, const int16_t *samples, size_t count, std::vector<uint8_t> &out)
{
    AppendIntSamples(format, samples, count, out);
}

void AppendWavSamples(WavSampleFormat format, const int32_t *samples, size_t count, std::vector<uint8_t> &out)
{
    AppendIntSamples(format, samples, count, out);
}

std::vector<uint8_t> MakeWav(const WavFormat &format, const float *samples, size_t count)
{
    return MakeWavOf(format, samples, count);
}

std::vector<uint8_t> MakeWav(const WavFormat &format, const int16_t *samples, size_t count)
{
    return MakeWavOf(format, samples, count);
}

std::vector<uint8_t> MakeWav(const WavFormat &format, const int32_t *samples, size_t count)
{
    return MakeWavOf(format, samples, count);
}

bool WriteFileBytes(const std::string &path, const std::vector<uint8_t> &bytes)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    const bool closed = std::fclose(f) == 0;
    if (!(written && closed)) {
        std::remove(path.c_str());
        return false;
    }
    return true;
}

} // namespace dsdsignal
