/* fuzz_input.cpp - the layout of a fuzz input, and the sources it builds. */
#include "fuzz_input.h"

#include <algorithm>

#include "create/dsd_stream.h"
#include "dsf_fixture.h"
#include "host/host_api.h"

namespace fuzz {

const std::vector<uint32_t> &FreqTable()
{
    static const std::vector<uint32_t> table = {0,      22050,   44100,       48000,      88200,  96000,
                                                176400, 192000,  352800,      400000,     705600, 1,
                                                44099,  2822400, 0x7fffffffu, 0xffffffffu};
    return table;
}

const std::vector<uint32_t> &DefaultRateTable()
{
    static const std::vector<uint32_t> table = {44100, 0, 48000, 96000, 352800, 0xffffffffu, 22050, 1411200};
    return table;
}

const std::vector<uint32_t> &RateTable()
{
    static const std::vector<uint32_t> table = {2822400,  5644800, 11289600, 22579200,
                                                45158400, 705600,  8,        0xffffffffu};
    return table;
}

const std::vector<uint32_t> &BlockTable()
{
    static const std::vector<uint32_t> table = {4096, 1, 2, 3, 16, 100, 256, 4095};
    return table;
}

uint32_t CreationFlags(const Controls &c)
{
    static const uint32_t forms[4] = {DSD_RAW | STREAM_DECODE_ONLY, DSD_DOP | STREAM_FLOAT, 0, STREAM_FLOAT};
    uint32_t flags = forms[c.form & 3];
    switch (c.twist) {
    case TWIST_TOGGLE_FLOAT:
        flags ^= STREAM_FLOAT;
        break;
    case TWIST_BOTH_DSD:
        flags |= (flags & DSD_RAW) ? DSD_DOP : DSD_RAW;
        break;
    case TWIST_DROP_DECODE:
        /* Bits 0 and 20 never reach the stream. */
        flags = (flags & ~STREAM_DECODE_ONLY) | 0x00100001u;
        break;
    default:
        break;
    }
    if (c.hq)
        flags |= DSD_PCM_HQ;
    return flags;
}

std::vector<uint8_t> Encode(const Controls &c, const std::vector<uint8_t> &filePart)
{
    std::vector<uint8_t> out;
    out.push_back(static_cast<uint8_t>((c.form & 3) | (c.twist & 3) << 2 | (c.container & 3) << 4 |
                                       (c.streamed ? 0x40 : 0) | (c.passed ? 0x80 : 0)));
    out.push_back(static_cast<uint8_t>((c.failSeek ? 1 : 0) | (c.unknownEnd ? 2 : 0) | (c.late ? 4 : 0) |
                                       (c.limitAvailable ? 8 : 0) | (c.freqIndex & 15) << 4));
    fixture::PutLe(out, c.maxRead, 2);
    out.push_back(static_cast<uint8_t>(((c.channels - 1) & 7) | (c.blockIndex & 7) << 3 |
                                       (c.byteSamples ? 0x40 : 0) | (c.id3 ? 0x80 : 0)));
    out.push_back(static_cast<uint8_t>((c.rateIndex & 7) | (c.defaultRateIndex & 7) << 3 |
                                       (c.knobsAfterCreation ? 0x40 : 0) | (c.hq ? 0x80 : 0)));
    out.push_back(c.tail);
    out.push_back(c.tagBytes);
    out.push_back(c.gainCode);
    out.push_back(static_cast<uint8_t>(c.defaultGain));
    out.push_back(c.seekAt);
    out.push_back(c.canSetMode);
    out.push_back(c.arrivedFraction);
    out.push_back(c.pos2Shift & 31);
    fixture::PutLe(out, c.pos1, 4);
    fixture::PutLe(out, c.pos2, 4);
    size_t scripts = std::min(c.readScript.size(), MAX_LIST);
    size_t requests = std::min(c.requests.size(), MAX_LIST);
    out.push_back(static_cast<uint8_t>(scripts | requests << 4));
    for (size_t i = 0; i < scripts; i++)
        fixture::PutLe(out, static_cast<uint16_t>(c.readScript[i]), 2);
    for (size_t i = 0; i < requests; i++)
        fixture::PutLe(out, c.requests[i], 2);
    out.insert(out.end(), filePart.begin(), filePart.end());
    return out;
}

namespace {

/* Reads the input front to back; past its end every byte is 0. */
class Cursor {
public:
    Cursor(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : (pos_++, 0); }
    uint32_t Le(int bytes)
    {
        uint32_t v = 0;
        for (int i = 0; i < bytes; i++)
            v |= static_cast<uint32_t>(Byte()) << (8 * i);
        return v;
    }
    size_t Offset() const { return std::min(pos_, size_); }

private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

} // namespace

Controls Decode(const uint8_t *data, size_t size, size_t *fileOffset)
{
    Cursor in(data, size);
    Controls c;
    uint8_t b = in.Byte();
    c.form = b & 3;
    c.twist = b >> 2 & 3;
    c.container = b >> 4 & 3;
    c.streamed = (b & 0x40) != 0;
    c.passed = (b & 0x80) != 0;
    b = in.Byte();
    c.failSeek = (b & 1) != 0;
    c.unknownEnd = (b & 2) != 0;
    c.late = (b & 4) != 0;
    c.limitAvailable = (b & 8) != 0;
    c.freqIndex = b >> 4;
    c.maxRead = static_cast<uint16_t>(in.Le(2));
    b = in.Byte();
    c.channels = static_cast<uint8_t>((b & 7) + 1);
    c.blockIndex = b >> 3 & 7;
    c.byteSamples = (b & 0x40) != 0;
    c.id3 = (b & 0x80) != 0;
    b = in.Byte();
    c.rateIndex = b & 7;
    c.defaultRateIndex = b >> 3 & 7;
    c.knobsAfterCreation = (b & 0x40) != 0;
    c.hq = (b & 0x80) != 0;
    c.tail = in.Byte();
    c.tagBytes = in.Byte();
    c.gainCode = in.Byte();
    c.defaultGain = static_cast<int8_t>(in.Byte());
    c.seekAt = in.Byte();
    c.canSetMode = in.Byte();
    c.arrivedFraction = in.Byte();
    c.pos2Shift = in.Byte() & 31;
    c.pos1 = in.Le(4);
    c.pos2 = in.Le(4);
    b = in.Byte();
    size_t scripts = b & 7, requests = b >> 4 & 7;
    for (size_t i = 0; i < scripts; i++)
        c.readScript.push_back(static_cast<int16_t>(in.Le(2)));
    for (size_t i = 0; i < requests; i++)
        c.requests.push_back(static_cast<uint16_t>(in.Le(2)));
    *fileOffset = in.Offset();
    return c;
}

std::vector<uint8_t> BuildSource(const Controls &c, const uint8_t *filePart, size_t size)
{
    std::vector<uint8_t> rest(filePart, filePart + size);
    const uint32_t rate = RateTable()[c.rateIndex & 7];
    const uint32_t channels = c.channels;

    switch (c.container) {
    case CONTAINER_DSF: {
        const uint32_t blockSize = BlockTable()[c.blockIndex & 7];
        size_t tagBody = c.id3 ? std::min<size_t>(c.tagBytes, rest.size()) : 0;
        std::vector<uint8_t> sound(rest.begin(), rest.end() - static_cast<ptrdiff_t>(tagBody));
        uint64_t perChannel = sound.size() / channels;
        uint64_t samples = perChannel > c.tail ? (perChannel - c.tail) * 8 : 0;

        fixture::DsfSpec shape;
        shape.channels = channels;
        shape.dsdRate = rate;
        shape.bitsPerSample = c.byteSamples ? 8 : 1;
        shape.sampleCount = samples;
        shape.blockSize = blockSize;
        shape.channelType = channels == 2 ? 2 : 0;
        shape.soundData = std::move(sound);
        if (c.id3) {
            shape.id3 = dsdsignal::Id3v23Header(static_cast<uint32_t>(tagBody));
            shape.id3.insert(shape.id3.end(), rest.end() - static_cast<ptrdiff_t>(tagBody), rest.end());
        }
        std::vector<uint8_t> out = fixture::MakeDsf(shape);
        return out;
    }
    case CONTAINER_DFF_SOUND:
        return fixture::MakeDff(
            {fixture::Fver(), fixture::Prop(rate, static_cast<uint16_t>(channels)), fixture::Sound(rest)});
    case CONTAINER_DFF_CHUNKS: {
        std::vector<uint8_t> out =
            fixture::MakeDff({fixture::Fver(), fixture::Prop(rate, static_cast<uint16_t>(channels))});
        out.insert(out.end(), rest.begin(), rest.end());
        return out;
    }
    default:
        return rest;
    }
}

fake::Source MakeSource(const Controls &c, const uint8_t *filePart, size_t size)
{
    fake::Source source;
    source.data = BuildSource(c, filePart, size);
    source.fileFlags = (c.streamed ? FILE_STREAMED : 0) | (c.passed ? FILE_FLAG_PASSED : 0);
    source.maxRead = c.maxRead;
    source.unknownEnd = c.unknownEnd;
    source.windowOffset = c.pos2;
    if (c.limitAvailable)
        source.available = c.pos2;
    if (c.late)
        source.arrived = source.data.size() * c.arrivedFraction / 256;
    if (!c.knobsAfterCreation) {
        source.failSeek = c.failSeek;
        source.readScript.assign(c.readScript.begin(), c.readScript.end());
    }
    return source;
}

} // namespace fuzz
