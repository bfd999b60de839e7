// DSF, DSDIFF and WAV files built in memory, and a helper to store them.
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

struct DsfOptions {
  uint32_t bitsPerSample = 1;  // 1: earliest sample in bit 0 (bits reversed); 8: in bit 7
  uint32_t blockSize = 4096;   // bytes per channel in each block
  // 1-bit samples per channel; 0 means all bits given (8 per byte). Any number is
  // allowed: the bytes hold it rounded up, the unused low-order samples of the last
  // byte cleared.
  uint64_t sampleCount = 0;
  std::vector<uint8_t> id3Tag;  // stored at the metadata pointer when not empty
};

// DSF: "DSD " (28 bytes), "fmt " (52 bytes), "data" (block groups: one block per channel,
// channel 0 first, the last block of every channel zero-padded), then the tag. All
// integers little-endian. Channel type: 1 mono, 2 stereo, 3 three channels, 4 quad,
// 6 five channels, 7 for six channels or more. Returns an empty vector when the channels
// hold different numbers of bytes, fewer than sampleCount needs, or blockSize is 0.
std::vector<uint8_t> MakeDsf(uint32_t dsdRate, const ChannelBytes &channels,
                             const DsfOptions &options = {});

// A minimal ID3v2.3 tag with TIT2 (title) and TPE1 (artist) frames; an empty text leaves
// its frame out. Pure ASCII is stored as ISO-8859-1, anything else (read as UTF-8) as
// UTF-16 with a byte-order mark.
std::vector<uint8_t> MakeId3v23Tag(std::string_view title, std::string_view artist);

struct DffComment {
  uint16_t year = 0;
  uint8_t month = 0, day = 0, hour = 0, minutes = 0;
  uint16_t type = 0;  // cmtType
  uint16_t ref = 0;   // cmtRef
  std::string text;
};

struct DffOptions {
  std::optional<std::string> artist;  // "DIAR" inside "DIIN" when set (even if empty)
  std::optional<std::string> title;   // "DITI" inside "DIIN" when set
  std::optional<std::vector<DffComment>> comments;  // "COMT" when set (even with none)
  bool tagsAfterSound = false;  // "DIIN" and "COMT" after the "DSD " chunk instead of before
};

// DSDIFF: "FRM8" of type "DSD " with "FVER" (1.5.0.0), "PROP"/"SND " holding "FS  ",
// "CHNL" and "CMPR" ("DSD ", "not compressed"), the optional "DIIN" and "COMT", and the
// "DSD " chunk of byte-interleaved sound (one byte per channel per frame). Sizes are
// big-endian; an odd-sized chunk is followed by a pad byte. Channel ids: 1 "C   ",
// 2 "SLFT" "SRGT", 3 "MLFT" "MRGT" "C   ", 4 "MLFT" "MRGT" "LS  " "RS  ",
// 5 "MLFT" "MRGT" "C   " "LS  " "RS  ", 6 "MLFT" "MRGT" "C   " "LFE " "LS  " "RS  ",
// more "C000", "C001", ... (by channel index).
// Returns an empty vector when the channels hold different numbers of bytes.
std::vector<uint8_t> MakeDff(uint32_t dsdRate, const ChannelBytes &channels,
                             const DffOptions &options = {});

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
void AppendWavSamples(WavSampleFormat format, const float *samples, size_t count,
                      std::vector<uint8_t> &out);
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

}  // namespace dsdsignal
