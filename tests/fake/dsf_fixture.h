/*
 * dsf_fixture.h - DSF and DSDIFF files built in memory for tests.
 *
 * The test-signal library's writers do the work: this header gives them the
 * names the tests use, and adds the test patterns. The knobs of DsfSpec and
 * Chunk produce the malformed files the readers must survive.
 */
#ifndef VELMDSD_TESTS_DSF_FIXTURE_H
#define VELMDSD_TESTS_DSF_FIXTURE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dsdsignal/bytes.h"
#include "dsdsignal/writers.h"

namespace fixture {

/* ---- byte helpers ---- */
using dsdsignal::GetBe;
using dsdsignal::GetId;
using dsdsignal::GetLe;
using dsdsignal::Interleave;
using dsdsignal::PutBe;
using dsdsignal::PutId;
using dsdsignal::PutLe;

inline void PutText(std::vector<uint8_t> &out, const std::string &text)
{
    out.insert(out.end(), text.begin(), text.end());
}

/* n bytes that depend on `seed`, the same on every run. */
std::vector<uint8_t> PatternBytes(size_t n, uint32_t seed);

/* ---- DSF ---- */

constexpr size_t DSF_FMT_OFFSET = dsdsignal::kDsfFmtOffset;
constexpr size_t DSF_DATA_OFFSET = dsdsignal::kDsfDataOffset;
constexpr size_t DSF_SOUND_OFFSET = dsdsignal::kDsfSoundOffset;

using DsfSpec = dsdsignal::DsfFields;

inline std::vector<uint8_t> MakeDsf(const DsfSpec &shape)
{
    return dsdsignal::WriteDsf(shape);
}

/* `channels` channels of PatternBytes(perChannel, firstSeed + channel index). */
DsfSpec PatternDsf(uint32_t channels, size_t perChannel, uint32_t firstSeed);

/* An ID3v2 header and a PatternBytes body. setTopBits sets bit 7 of each size byte, which readers ignore. */
std::vector<uint8_t> MakeId3(size_t bodySize, bool setTopBits = false);

/* ---- DSDIFF ---- */

using Chunk = dsdsignal::DffChunk;
using Comment = dsdsignal::DffComment;

inline std::vector<uint8_t> SerializeChunk(const Chunk &chunk)
{
    return dsdsignal::WriteDffChunk(chunk);
}

inline std::vector<uint8_t> MakeDff(const std::vector<Chunk> &topLevel,
                                    std::optional<uint64_t> formSize = std::nullopt,
                                    const char *formType = "DSD ")
{
    return dsdsignal::WriteDff(topLevel, formSize, formType);
}

inline Chunk Fver(uint32_t version = 0x01050000)
{
    return dsdsignal::DffFver(version);
}
inline Chunk Fs(uint32_t rate)
{
    return dsdsignal::DffFs(rate);
}
inline Chunk Chnl(uint16_t channels)
{
    return dsdsignal::DffChnl(channels);
}
inline Chunk Prop(uint32_t rate, uint16_t channels)
{
    return dsdsignal::DffProp(rate, channels);
}
inline Chunk TextChunk(const char *id, const std::string &text)
{
    return dsdsignal::DffText(id, text);
}
inline Chunk Comt(const std::vector<Comment> &comments)
{
    return dsdsignal::DffComt(comments);
}
inline Chunk Sound(std::vector<uint8_t> interleaved)
{
    return dsdsignal::DffSound(std::move(interleaved));
}

/* An empty text is left out. */
inline Chunk Diin(const std::string &artist, const std::string &title)
{
    auto given = [](const std::string &t) {
        return t.empty() ? std::nullopt : std::optional<std::string>(t);
    };
    return dsdsignal::DffDiin(given(artist), given(title));
}

struct DffSpec {
    uint32_t dsdRate = 2822400;
    uint16_t channels = 2;
    std::vector<uint8_t> sound;      /* byte-interleaved */
    std::string artist, title;       /* DIIN when either is set */
    std::vector<Comment> comments;   /* COMT when not empty */
    bool metadataAfterSound = false; /* DIIN and COMT after the "DSD " chunk */
    uint64_t truncateTo = 0;
};

/* FVER, PROP, [DIIN], [COMT], "DSD " (or the metadata after it). */
std::vector<uint8_t> MakeDff(const DffSpec &shape);

/* A stereo DSDIFF file of PatternBytes(perChannel, 1) and PatternBytes(perChannel, 2). */
std::vector<uint8_t> PatternDff(size_t perChannel);

} // namespace fixture

#endif /* VELMDSD_TESTS_DSF_FIXTURE_H */
