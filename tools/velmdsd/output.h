/* output.h - where the tool writes: WAV or raw bytes, to a file replaced only when complete,
   or straight to a device, a pipe or standard output. */
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace cli {

enum class SampleKind { kInt16, kInt24, kFloat32, kRawBytes };

struct OutputFormat {
    SampleKind kind = SampleKind::kInt16;
    uint32_t rate = 0;
    uint32_t channels = 0;
    uint32_t channelMask = 0; /* WAV speaker bits; 0: no layout known */
};

/* One output. A regular file (or a path that does not exist yet) is written under a temporary
   name in the same folder and renamed into place by OutputFinish, so an existing file is only
   ever replaced by a complete one; a device, a FIFO or "-" is written directly and never removed. */
struct Output {
    FILE *file = nullptr;
    std::string path;     /* as given; "-" for standard output */
    std::string target;   /* the file renamed into place (symlinks resolved) */
    std::string tempPath; /* empty when writing directly */
    OutputFormat format;
    uint64_t dataBytes = 0;
    bool failed = false;
    int errorNumber = 0; /* errno of the first failed write */
};

/* Bytes per sample of a kind (raw DSD: 1). */
uint32_t SampleBytes(SampleKind kind);

/* Empty when a WAV header can describe the format, else one line saying why not. */
std::string WavRefusal(const OutputFormat &format);

/* The WAV header for `dataBytes` bytes of samples: WAVE_FORMAT_EXTENSIBLE with the channel mask
   for more than two channels or more than 16 bits, the plain form otherwise. Sizes beyond 32 bits
   are written as 0xFFFFFFFF (unknown). Returns the header length (at most 80 bytes). */
size_t MakeWavHeader(const OutputFormat &format, uint64_t dataBytes, uint8_t *header);

bool OutputOpen(Output *out, const std::string &path, const OutputFormat &format, std::string *error);
bool OutputWrite(Output *out, const void *bytes, size_t n);
/* Completes the WAV sizes, closes and renames into place; false (with the cause) when anything
   failed, in which case the temporary file is gone and any earlier file at the path is untouched. */
bool OutputFinish(Output *out, std::string *error);
/* Gives up: removes the temporary file; a direct output is only closed. */
void OutputAbort(Output *out);

/* On SIGINT, SIGTERM and SIGHUP the temporary file being written is removed and the tool ends
   by the same signal (a shell then reports 130, 143 or 129); an earlier file stays as it was. */
void OutputCatchSignals();

/* True when `output` names the same file as `input` (the same path, a link to it, any path that
   resolves to it): device and inode compared. False when either does not exist or is "-". */
bool SameFile(const std::string &input, const std::string &output);

} // namespace cli
