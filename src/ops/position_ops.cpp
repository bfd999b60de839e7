/*
 * Length, file position and seeking. An output position counts bytes of the
 * stream's output form; a source offset counts sound bytes from dataOffset.
 */
#include "convert/hq_decimator.h"
#include "create/dst_source.h"
#include "create/stream_create.h"
#include "host/host.h"
#include "ops/operations.h"

/* Output bytes per channel per output sample of a stream that is not raw DSD (raw: one sound byte). */
static uint64_t SampleWidth(const DsdStream *s)
{
    return (s->flags & STREAM_FLOAT) ? 4 : 2;
}

/*
 * Sound bytes per channel before the first one the data for `position` starts with: a
 * whole number of output samples, each `ratio` bytes (raw: one byte). A DSF stream that
 * is not raw starts, as designed, at a block group's start, moved back to the start of
 * the output sample it falls in when the block size is not a multiple of `ratio`.
 */
static uint64_t SoundBytesForPosition(const DsdStream *s, uint64_t position)
{
    uint64_t perChannel = position / s->channels;
    if (s->flags & DSD_RAW)
        return perChannel;
    if (s->hq != nullptr) /* the exact sample, by a restart ahead of it */
        return HqRestartByte(s->hq, perChannel / SampleWidth(s));
    const uint64_t ratio = static_cast<uint64_t>(s->ratio);
    perChannel = perChannel / SampleWidth(s) * ratio;
    if (!s->isDff) {
        perChannel -= perChannel % s->blockSize;
        perChannel -= perChannel % ratio;
    }
    return perChannel;
}

uint64_t soundOffsetForPosition(const DsdStream *s, uint64_t position)
{
    uint64_t perChannel = SoundBytesForPosition(s, position);
    /* DSF can only be read from the start of a block group. */
    if (!s->isDff)
        perChannel -= perChannel % s->blockSize;
    return perChannel * s->channels;
}

uint64_t DsdGetLength(void *inst, uint32_t mode)
{
    const DsdStream *s = static_cast<const DsdStream *>(inst);
    if (mode == VELM_DSD_POS_DECLARED) {
        SetError(ERROR_OK);
        return DsdStreamLength(s, POSITION_NONE); /* the source's end taken as unknown */
    }
    if (mode != VELM_POS_BYTE || s->length == 0) {
        SetError(ERROR_NOT_AVAILABLE);
        return POSITION_NONE;
    }
    SetError(ERROR_OK);
    return s->length;
}

uint64_t DsdGetFilePosition(void *inst, uint32_t mode)
{
    const DsdStream *s = static_cast<const DsdStream *>(inst);
    const HostFunctions *host = hostFunctions;
    switch (mode) {
    case 0:
        /* The first sound byte not yet consumed; DSF stages whole groups and DST whole frames, so
           neither has such a byte. */
        if (!s->isDff || s->dst != nullptr)
            return POSITION_NONE;
        return host->FileGetPosition(s->file, 0) - s->staged.waiting + s->staged.drop;
    case 2: {
        uint64_t held = host->FileGetPosition(s->file, 2) - s->dataOffset;
        return held < s->dataSize ? held : s->dataSize;
    }
    case 3: {
        uint64_t passed = host->FileGetPosition(s->file, 3);
        /* An unknown value stays unknown rather than wrapping to dataOffset - 1. */
        return passed == POSITION_NONE ? POSITION_NONE : passed + s->dataOffset;
    }
    default:
        return POSITION_NONE;
    }
}

uint32_t DsdCanSetPosition(void *inst, uint64_t position, uint32_t mode)
{
    const DsdStream *s = static_cast<const DsdStream *>(inst);
    if ((mode & 0xff) != VELM_POS_BYTE) {
        SetError(ERROR_NOT_AVAILABLE);
        return 0;
    }
    if (position >= s->length) {
        SetError(ERROR_POSITION);
        return 0;
    }
    if (s->dst != nullptr) {
        /* DST frames are found by reading the source, which one read as it arrives cannot. */
        if (hostFunctions->FileGetFlags(s->file) & FILE_STREAMED) {
            SetError(ERROR_NOT_AVAILABLE);
            return 0;
        }
        return 1;
    }
    uint64_t available = hostFunctions->FileGetPosition(s->file, 1);
    if (available == POSITION_NONE || available >= soundOffsetForPosition(s, position))
        return 1;
    SetError(ERROR_POSITION);
    return 0;
}

/* DST: to the frame that holds sound byte `start` (all channels), whose bytes before it the
   read procedure drops (less than one frame). */
static bool SeekDst(DsdStream *s, uint64_t start)
{
    DstSource *dst = s->dst;
    const uint64_t frameBytes = dst->frameBytes;
    const uint64_t frame = start / frameBytes;
    if (hostFunctions->FileGetFlags(s->file) & FILE_STREAMED) {
        SetError(ERROR_NOT_AVAILABLE);
        return false;
    }
    if (frame >= dst->frames || !DstSeekFrame(dst, s->file, static_cast<uint32_t>(frame), s->dataOffset)) {
        SetError(ERROR_POSITION);
        return false;
    }
    s->staged = StagedBytes{0, static_cast<uint32_t>(start - frame * frameBytes)};
    return true;
}

uint64_t DsdSetPosition(void *inst, uint64_t position, uint32_t mode)
{
    (void)mode;
    DsdStream *s = static_cast<DsdStream *>(inst);
    const uint64_t start = SoundBytesForPosition(s, position) * s->channels;
    if (s->dst != nullptr) {
        if (!SeekDst(s, start))
            return POSITION_NONE;
    } else {
        const uint64_t offset = soundOffsetForPosition(s, position);
        if (!hostFunctions->FileSeek(s->file, s->dataOffset + offset)) {
            SetError(ERROR_POSITION);
            return POSITION_NONE;
        }
        /* A DSF read restarts at the block group's start; the read procedure drops the bytes
           before the position (less than one group, which fits the signed count). */
        s->staged = StagedBytes{0, static_cast<uint32_t>(start - offset)};
    }
    s->partialFill = 0;
    if (s->flags & DSD_RAW)
        return start;
    if (s->hq != nullptr) {
        uint64_t sample = position / s->channels / SampleWidth(s);
        HqRestart(s->hq, sample);
        return sample * s->channels * SampleWidth(s);
    }
    return start / static_cast<uint64_t>(s->ratio) * SampleWidth(s);
}
