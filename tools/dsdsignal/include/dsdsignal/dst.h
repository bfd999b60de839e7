// DST (Direct Stream Transfer) encoding of 1-bit sound, and DSDIFF files holding it.
//
// The encoder designs, per frame of 1/75 s, a prediction filter for each group of channels
// (a least-squares predictor of the +-1 signal from its past bits, quantised to the format's
// 9-bit coefficients) and a probability table for each group (how often the prediction's
// sign is wrong, by the prediction's size), then codes the bits with the format's binary
// arithmetic coder. It is lossless: the add-on's decoder gives back the same bytes. A frame
// that would not get smaller is stored as it is. Options force each feature of the format,
// so that tests can make frames that use it.
#pragma once

#include <cstdint>
#include <vector>

#include "dsdsignal/writers.h"

namespace dsdsignal {

enum class DstValueCoding : uint8_t {
    kSmallest, // whichever of the two is smaller
    kPlain,    // every value in its own bits
    kRice,     // the first values plainly, the rest Rice-coded against a prediction
};

struct DstEncodeOptions {
    // 1 to 128 forces that length on every filter; 0 lets the encoder choose each filter's
    // length and scale per frame by the size they code to.
    uint32_t filterTaps = 0;
    bool uncoded = false; // store every frame as it is
    // Channel c uses filter c / channelsPerFilter and table c / channelsPerTable: 1 gives every
    // channel its own, 6 one for all; 0 lets the encoder choose per frame between each its own
    // and one for all by the size they code to. The maps are written as "one for all" when
    // they are.
    uint32_t channelsPerFilter = 0;
    uint32_t channelsPerTable = 0;
    // The half-probability flag on every channel: the first filterTaps bits of each frame,
    // whose history is not yet the frame's own, are coded at probability 1/2. Without it the
    // encoder sets the flag on the channels where that codes smaller.
    bool halfProbability = false;
    DstValueCoding filterCoding = DstValueCoding::kSmallest;
    DstValueCoding tableCoding = DstValueCoding::kSmallest;
};

// 1-bit samples per channel in a frame at dsdRate (588 x dsdRate / 44100).
uint32_t DstFrameBitsAt(uint32_t dsdRate);

// The body of one "DSTF" chunk for one frame: `interleaved` holds frameBits / 8 bytes of each
// of `channels` channels (1 to 6), one byte per channel in turn.
std::vector<uint8_t> EncodeDstFrame(const uint8_t *interleaved, uint32_t channels, uint32_t frameBits,
                                    const DstEncodeOptions &options = {});

// Every frame of a sound, the last one completed with DSD silence (0x69). Empty when the
// channels differ in length, there are none or more than 6, or the rate gives no whole bytes.
std::vector<std::vector<uint8_t>> EncodeDst(uint32_t dsdRate, const ChannelBytes &channels,
                                            const DstEncodeOptions &options = {});

// The channels as EncodeDst codes them: each completed with 0x69 to whole frames.
ChannelBytes PadToDstFrames(uint32_t dsdRate, const ChannelBytes &channels);

struct DffDstOptions {
    DffOptions tags;
    bool index = false; // a "DSTI" chunk after the sound: the offset and length of every frame
};

// DSDIFF with DST sound: as MakeDff, with "CMPR" "DST " ("DST Encoded") in the property
// chunk and a "DST " chunk in place of the "DSD " chunk, holding "FRTE" (frame count, 32 bits;
// frames a second, 16 bits: 75) and one "DSTF" chunk per frame. The "DSTI" index entries are
// the file offset of a frame's "DSTF" chunk header (64 bits) and its data length (32 bits).
// Empty where EncodeDst is.
std::vector<uint8_t> MakeDffDst(uint32_t dsdRate, const ChannelBytes &channels,
                                const DstEncodeOptions &options, const DffDstOptions &fileOptions = {});

// The same file from frames already coded.
std::vector<uint8_t> MakeDffDstFromFrames(uint32_t dsdRate, uint16_t channels,
                                          const std::vector<std::vector<uint8_t>> &frames,
                                          const DffDstOptions &fileOptions = {});

} // namespace dsdsignal
