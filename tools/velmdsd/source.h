/* source.h - the tool's inputs: a named file, or standard input read as it comes. */
#pragma once

#include <cstdint>
#include <string>

namespace cli {

struct PipeSource;

struct Input {
    uint32_t handle = 0;
    PipeSource *pipe = nullptr; /* set when the input is standard input */
    std::string looksLike;      /* what a source the add-on refuses looks like, e.g. "a WAV file" */
};

/* Bytes of standard input kept for going back: the container readers look a little ahead
   and return; anything farther away than this is refused. */
constexpr uint32_t kPipeWindow = 1u << 20;

/* http://, https:// and file:// names, which the host opens as URLs. */
bool IsUrl(const std::string &name);

/* Looks at "-" (standard input: its first bytes are read and kept) or a file, for what a source
   the add-on refuses looks like. False with `error` holding the cause when standard input cannot be set up, or when a
   named input cannot be opened or cannot be a DSD file (a directory, a FIFO, a device): it is
   opened without blocking, so a FIFO without a writer is refused at once. */
bool PrepareInput(const std::string &name, Input *in, std::string *error);
/* Creates the stream with the given flags and PCM rate, through user file procedures over the
   pipe for standard input. False with `error` holding the cause. */
bool OpenStream(const std::string &name, uint32_t flags, uint32_t freq, Input *in, std::string *error);
/* Frees the stream and creates it again with other flags, from the source's start; for standard
   input only while the window still holds that start. False with `error` holding the cause. */
bool ReopenStream(const std::string &name, uint32_t flags, uint32_t freq, Input *in, std::string *error);
/* Frees the stream and the pipe window. */
void CloseInput(Input *in);
/* The system's reason when reading standard input failed (empty when it did not). */
std::string PipeReadFailure(const Input &in);

/* What the add-on read from the stream's header. */
/* The WAV speaker bits the header names, 0 when none. */
uint32_t SpeakerMask(uint32_t handle);
/* The DSD rate in Hz, exact; 0 when the stream gives none. */
uint32_t DsdRate(uint32_t handle);
/* True for a DSDIFF source, false for DSF. */
bool IsDsdiff(uint32_t handle);
/* The rate of a PCM stream of the same source created with `freq` (0: the configured rate); 0
   when the stream does not say. */
uint32_t PcmRateFor(uint32_t handle, uint32_t freq);
/* How the sound is stored: plain DSD, or DST frames (the frame count the header declares, and the
   declared sound bytes against the bytes stored). */
struct Compression {
    bool dst = false;
    uint64_t frames = 0;
    double ratio = 1.0;
};
Compression StreamCompression(uint32_t handle);
/* DST frames the add-on decoded as silence so far (0 for plain sound). */
uint64_t BrokenDstFrames(uint32_t handle);
/* "5.1: FL FR FC LFE BL BR", "stereo: FL FR", or "unknown (N channels)". */
std::string LayoutText(uint32_t mask, uint32_t channels);

} // namespace cli
