/*
 * fuzz_input.h - how a fuzz input drives one stream.
 *
 * An input is a control block of CONTROL_BYTES bytes, then up to 7 read-script
 * values and up to 7 request sizes (16-bit little-endian each, as many as the
 * counts in the last control byte say), then the file part. The controls pick
 * the output form, the target rate, the source knobs of the fake host, the
 * seek positions and the gain; the file part becomes the source, as it is or
 * behind a DSF or DSDIFF header built from the controls. Missing bytes read as
 * zero, so every byte string is a valid input.
 */
#ifndef VELMDSD_TESTS_FUZZ_INPUT_H
#define VELMDSD_TESTS_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fake_host.h"

namespace fuzz {

constexpr size_t CONTROL_BYTES = 23;
constexpr size_t MAX_LIST = 7;

enum Form : uint8_t { FORM_RAW, FORM_DOP, FORM_PCM16, FORM_PCM_FLOAT };

enum Container : uint8_t {
    CONTAINER_AS_IS,      /* the file part is the whole source */
    CONTAINER_DSF,        /* DSF header, the file part is the sound data (and tag body) */
    CONTAINER_DFF_SOUND,  /* DSDIFF FVER and PROP, the file part inside a "DSD " chunk */
    CONTAINER_DFF_CHUNKS, /* DSDIFF FVER and PROP, the file part as the following chunks */
};

/* Changes to the creation flags that make them wrong or unusual. */
enum FlagTwist : uint8_t { TWIST_NONE, TWIST_TOGGLE_FLOAT, TWIST_BOTH_DSD, TWIST_DROP_DECODE };

/* The gain codes above this are unusual values; below it a code is code - 120 dB. */
constexpr uint8_t GAIN_UNUSUAL = 240;
enum GainUnusual : uint8_t { GAIN_NAN = 240, GAIN_INF, GAIN_NEG_INF, GAIN_HUGE, GAIN_NEG_HUGE, GAIN_TINY };
constexpr uint8_t GAIN_KEEP = 255; /* no gain is set */

constexpr uint8_t NEVER = 0xff; /* seekAt: no seek while pulling */

struct Controls {
    uint8_t form = FORM_PCM16;
    uint8_t twist = TWIST_NONE;
    uint8_t container = CONTAINER_AS_IS;
    bool streamed = false; /* FileGetFlags bit 0 */
    bool passed = false;   /* FileGetFlags 0x100000 */
    bool failSeek = false; /* every FileSeek fails */
    bool unknownEnd = false;
    bool late = false;           /* only part of the source has arrived at first */
    bool limitAvailable = false; /* FileGetPosition(1) gives a finite amount */
    uint8_t freqIndex = 0;       /* into FreqTable() */
    uint16_t maxRead = 0;
    uint8_t channels = 2;            /* 1 to 8; the built headers only */
    uint8_t blockIndex = 0;          /* into BlockTable(); DSF header */
    bool byteSamples = false;        /* DSF header: 8 bits per sample (earliest bit 7) */
    bool id3 = false;                /* DSF header: a tag behind the sound data */
    uint8_t rateIndex = 0;           /* into RateTable(); the built headers */
    uint8_t defaultRateIndex = 0;    /* into DefaultRateTable(): the configured rate */
    bool knobsAfterCreation = false; /* readScript and failSeek take effect once the stream exists */
    bool hq = false;                 /* PCM through the high-quality converter */
    uint8_t tail = 0;                /* DSF header: bytes per channel the sample count falls short */
    uint8_t tagBytes = 0;            /* DSF header with id3: body bytes taken from the end of the file part */
    uint8_t gainCode = GAIN_KEEP;
    int8_t defaultGain = 6; /* the configured gain */
    uint8_t seekAt = NEVER; /* the pull call before which pos2 is sought */
    uint8_t canSetMode = 0;
    uint8_t arrivedFraction = 0; /* late: arrived = size * fraction / 256 */
    uint8_t pos2Shift = 0;       /* pos2 is shifted left by this (0 to 31) */
    uint32_t pos1 = 0;           /* sought before pulling, and again for the second pass */
    uint32_t pos2 = 0;
    std::vector<int16_t> readScript = {}; /* forced FileRead results */
    std::vector<uint16_t> requests = {};  /* the first request sizes; then a default */

    bool operator==(const Controls &) const = default;
};

const std::vector<uint32_t> &FreqTable();        /* 16 entries */
const std::vector<uint32_t> &DefaultRateTable(); /* 8 */
const std::vector<uint32_t> &RateTable();        /* 8 */
const std::vector<uint32_t> &BlockTable();       /* 8 */

/* The creation flags the form and twist give. */
uint32_t CreationFlags(const Controls &controls);

std::vector<uint8_t> Encode(const Controls &controls, const std::vector<uint8_t> &filePart);
/* The controls of an input; *fileOffset is where its file part begins (at most size). */
Controls Decode(const uint8_t *data, size_t size, size_t *fileOffset);
/* The source bytes: the file part as it is, or behind the header the controls choose. */
std::vector<uint8_t> BuildSource(const Controls &controls, const uint8_t *filePart, size_t size);
/* The source as creation meets it: those bytes and the knobs that apply from the start. */
fake::Source MakeSource(const Controls &controls, const uint8_t *filePart, size_t size);

/* Named inputs made with the test fixtures: well-formed files under many controls. */
struct Seed {
    std::string name;
    Controls controls;
    std::vector<uint8_t> filePart;
    bool creates = true; /* the source and flags make a stream */

    std::vector<uint8_t> Bytes() const { return Encode(controls, filePart); }
};
std::vector<Seed> Seeds();

} // namespace fuzz

/* Runs one input through creation, every operation and the read procedure.
   Returns 0, or 1 after printing to stderr each property that did not hold. */
int FuzzOneInput(const uint8_t *data, size_t size);

#endif /* VELMDSD_TESTS_FUZZ_INPUT_H */
