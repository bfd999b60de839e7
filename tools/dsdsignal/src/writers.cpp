#include "dsdsignal/writers.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace dsdsignal {
namespace {

void PutLe(std::vector<uint8_t> &out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutBe(std::vector<uint8_t> &out, uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutId(std::vector<uint8_t> &out, const char *id) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(id[i]));
}

void SetBe(std::vector<uint8_t> &out, size_t at, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * (bytes - 1 - i)));
}

uint8_t ReverseBits(uint8_t b) {
  b = static_cast<uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
  b = static_cast<uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
  return static_cast<uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

// The common byte count of all channels, or false when they differ.
bool CommonLength(const ChannelBytes &channels, size_t &length) {
  length = channels.empty() ? 0 : channels[0].size();
  for (const auto &c : channels) {
    if (c.size() != length) return false;
  }
  return true;
}

uint32_t DsfChannelType(size_t channels) {
  switch (channels) {
    case 0:
    case 1: return 1;
    case 2: return 2;
    case 3: return 3;
    case 4: return 4;
    case 5: return 6;
    default: return 7;
  }
}

// Big-endian chunk: id, size placeholder; returns the offset of the size field.
size_t BeginChunk(std::vector<uint8_t> &out, const char *id) {
  PutId(out, id);
  const size_t at = out.size();
  PutBe(out, 0, 8);
  return at;
}

// Fills in the size of the chunk whose size field is at `at` and adds the pad byte.
void EndChunk(std::vector<uint8_t> &out, size_t at) {
  const uint64_t size = out.size() - (at + 8);
  SetBe(out, at, size, 8);
  if (size & 1) out.push_back(0);
}

void PutTextChunk(std::vector<uint8_t> &out, const char *id, const std::string &text) {
  const size_t at = BeginChunk(out, id);
  PutBe(out, text.size(), 4);
  out.insert(out.end(), text.begin(), text.end());
  EndChunk(out, at);
}

void PutDffTags(std::vector<uint8_t> &out, const DffOptions &options) {
  if (options.artist || options.title) {
    const size_t at = BeginChunk(out, "DIIN");
    if (options.artist) PutTextChunk(out, "DIAR", *options.artist);
    if (options.title) PutTextChunk(out, "DITI", *options.title);
    EndChunk(out, at);
  }
  if (options.comments) {
    const size_t at = BeginChunk(out, "COMT");
    PutBe(out, options.comments->size(), 2);
    for (const DffComment &c : *options.comments) {
      PutBe(out, c.year, 2);
      out.push_back(c.month);
      out.push_back(c.day);
      out.push_back(c.hour);
      out.push_back(c.minutes);
      PutBe(out, c.type, 2);
      PutBe(out, c.ref, 2);
      PutBe(out, c.text.size(), 4);
      out.insert(out.end(), c.text.begin(), c.text.end());
      if (c.text.size() & 1) out.push_back(0);
    }
    EndChunk(out, at);
  }
}

// Appends UTF-8 text as UTF-16LE code units; malformed bytes become U+FFFD.
void PutUtf16Le(std::vector<uint8_t> &out, std::string_view text) {
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

void PutId3TextFrame(std::vector<uint8_t> &out, const char *id, std::string_view text) {
  if (text.empty()) return;
  bool ascii = true;
  for (char ch : text) ascii = ascii && static_cast<uint8_t>(ch) < 0x80;
  std::vector<uint8_t> body;
  if (ascii) {
    body.push_back(0);  // ISO-8859-1
    body.insert(body.end(), text.begin(), text.end());
  } else {
    body.push_back(1);  // UTF-16 with byte-order mark
    body.push_back(0xFF);
    body.push_back(0xFE);
    PutUtf16Le(body, text);
  }
  PutId(out, id);
  PutBe(out, body.size(), 4);  // ID3v2.3 frame sizes are plain 32-bit
  PutBe(out, 0, 2);            // flags
  out.insert(out.end(), body.begin(), body.end());
}

template <typename T>
std::vector<uint8_t> MakeWavOf(const WavFormat &format, const T *samples, size_t count) {
  std::vector<uint8_t> out =
      MakeWavHeader(format, uint64_t{count} * WavBytesPerSample(format.format));
  AppendWavSamples(format.format, samples, count, out);
  if (out.size() & 1) out.push_back(0);  // RIFF pad byte after an odd-sized data chunk
  return out;
}

int32_t RoundClamp(float x, double scale, int32_t lo, int32_t hi) {
  if (std::isnan(x)) return 0;
  const double v = std::nearbyint(static_cast<double>(x) * scale);
  if (v <= lo) return lo;
  if (v >= hi) return hi;
  return static_cast<int32_t>(v);
}

}  // namespace

std::vector<uint8_t> MakeDsf(uint32_t dsdRate, const ChannelBytes &channels,
                             const DsfOptions &options) {
  size_t length = 0;
  if (!CommonLength(channels, length) || options.blockSize == 0) return {};
  const uint64_t samples = options.sampleCount ? options.sampleCount : uint64_t{length} * 8;
  const uint64_t used = (samples + 7) / 8;
  if (used > length) return {};
  const uint64_t blocks = (used + options.blockSize - 1) / options.blockSize;
  const uint64_t dataBytes = blocks * options.blockSize * channels.size();
  const uint64_t dataChunk = 12 + dataBytes;
  const uint64_t tagOffset = 28 + 52 + dataChunk;
  const uint64_t total = tagOffset + options.id3Tag.size();
  const bool lsbFirst = options.bitsPerSample == 1;

  std::vector<uint8_t> out;
  out.reserve(total);
  PutId(out, "DSD ");
  PutLe(out, 28, 8);
  PutLe(out, total, 8);
  PutLe(out, options.id3Tag.empty() ? 0 : tagOffset, 8);

  PutId(out, "fmt ");
  PutLe(out, 52, 8);
  PutLe(out, 1, 4);  // format version
  PutLe(out, 0, 4);  // format id: raw DSD
  PutLe(out, DsfChannelType(channels.size()), 4);
  PutLe(out, channels.size(), 4);
  PutLe(out, dsdRate, 4);
  PutLe(out, options.bitsPerSample, 4);
  PutLe(out, samples, 8);
  PutLe(out, options.blockSize, 4);
  PutLe(out, 0, 4);  // reserved

  PutId(out, "data");
  PutLe(out, dataChunk, 8);
  // Samples past the count in the last used byte are cleared: with the earliest sample in
  // bit 7 they are the low-order bits.
  const unsigned tailBits = static_cast<unsigned>(samples & 7);
  const uint8_t lastMask = tailBits ? static_cast<uint8_t>(0xFF00u >> tailBits) : 0xFF;
  for (uint64_t b = 0; b < blocks; ++b) {
    for (const auto &channel : channels) {
      const uint64_t begin = b * options.blockSize;
      for (uint64_t i = begin; i < begin + options.blockSize; ++i) {
        uint8_t v = 0;
        if (i < used) {
          v = channel[i];
          if (i + 1 == used) v &= lastMask;
          if (lsbFirst) v = ReverseBits(v);
        }
        out.push_back(v);
      }
    }
  }
  out.insert(out.end(), options.id3Tag.begin(), options.id3Tag.end());
  return out;
}

std::vector<uint8_t> MakeId3v23Tag(std::string_view title, std::string_view artist) {
  std::vector<uint8_t> frames;
  PutId3TextFrame(frames, "TIT2", title);
  PutId3TextFrame(frames, "TPE1", artist);
  std::vector<uint8_t> out = {'I', 'D', '3', 3, 0, 0};
  const uint32_t size = static_cast<uint32_t>(frames.size());
  for (int shift = 21; shift >= 0; shift -= 7) out.push_back(static_cast<uint8_t>((size >> shift) & 0x7F));
  out.insert(out.end(), frames.begin(), frames.end());
  return out;
}

std::vector<uint8_t> MakeDff(uint32_t dsdRate, const ChannelBytes &channels,
                             const DffOptions &options) {
  size_t length = 0;
  if (!CommonLength(channels, length)) return {};
  const size_t n = channels.size();

  std::vector<uint8_t> out;
  out.reserve(256 + length * n);
  const size_t form = BeginChunk(out, "FRM8");
  PutId(out, "DSD ");

  size_t at = BeginChunk(out, "FVER");
  PutBe(out, 0x01050000, 4);
  EndChunk(out, at);

  const size_t prop = BeginChunk(out, "PROP");
  PutId(out, "SND ");
  at = BeginChunk(out, "FS  ");
  PutBe(out, dsdRate, 4);
  EndChunk(out, at);
  at = BeginChunk(out, "CHNL");
  PutBe(out, n, 2);
  static const char *const kIds[7][6] = {
      {},
      {"C   "},
      {"SLFT", "SRGT"},
      {"MLFT", "MRGT", "C   "},
      {"MLFT", "MRGT", "LS  ", "RS  "},
      {"MLFT", "MRGT", "C   ", "LS  ", "RS  "},
      {"MLFT", "MRGT", "C   ", "LFE ", "LS  ", "RS  "},
  };
  for (size_t c = 0; c < n; ++c) {
    if (n <= 6) {
      PutId(out, kIds[n][c]);
    } else {
      char id[8];
      std::snprintf(id, sizeof id, "C%03u", static_cast<unsigned>(c % 1000));
      PutId(out, id);
    }
  }
  EndChunk(out, at);
  at = BeginChunk(out, "CMPR");
  PutId(out, "DSD ");
  static const char kName[] = "not compressed";
  out.push_back(sizeof kName - 1);
  out.insert(out.end(), kName, kName + sizeof kName - 1);
  if ((sizeof kName) & 1) out.push_back(0);  // the count byte and text fill an even size
  EndChunk(out, at);
  EndChunk(out, prop);

  if (!options.tagsAfterSound) PutDffTags(out, options);
  at = BeginChunk(out, "DSD ");
  for (size_t i = 0; i < length; ++i) {
    for (size_t c = 0; c < n; ++c) out.push_back(channels[c][i]);
  }
  EndChunk(out, at);
  if (options.tagsAfterSound) PutDffTags(out, options);

  SetBe(out, form, out.size() - 12, 8);
  return out;
}

uint16_t WavBytesPerSample(WavSampleFormat format) {
  switch (format) {
    case WavSampleFormat::kPcm16: return 2;
    case WavSampleFormat::kPcm24: return 3;
    case WavSampleFormat::kFloat32: return 4;
  }
  return 0;
}

std::vector<uint8_t> MakeWavHeader(const WavFormat &format, uint64_t dataBytes) {
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
    PutLe(out, 0, 2);  // cbSize
    PutId(out, "fact");
    PutLe(out, 4, 4);
    const uint64_t frames = blockAlign ? dataBytes / blockAlign : 0;
    PutLe(out, fits ? frames : 0xFFFFFFFFu, 4);
  }
  PutId(out, "data");
  PutLe(out, fits ? dataBytes : 0xFFFFFFFFu, 4);
  return out;
}

void AppendWavSamples(WavSampleFormat format, const float *samples, size_t count,
                      std::vector<uint8_t> &out) {
  out.reserve(out.size() + count * WavBytesPerSample(format));
  for (size_t i = 0; i < count; ++i) {
    switch (format) {
      case WavSampleFormat::kPcm16:
        PutLe(out, static_cast<uint16_t>(RoundClamp(samples[i], 32768.0, -32768, 32767)), 2);
        break;
      case WavSampleFormat::kPcm24:
        PutLe(out, static_cast<uint32_t>(RoundClamp(samples[i], 8388608.0, -8388608, 8388607)), 3);
        break;
      case WavSampleFormat::kFloat32: {
        uint32_t bits;
        std::memcpy(&bits, &samples[i], 4);
        PutLe(out, bits, 4);
        break;
      }
    }
  }
}

void AppendWavSamples(WavSampleFormat format, const int16_t *samples, size_t count,
                      std::vector<uint8_t> &out) {
  out.reserve(out.size() + count * WavBytesPerSample(format));
  for (size_t i = 0; i < count; ++i) {
    switch (format) {
      case WavSampleFormat::kPcm16: PutLe(out, static_cast<uint16_t>(samples[i]), 2); break;
      case WavSampleFormat::kPcm24: PutLe(out, static_cast<uint32_t>(samples[i] * 256), 3); break;
      case WavSampleFormat::kFloat32: {
        const float f = static_cast<float>(samples[i]) / 32768.0f;
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        PutLe(out, bits, 4);
        break;
      }
    }
  }
}

void AppendWavSamples(WavSampleFormat format, const int32_t *samples, size_t count,
                      std::vector<uint8_t> &out) {
  out.reserve(out.size() + count * WavBytesPerSample(format));
  for (size_t i = 0; i < count; ++i) {
    const int32_t v = samples[i] < -8388608 ? -8388608 : (samples[i] > 8388607 ? 8388607 : samples[i]);
    switch (format) {
      case WavSampleFormat::kPcm16: PutLe(out, static_cast<uint16_t>(v >> 8), 2); break;
      case WavSampleFormat::kPcm24: PutLe(out, static_cast<uint32_t>(v), 3); break;
      case WavSampleFormat::kFloat32: {
        const float f = static_cast<float>(v) / 8388608.0f;
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        PutLe(out, bits, 4);
        break;
      }
    }
  }
}

std::vector<uint8_t> MakeWav(const WavFormat &format, const float *samples, size_t count) {
  return MakeWavOf(format, samples, count);
}

std::vector<uint8_t> MakeWav(const WavFormat &format, const int16_t *samples, size_t count) {
  return MakeWavOf(format, samples, count);
}

std::vector<uint8_t> MakeWav(const WavFormat &format, const int32_t *samples, size_t count) {
  return MakeWavOf(format, samples, count);
}

bool WriteFileBytes(const std::string &path, const std::vector<uint8_t> &bytes) {
  FILE *f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const bool closed = std::fclose(f) == 0;
  if (!(written && closed)) {
    std::remove(path.c_str());
    return false;
  }
  return true;
}

}  // namespace dsdsignal
