// DSF, DSDIFF and WAV files built in memory, and a helper to store them. MakeDsf and MakeDff
// write well-formed files from a sound; WriteDsf and the DffChunk tree write any layout,
// malformed ones included, for tests of the readers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dsdsignal {

// Sound data is passed per channel, 8 samples a byte with the earliest in bit 7 (as
// MakeTone and PackedBits produce it); the writers reorder bits where a format wants.
using ChannelBytes = std::vector<std::vector<uint8_t>>;

// One byte per channel per frame, channel 0 first; the shortest channel ends the frames.
std::vector<uint8_t> Interleave(const ChannelBytes &channels);

// Every field of a DSF file. The defaults and the derived values give a well-formed file;
// the rest are knobs for malformed ones.
struct DsfFields {
    uint32_t channels = 2;
    uint32_t dsdRate = 2822400;
    uint32_t bitsPerSample = 1;
    uint32_t blockSize = 4096;
    // 1-bit samples per channel; unset: 8 x the longest channelBytes entry.
    std::optional<uint64_t> sampleCount;
    // Sound bytes per channel, stored as given (no bit reordering). Each channel is padded
    // with padByte to as many whole blocks as the longest needs; missing channels are all
    // padding. With blockSize 0 the channels are stored one after another, unpadded.
    ChannelBytes channelBytes;
    uint8_t padByte = 0;
    // When set, the data chunk's body as it stands, in place of the padded channels.
    std::optional<std::vector<uint8_t>> soundData;
    std::vector<uint8_t> id3; // a whole ID3v2 tag after the data chunk
    uint32_t formatVersion = 1;
    uint32_t formatId = 0;
    std::optional<uint32_t> channelType; // unset: derived from channels

    uint64_t dsdChunkSize = 28; // written into the "DSD " chunk; the chunk stays 28 bytes
    const char *fmtId = "fmt ";
    const char *dataId = "data";
    // Written into the "fmt " chunk; when larger than 52 the chunk holds that many bytes
    // (zeros after the reserved field, up to 16 MiB more), when smaller it still holds 52.
    uint64_t fmtChunkSize = 52;
    std::optional<uint64_t> dataChunkSize;   // unset: 12 + the sound bytes written
    int64_t totalSizeDelta = 0;              // added to the true file size in the header
    std::optional<uint64_t> metadataPointer; // unset: the tag's offset, or 0 without one
    uint64_t truncateTo = 0;                 // nonzero: cut the file to this many bytes
};

// Offsets in a DSF file with a 52-byte "fmt " chunk.
constexpr size_t kDsfFmtOffset = 28;
constexpr size_t kDsfDataOffset = 80;  // the "data" chunk header
constexpr size_t kDsfSoundOffset = 92; // the first sound byte

// "DSD " (28 bytes), "fmt ", "data" (block groups: one block per channel, channel 0 first),
// then the tag. All integers little-endian.
std::vector<uint8_t> WriteDsf(const DsfFields &fields);

struct DsfOptions {
    uint32_t bitsPerSample = 1; // 1: earliest sample in bit 0 (bits reversed); 8: in bit 7
    uint32_t blockSize = 4096;  // bytes per channel in each block
    // 1-bit samples per channel; 0 means all bits given (8 per byte). Any number is
    // allowed: the bytes hold it rounded up, the unused low-order samples of the last
    // byte cleared.
    uint64_t sampleCount = 0;
    std::vector<uint8_t> id3Tag; // stored at the metadata pointer when not empty
};

// DSF: "DSD " (28 bytes), "fmt " (52 bytes), "data" (block groups: one block per channel,
// channel 0 first, the last block of every channel zero-padded), then the tag. All
// integers little-endian. Channel type: 1 mono, 2 stereo, 3 three channels, 4 quad,
// 6 five channels, 7 for six channels or more. Returns an empty vector when the channels
// hold different numbers of bytes, fewer than sampleCount needs, or blockSize is 0.
std::vector<uint8_t> MakeDsf(uint32_t dsdRate, const ChannelBytes &channels, const DsfOptions &options = {});

// An ID3v2.3 header ("ID3", version 3.0, flags 0) for a body of bodySize bytes, the size
// synchsafe; sizeTopBits is ORed into each of the four size bytes (readers ignore bit 7).
std::vector<uint8_t> Id3v23Header(uint32_t bodySize, uint8_t sizeTopBits = 0);

// A minimal ID3v2.3 tag with TIT2 (title) and TPE1 (artist) frames; an empty text leaves
// its frame out. Pure ASCII is stored as ISO-8859-1, anything else (read as UTF-8) as
// UTF-16 with a byte-order mark.
std::vector<uint8_t> MakeId3v23Tag(std::string_view title, std::string_view artist);

struct DffComment {
    uint16_t year = 2024;
    uint8_t month = 1, day = 1, hour = 0, minutes = 0;
    uint16_t type = 0; // cmtType
    uint16_t ref = 0;  // cmtRef
    std::string text;
};

// One DSDIFF chunk: a 4-byte id, a 64-bit big-endian size, then formType (when set), data
// and the children in order, then a pad byte when that body is odd. The size field counts
// the body without the pad byte, unless sizeOverride is set.
struct DffChunk {
    std::string id;
    std::vector<uint8_t> data;
    std::vector<DffChunk> children;
    std::optional<uint64_t> sizeOverride;
    const char *formType = nullptr; // "SND " for a property chunk
};

std::vector<uint8_t> WriteDffChunk(const DffChunk &chunk);
// "FRM8", the form size (unset: 4 + all chunks), formType, the chunks.
std::vector<uint8_t> WriteDff(const std::vector<DffChunk> &topLevel,
                              std::optional<uint64_t> formSize = std::nullopt, const char *formType = "DSD ");

// The chunks MakeDff writes, one by one.
DffChunk DffFver(uint32_t version = 0x01050000);
DffChunk DffFs(uint32_t rate);
DffChunk DffChnl(uint16_t channels); // the count, then the channel ids listed at MakeDff
DffChunk DffCmpr(const char *type = "DSD ", const std::string &name = "not compressed");
DffChunk DffProp(uint32_t rate, uint16_t channels);        // "PROP" "SND " with FS, CHNL, CMPR
DffChunk DffText(const char *id, const std::string &text); // 32-bit length, the text
DffChunk DffDiin(const std::optional<std::string> &artist, const std::optional<std::string> &title);
DffChunk DffComt(const std::vector<DffComment> &comments);
DffChunk DffSound(std::vector<uint8_t> interleaved); // the "DSD " chunk

struct DffOptions {
    std::optional<std::string> artist;               // "DIAR" inside "DIIN" when set (even if empty)
    std::optional<std::string> title;                // "DITI" inside "DIIN" when set
    std::optional<std::vector<DffComment>> comments; // "COMT" when set (even with none)
    bool tagsAfterSound = false; // "DIIN" and "COMT" after the "DSD " chunk instead of before
};

// "FRTE": the frame count (32 bits) and the frames a second (16 bits) of DST sound.
DffChunk DffFrte(uint32_t frames, uint16_t frameRate = 75);
// The chunks of a DST file whose "DST " chunk holds soundChunks as given ("FRTE", "DSTF", "DSTC",
// anything else), with "CMPR" "DST ": for tests that need layouts MakeDffDst does not write.
std::vector<DffChunk> DffDstChunks(uint32_t dsdRate, uint16_t channels, std::vector<DffChunk> soundChunks,
                                   const DffOptions &options = {});
// The chunks of the file MakeDff writes, from byte-interleaved sound of `channels` channels.
std::vector<DffChunk> DffChunks(uint32_t dsdRate, uint16_t channels, std::vector<uint8_t> interleaved,
                                const DffOptions &options = {});

// DSDIFF: "FRM8" of type "DSD " with "FVER" (1.5.0.0), "PROP"/"SND " holding "FS  ",
// "CHNL" and "CMPR" ("DSD ", "not compressed"), the optional "DIIN" and "COMT", and the
// "DSD " chunk of byte-interleaved sound (one byte per channel per frame). Sizes are
// big-endian; an odd-sized chunk is followed by a pad byte. Channel ids: 1 "C   ",
// 2 "SLFT" "SRGT", 3 "MLFT" "MRGT" "C   ", 4 "MLFT" "MRGT" "LS  " "RS  ",
// 5 "MLFT" "MRGT" "C   " "LS  " "RS  ", 6 "MLFT" "MRGT" "C   " "LFE " "LS  " "RS  ",
// more "C000", "C001", ... (by channel index).
// Returns an empty vector when the channels hold different numbers of bytes.
std::vector<uint8_t> MakeDff(uint32_t dsdRate, const ChannelBytes &channels, const DffOptions &options = {});

enum class WavSampleFormat : uint8_t { kPcm16, kPcm24, kFloat32 };

struct WavFormat {
    uint32_t sampleRate = 44100;
    uint16_t channels = 2;
    WavSampleFormat format = WavSampleFormat::kPcm16;
};

uint16_t WavBytesPerSample(WavSampleFormat format);

// The header up to the first data byte: RIFF/WAVE, "fmt " (PCM, format 1, for 16 and 24
// bits; IEEE float, format 3 with a "fact" chunk, for 32-bit float), "data" header.
// dataBytes larger than a RIFF size can hold writes 0xFFFFFFFF sizes (unknown length).
std::vector<uint8_t> MakeWavHeader(const WavFormat &format, uint64_t dataBytes);

// Appends interleaved samples encoded for `format`. From float, integers are rounded and
// clamped (x * 32768 for 16 bits, x * 8388608 for 24), NaN gives 0. Integers are stored
// as given (24-bit: the low 24 bits of each int32_t, clamped to the 24-bit range).
void AppendWavSamples(WavSampleFormat format, const float *samples, size_t count, std::vector<uint8_t> &out);
void AppendWavSamples(WavSampleFormat format, const int16_t *samples, size_t count,
                      std::vector<uint8_t> &out);
void AppendWavSamples(WavSampleFormat format, const int32_t *samples, size_t count,
                      std::vector<uint8_t> &out);

// A whole WAV file of `count` interleaved samples.
std::vector<uint8_t> MakeWav(const WavFormat &format, const float *samples, size_t count);
std::vector<uint8_t> MakeWav(const WavFormat &format, const int16_t *samples, size_t count);
std::vector<uint8_t> MakeWav(const WavFormat &format, const int32_t *samples, size_t count);

// Writes `bytes` to `path`, replacing it; a file that could not be written whole is
// removed. Returns false on failure.
bool WriteFileBytes(const std::string &path, const std::vector<uint8_t> &bytes);

} // namespace dsdsignal
