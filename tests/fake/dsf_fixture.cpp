/*
 * dsf_fixture.cpp - test patterns and the DSDIFF shape used by most tests.
 */
#include "dsf_fixture.h"

namespace fixture {

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

DsfSpec PatternDsf(uint32_t channels, size_t perChannel, uint32_t firstSeed)
{
    DsfSpec shape;
    shape.channels = channels;
    for (uint32_t ch = 0; ch < channels; ch++)
        shape.channelBytes.push_back(PatternBytes(perChannel, firstSeed + ch));
    return shape;
}

std::vector<uint8_t> MakeId3(size_t bodySize, bool setTopBits)
{
    std::vector<uint8_t> out =
        dsdsignal::Id3v23Header(static_cast<uint32_t>(bodySize), setTopBits ? 0x80 : 0x00);
    std::vector<uint8_t> body = PatternBytes(bodySize, 0x1D3);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

std::vector<uint8_t> MakeDff(const DffSpec &shape)
{
    dsdsignal::DffOptions options;
    if (!shape.artist.empty())
        options.artist = shape.artist;
    if (!shape.title.empty())
        options.title = shape.title;
    if (!shape.comments.empty())
        options.comments = shape.comments;
    options.tagsAfterSound = shape.metadataAfterSound;
    std::vector<uint8_t> out =
        dsdsignal::WriteDff(dsdsignal::DffChunks(shape.dsdRate, shape.channels, shape.sound, options));
    if (shape.truncateTo != 0 && shape.truncateTo < out.size())
        out.resize(static_cast<size_t>(shape.truncateTo));
    return out;
}

std::vector<uint8_t> PatternDff(size_t perChannel)
{
    DffSpec shape;
    shape.sound = Interleave({PatternBytes(perChannel, 1), PatternBytes(perChannel, 2)});
    return MakeDff(shape);
}

} // namespace fixture
