/* cli.h - the velmdsd command-line tool: shared pieces of its commands. */
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

enum class Form { kPcm16, kPcmFloat, kDop, kRaw };

/* Stream flags of the add-on for a form. */
uint32_t FormFlags(Form form);
/* "PCM 16-bit", "PCM float", "DoP", "raw DSD". */
const char *FormName(Form form);
/* Bytes per sample of one channel in the stream. */
uint32_t FormSampleBytes(Form form);

/* The name of a host or add-on error code, e.g. "ERROR_FORMAT". */
const char *ErrorName(int code);

struct DecodeRequest {
    std::string input;        /* a file, or "-" for standard input */
    std::string output;       /* "-" is standard output; empty: decode without writing */
    Form form = Form::kPcm16; /* kPcm16 stands for PCM in general; `bits` picks the samples */
    uint32_t rate = 0;        /* PCM rate wanted; 0: the configured default, no resampling */
    uint32_t bits = 16;       /* PCM output: 16, 24 or 32 (float) */
    bool dither = false;      /* TPDF dither when PCM floats become 16 or 24 bits */
    bool hasGain = false;     /* PCM gain in dB through the gain attribute */
    float gainDb = 0.0f;
    double start = 0.0;       /* seconds */
    double duration = -1.0;   /* seconds; negative: to the end */
    bool progress = false;    /* a progress bar on standard error */
    bool keepSamples = false; /* PCM: keep the samples as floats (for measurements) */
    bool highQuality = false; /* PCM: the add-on's high-quality converter (VELM_DSD_PCM_HQ) */
    uint32_t threads = 1;     /* a named file decodes in segments on this many threads */
    uint32_t dsdWord = 1;     /* raw DSD: bytes of one channel per word (1, 2 or 4), as ALSA's DSD_U8..U32 */
    bool dsdLittle = false;   /* raw DSD words of 2 or 4 bytes: little-endian (earliest byte last) */
};

enum class Outcome { kOk, kFailed, kEndedEarly };

/* Consecutive calls that bring nothing without the end before the source counts as stalled (a count,
   not a time: waiting for a source, and timing it out, is the host's). */
constexpr uint32_t kStallCalls = 1000;

struct DecodeSummary {
    uint32_t channels = 0;
    uint32_t outputRate = 0;  /* the rate written */
    uint32_t streamRate = 0;  /* the add-on's rate (differs when resampled) */
    uint64_t outputBytes = 0; /* sample bytes written */
    double audioSeconds = 0.0;
    double promisedSeconds = 0.0; /* what the header promised from the start on */
    double elapsedSeconds = 0.0;
    uint64_t clipped = 0;         /* PCM samples that did not fit the output */
    double suggestedGainDb = 0.0; /* a gain that avoids the clipping */
    uint64_t brokenDstFrames = 0; /* DST frames the add-on decoded as silence */
    std::vector<float> samples;   /* interleaved, full scale 1.0, when keepSamples */
};

/* Decodes one input. kFailed: `error` holds one line naming the cause and no output is left
   (an existing file is untouched). kEndedEarly: the output holds what the source gave. */
Outcome Decode(const DecodeRequest &request, DecodeSummary *summary, std::string *error);

/* --gain auto: a first pass over the file's float PCM finds the peak at the configured gain; the
   gain that puts it just below full scale of the output, from -100 to 60 dB (NaN: no sound). */
double AutoGainDb(const DecodeRequest &request);

/* One line describing a finished decode. */
std::string SummaryLine(const DecodeRequest &request, const DecodeSummary &summary);

/* A float attribute as a 32-bit count, clamped (rates near 2^32 round up as floats). */
uint32_t ClampToU32(double v);

/* Parses a number option value; false when it is not a whole valid number. */
bool ParseDouble(const char *text, double *value);
bool ParseUint(const char *text, uint32_t *value);

int CmdDecode(int argc, char **argv);
int CmdInfo(int argc, char **argv);
int CmdEncode(int argc, char **argv);
int CmdMakeTest(int argc, char **argv);
int CmdDemo(int argc, char **argv);
int CmdMeasure(int argc, char **argv);

} // namespace cli
