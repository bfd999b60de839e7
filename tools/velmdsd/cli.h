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
    std::string input;
    std::string output;   /* "-" is standard output; empty: decode without writing */
    Form form = Form::kPcm16;
    uint32_t rate = 0;    /* PCM target rate; 0: the configured default */
    bool hasGain = false; /* PCM gain in dB through the gain attribute */
    float gainDb = 0.0f;
    double start = 0.0;     /* seconds */
    double duration = -1.0; /* seconds; negative: to the end */
    bool progress = false;  /* a progress bar on standard error */
    bool keepSamples = false; /* PCM: keep the samples as floats (for measurements) */
};

struct DecodeSummary {
    uint32_t channels = 0;
    uint32_t outputRate = 0;
    uint64_t outputBytes = 0;
    double audioSeconds = 0.0;
    double elapsedSeconds = 0.0;
    std::vector<float> samples; /* interleaved, full scale 1.0, when keepSamples */
};

/* Decodes one file; on failure `error` holds one line naming the cause and no output file is left. */
bool Decode(const DecodeRequest &request, DecodeSummary *summary, std::string *error);

/* One line describing a finished decode. */
std::string SummaryLine(const DecodeRequest &request, const DecodeSummary &summary);

/* Parses a number option value; false when it is not a whole valid number. */
bool ParseDouble(const char *text, double *value);
bool ParseUint(const char *text, uint32_t *value);

int CmdDecode(int argc, char **argv);
int CmdInfo(int argc, char **argv);
int CmdMakeTest(int argc, char **argv);
int CmdDemo(int argc, char **argv);

} // namespace cli
