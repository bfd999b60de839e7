/*
 * dsf_fixture.h - DSF and DSDIFF files built in memory for tests.
 *
 * Every byte is written through the little/big-endian helpers below, so the
 * layout is visible in the code and the files come out the same on every
 * machine. The knobs produce the malformed files the readers must survive.
 */
#ifndef VELMDSD_TESTS_DSF_FIXTURE_H
#define VELMDSD_TESTS_DSF_FIXTURE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fixture {

/* ---- byte helpers ---- */
void PutLe(std::vector<uint8_t> &out, uint64_t value, int bytes);
void PutBe(std::vector<uint8_t> &out, uint64_t value, int bytes);
void PutId(std::vector<uint8_t> &out, const char *id); /* 4 bytes, blank-padded */
void PutText(std::vector<uint8_t> &out, const std::string &text);
uint64_t GetLe(const std::vector<uint8_t> &in, size_t offset, int bytes);
uint64_t GetBe(const std::vector<uint8_t> &in, size_t offset, int bytes);
std::string GetId(const std::vector<uint8_t> &in, size_t offset);

/* n bytes that depend on `seed`, the same on every run. */
std::vector<uint8_t> PatternBytes(size_t n, uint32_t seed);
/* One byte per channel per frame, channel 0 first; a short channel ends the frames. */
std::vector<uint8_t> Interleave(const std::vector<std::vector<uint8_t>> &channels);

/* ---- DSF ---- */

/* Offsets of the fixed parts of a DSF file made by MakeDsf (fmt size 52). */
constexpr size_t DSF_FMT_OFFSET = 28;
constexpr size_t DSF_DATA_OFFSET = 80;  /* the "data" chunk header */
constexpr size_t DSF_SOUND_OFFSET = 92; /* the first sound byte */

struct DsfSpec {
    uint32_t channels = 2;
    uint32_t dsdRate = 2822400;
    uint32_t bitsPerSample = 1;
    uint32_t blockSize = 4096;
    /* 1-bit samples per channel; unset: 8 x the longest channelBytes entry. */
    std::optional<uint64_t> sampleCount;
    /* Sound bytes per channel; each channel is padded to whole blocks (as many
       as the longest channel needs) with padByte. Missing channels are all padding. */
    std::vector<std::vector<uint8_t>> channelBytes;
    uint8_t padByte = 0;
    /* A whole ID3v2 tag appended after the data chunk; the metadata pointer points at it. */
    std::vector<uint8_t> id3;
    uint32_t formatVersion = 1;
    uint32_t formatId = 0;
    std::optional<uint32_t> channelType; /* unset: derived from channels */

    /* Knobs for malformed files. */
    uint64_t dsdChunkSize = 28;    /* written into the "DSD " chunk; the chunk stays 28 bytes */
    const char *fmtId = "fmt ";
    const char *dataId = "data";
    /* Written into the "fmt " chunk; when larger than 52 the chunk holds that many
       bytes (zeros after the reserved field), when smaller it still holds 52. */
    uint64_t fmtChunkSize = 52;
    std::optional<uint64_t> dataChunkSize; /* unset: 12 + the sound bytes written */
    int64_t totalSizeDelta = 0;            /* added to the true file size in the header */
    std::optional<uint64_t> metadataPointer; /* unset: the tag's offset, or 0 without one */
    uint64_t truncateTo = 0;               /* nonzero: cut the file to this many bytes */
};

std::vector<uint8_t> MakeDsf(const DsfSpec &shape);

/* An ID3v2 header ("ID3", version 3.0, flags 0, synchsafe body size) and a
   PatternBytes body. setTopBits sets bit 7 of each size byte, which readers ignore. */
std::vector<uint8_t> MakeId3(size_t bodySize, bool setTopBits = false);

/* ---- DSDIFF ---- */

/*
 * One chunk: a 4-byte id, a 64-bit big-endian size, then formType (when set),
 * data and the children in order, then a pad byte when that body is odd.
 * The size field counts the body without the pad byte, unless sizeOverride.
 */
struct Chunk {
    std::string id;
    std::vector<uint8_t> data;
    std::vector<Chunk> children;
    std::optional<uint64_t> sizeOverride;
    const char *formType = nullptr; /* "SND " for a property chunk */
};

std::vector<uint8_t> SerializeChunk(const Chunk &chunk);

/* "FRM8", the form size (unset: 4 + all chunks), formType, the chunks. */
std::vector<uint8_t> MakeDff(const std::vector<Chunk> &topLevel,
                             std::optional<uint64_t> formSize = std::nullopt,
                             const char *formType = "DSD ");

struct Comment {
    uint16_t year = 2024;
    uint8_t month = 1, day = 1, hour = 0, minutes = 0;
    uint16_t type = 0, ref = 0;
    std::string text;
};

Chunk Fver(uint32_t version = 0x01050000);
Chunk Fs(uint32_t rate);
Chunk Chnl(uint16_t channels); /* count, then SLFT/SRGT for stereo, C000.. otherwise */
Chunk Cmpr(const char *type = "DSD ", const std::string &name = "not compressed");
Chunk Prop(uint32_t rate, uint16_t channels); /* PROP "SND " with FS, CHNL, CMPR */
Chunk TextChunk(const char *id, const std::string &text); /* 32-bit length, text */
Chunk Diin(const std::string &artist, const std::string &title); /* an empty text is left out */
Chunk Comt(const std::vector<Comment> &comments);
Chunk Sound(std::vector<uint8_t> interleaved); /* the "DSD " chunk */

struct DffSpec {
    uint32_t dsdRate = 2822400;
    uint16_t channels = 2;
    std::vector<uint8_t> sound; /* byte-interleaved */
    std::string artist, title;  /* DIIN when either is set */
    std::vector<Comment> comments; /* COMT when not empty */
    bool metadataAfterSound = false; /* DIIN and COMT after the "DSD " chunk */
    uint64_t truncateTo = 0;
};

/* FVER, PROP, [DIIN], [COMT], "DSD " (or the metadata after it). */
std::vector<uint8_t> MakeDff(const DffSpec &shape);

} // namespace fixture

#endif /* VELMDSD_TESTS_DSF_FIXTURE_H */
