/*
 * dsf_fixture.cpp - DSF and DSDIFF files built in memory for tests.
 */
#include "dsf_fixture.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace fixture {

namespace {

/* A "fmt " size beyond 52 + this is written into the header only. */
constexpr uint64_t MAX_FMT_EXTRA = 16u << 20;

void SetLe(std::vector<uint8_t> &out, size_t offset, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out[offset + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t DsfChannelType(uint32_t channels)
{
    static const uint32_t types[] = {0, 1, 2, 3, 4, 6, 7}; /* mono .. 5.1 */
    return channels < 7 ? types[channels] : 0;
}

void Truncate(std::vector<uint8_t> &file, uint64_t size)
{
    if (size != 0 && size < file.size())
        file.resize(static_cast<size_t>(size));
}

} // namespace

/* ---- byte helpers ---- */

void PutLe(std::vector<uint8_t> &out, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutBe(std::vector<uint8_t> &out, uint64_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutId(std::vector<uint8_t> &out, const char *id)
{
    size_t n = id != nullptr ? strlen(id) : 0;
    for (size_t i = 0; i < 4; ++i)
        out.push_back(i < n ? static_cast<uint8_t>(id[i]) : static_cast<uint8_t>(' '));
}

void PutText(std::vector<uint8_t> &out, const std::string &text) { out.insert(out.end(), text.begin(), text.end()); }

uint64_t GetLe(const std::vector<uint8_t> &in, size_t offset, int bytes)
{
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = value << 8 | in.at(offset + static_cast<size_t>(i));
    return value;
}

uint64_t GetBe(const std::vector<uint8_t> &in, size_t offset, int bytes)
{
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value = value << 8 | in.at(offset + static_cast<size_t>(i));
    return value;
}

std::string GetId(const std::vector<uint8_t> &in, size_t offset)
{
    std::string id;
    for (size_t i = 0; i < 4; ++i)
        id += static_cast<char>(in.at(offset + i));
    return id;
}

std::vector<uint8_t> PatternBytes(size_t n, uint32_t seed)
{
    uint32_t state = seed * 2654435761u + 0x9E3779B9u;
    if (state == 0)
        state = 1;
    std::vector<uint8_t> out(n);
    for (uint8_t &b : out) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        b = static_cast<uint8_t>(state >> 24);
    }
    return out;
}

std::vector<uint8_t> Interleave(const std::vector<std::vector<uint8_t>> &channels)
{
    std::vector<uint8_t> out;
    if (channels.empty())
        return out;
    size_t frames = channels[0].size();
    for (const auto &ch : channels)
        frames = std::min(frames, ch.size());
    out.reserve(frames * channels.size());
    for (size_t f = 0; f < frames; ++f)
        for (const auto &ch : channels)
            out.push_back(ch[f]);
    return out;
}

/* ---- DSF ---- */

std::vector<uint8_t> MakeDsf(const DsfSpec &shape)
{
    size_t longest = 0;
    for (const auto &ch : shape.channelBytes)
        longest = std::max(longest, ch.size());

    /* Block groups: one block per channel, channel 0 first. */
    std::vector<uint8_t> sound;
    if (shape.blockSize == 0) {
        for (const auto &ch : shape.channelBytes)
            sound.insert(sound.end(), ch.begin(), ch.end());
    } else {
        size_t blocks = (longest + shape.blockSize - 1) / shape.blockSize;
        sound.reserve(blocks * shape.blockSize * shape.channels);
        for (size_t g = 0; g < blocks; ++g)
            for (uint32_t ch = 0; ch < shape.channels; ++ch)
                for (size_t i = 0; i < shape.blockSize; ++i) {
                    size_t k = g * shape.blockSize + i;
                    bool have = ch < shape.channelBytes.size() && k < shape.channelBytes[ch].size();
                    sound.push_back(have ? shape.channelBytes[ch][k] : shape.padByte);
                }
    }

    std::vector<uint8_t> out;
    PutId(out, "DSD ");
    PutLe(out, shape.dsdChunkSize, 8);
    PutLe(out, 0, 8); /* total size, filled in below */
    PutLe(out, 0, 8); /* metadata pointer, filled in below */

    PutId(out, shape.fmtId);
    PutLe(out, shape.fmtChunkSize, 8);
    PutLe(out, shape.formatVersion, 4);
    PutLe(out, shape.formatId, 4);
    PutLe(out, shape.channelType.value_or(DsfChannelType(shape.channels)), 4);
    PutLe(out, shape.channels, 4);
    PutLe(out, shape.dsdRate, 4);
    PutLe(out, shape.bitsPerSample, 4);
    PutLe(out, shape.sampleCount.value_or(uint64_t{longest} * 8), 8);
    PutLe(out, shape.blockSize, 4);
    PutLe(out, 0, 4); /* reserved */
    if (shape.fmtChunkSize > 52 && shape.fmtChunkSize - 52 <= MAX_FMT_EXTRA)
        out.resize(out.size() + static_cast<size_t>(shape.fmtChunkSize - 52), 0);

    PutId(out, shape.dataId);
    PutLe(out, shape.dataChunkSize.value_or(12 + uint64_t{sound.size()}), 8);
    out.insert(out.end(), sound.begin(), sound.end());

    uint64_t tagOffset = out.size();
    out.insert(out.end(), shape.id3.begin(), shape.id3.end());

    SetLe(out, 12, static_cast<uint64_t>(out.size()) + static_cast<uint64_t>(shape.totalSizeDelta), 8);
    SetLe(out, 20, shape.metadataPointer.value_or(shape.id3.empty() ? 0 : tagOffset), 8);
    Truncate(out, shape.truncateTo);
    return out;
}

std::vector<uint8_t> MakeId3(size_t bodySize, bool setTopBits)
{
    std::vector<uint8_t> out = {'I', 'D', '3', 3, 0, 0};
    uint8_t top = setTopBits ? 0x80 : 0x00;
    for (int shift = 21; shift >= 0; shift -= 7)
        out.push_back(static_cast<uint8_t>(((bodySize >> shift) & 0x7f) | top));
    std::vector<uint8_t> body = PatternBytes(bodySize, 0x1D3);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

/* ---- DSDIFF ---- */

std::vector<uint8_t> SerializeChunk(const Chunk &chunk)
{
    std::vector<uint8_t> body;
    if (chunk.formType != nullptr)
        PutId(body, chunk.formType);
    body.insert(body.end(), chunk.data.begin(), chunk.data.end());
    for (const Chunk &child : chunk.children) {
        std::vector<uint8_t> bytes = SerializeChunk(child);
        body.insert(body.end(), bytes.begin(), bytes.end());
    }

    std::vector<uint8_t> out;
    PutId(out, chunk.id.c_str());
    PutBe(out, chunk.sizeOverride.value_or(body.size()), 8);
    out.insert(out.end(), body.begin(), body.end());
    if (body.size() % 2 != 0)
        out.push_back(0);
    return out;
}

std::vector<uint8_t> MakeDff(const std::vector<Chunk> &topLevel, std::optional<uint64_t> formSize,
                             const char *formType)
{
    Chunk form;
    form.id = "FRM8";
    form.children = topLevel;
    form.sizeOverride = formSize;
    form.formType = formType;
    return SerializeChunk(form);
}

Chunk Fver(uint32_t version)
{
    Chunk c{"FVER", {}, {}, std::nullopt, nullptr};
    PutBe(c.data, version, 4);
    return c;
}

Chunk Fs(uint32_t rate)
{
    Chunk c{"FS  ", {}, {}, std::nullopt, nullptr};
    PutBe(c.data, rate, 4);
    return c;
}

Chunk Chnl(uint16_t channels)
{
    Chunk c{"CHNL", {}, {}, std::nullopt, nullptr};
    PutBe(c.data, channels, 2);
    for (unsigned i = 0; i < channels; ++i) {
        char id[8];
        if (channels == 2)
            snprintf(id, sizeof id, "%s", i == 0 ? "SLFT" : "SRGT");
        else
            snprintf(id, sizeof id, "C%03u", i % 1000);
        PutId(c.data, id);
    }
    return c;
}

Chunk Cmpr(const char *type, const std::string &name)
{
    Chunk c{"CMPR", {}, {}, std::nullopt, nullptr};
    PutId(c.data, type);
    c.data.push_back(static_cast<uint8_t>(name.size()));
    PutText(c.data, name);
    if ((1 + name.size()) % 2 != 0) /* the name is padded to an even length */
        c.data.push_back(0);
    return c;
}

Chunk Prop(uint32_t rate, uint16_t channels)
{
    return Chunk{"PROP", {}, {Fs(rate), Chnl(channels), Cmpr()}, std::nullopt, "SND "};
}

Chunk TextChunk(const char *id, const std::string &text)
{
    Chunk c{id, {}, {}, std::nullopt, nullptr};
    PutBe(c.data, text.size(), 4);
    PutText(c.data, text);
    return c;
}

Chunk Diin(const std::string &artist, const std::string &title)
{
    Chunk c{"DIIN", {}, {}, std::nullopt, nullptr};
    if (!artist.empty())
        c.children.push_back(TextChunk("DIAR", artist));
    if (!title.empty())
        c.children.push_back(TextChunk("DITI", title));
    return c;
}

Chunk Comt(const std::vector<Comment> &comments)
{
    Chunk c{"COMT", {}, {}, std::nullopt, nullptr};
    PutBe(c.data, comments.size(), 2);
    for (const Comment &m : comments) {
        PutBe(c.data, m.year, 2);
        c.data.push_back(m.month);
        c.data.push_back(m.day);
        c.data.push_back(m.hour);
        c.data.push_back(m.minutes);
        PutBe(c.data, m.type, 2);
        PutBe(c.data, m.ref, 2);
        PutBe(c.data, m.text.size(), 4);
        PutText(c.data, m.text);
        if (m.text.size() % 2 != 0)
            c.data.push_back(0);
    }
    return c;
}

Chunk Sound(std::vector<uint8_t> interleaved)
{
    return Chunk{"DSD ", std::move(interleaved), {}, std::nullopt, nullptr};
}

std::vector<uint8_t> MakeDff(const DffSpec &shape)
{
    std::vector<Chunk> meta;
    if (!shape.artist.empty() || !shape.title.empty())
        meta.push_back(Diin(shape.artist, shape.title));
    if (!shape.comments.empty())
        meta.push_back(Comt(shape.comments));

    std::vector<Chunk> chunks = {Fver(), Prop(shape.dsdRate, shape.channels)};
    if (!shape.metadataAfterSound)
        chunks.insert(chunks.end(), meta.begin(), meta.end());
    chunks.push_back(Sound(shape.sound));
    if (shape.metadataAfterSound)
        chunks.insert(chunks.end(), meta.begin(), meta.end());

    std::vector<uint8_t> out = MakeDff(chunks);
    Truncate(out, shape.truncateTo);
    return out;
}

} // namespace fixture
