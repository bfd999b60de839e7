/*
 * The creation driver: recognises the container, lets its reader describe
 * the sound data, chooses the output form, and creates the host stream.
 */
#include "create/stream_create.h"

#include <stdlib.h>
#include <string.h>

#include "convert/filter.h"
#include "convert/hq_decimator.h"
#include "convert/stream_read.h"
#include "create/byte_order.h"
#include "create/dst_source.h"
#include "create/readers.h"
#include "create/source_read.h"
#include "host/host.h"
#include "ops/operations.h"

#define MIN_PCM_RATE 44100u

int32_t PcmRatio(uint32_t dsdRate, uint32_t target)
{
    if (target < MIN_PCM_RATE)
        target = MIN_PCM_RATE;
    int32_t ratio = 1;
    while (((dsdRate / static_cast<uint32_t>(ratio)) >> 4) >= target)
        ratio <<= 1;
    return ratio;
}

/* The high-quality converter's state that any stream may have, and the most any may have
   (about 600 channels). */
#define MAX_HQ_STATE_FIXED (1u << 20)
#define MAX_HQ_STATE (16u << 20)

/* A source of unknown size cannot justify a work buffer above this. */
#define MAX_BUFFER_UNKNOWN_SOURCE (64u << 20)

/* Sound bytes the source holds, as far as the host knows its end. */
static uint64_t SoundHeld(const DsdStream *stream, uint64_t sourceEnd)
{
    uint64_t held = stream->dataSize;
    if (sourceEnd != POSITION_NONE) {
        uint64_t present = sourceEnd > stream->dataOffset ? sourceEnd - stream->dataOffset : 0;
        held = present < held ? present : held;
    }
    return held;
}

int32_t SizeWorkBuffer(DsdStream *stream, uint64_t sourceEnd, uint32_t window)
{
    const uint64_t held = SoundHeld(stream, sourceEnd);
    const uint64_t channels = stream->channels;
    const uint64_t group = stream->blockSize * channels;
    uint64_t staged;
    if (stream->dst != nullptr) {
        /* Decoded frames: one after the bytes waiting, and a second when a seek drops most
           of the first. */
        staged = 2 * static_cast<uint64_t>(stream->dst->frameBytes);
    } else if (stream->isDff) {
        /* One read brings at most a group, and never more than the data holds. */
        staged = group < held ? group : held;
    } else {
        /* A DSF source plays whole block groups only: one must fit the data. Then a group
           of bytes waiting and a second group to stage reads in. */
        if (group > held)
            return ERROR_FORMAT;
        staged = 2 * group;
    }
    /* Room for the largest window besides; every count must fit the record's int32 fields. */
    uint64_t size = window * channels + staged;
    if (size > INT32_MAX || (sourceEnd == POSITION_NONE && size > MAX_BUFFER_UNKNOWN_SOURCE))
        return ERROR_MEMORY;
    stream->bufferSize = static_cast<uint32_t>(size);
    return ERROR_OK;
}

uint64_t DsdStreamLength(const DsdStream *stream, uint64_t sourceEnd)
{
    uint64_t channels = stream->channels;
    uint64_t available = (sourceEnd - stream->dataOffset) / channels;
    if (!stream->isDff)
        available -= available % stream->blockSize;
    uint64_t declared = stream->dataSize / channels;
    if (stream->dst != nullptr) {
        /* The frames FRTE declares; where a short source cuts them is known only when read. */
        declared = static_cast<uint64_t>(stream->dst->frames) * (stream->dst->frameBytes / channels);
        available = declared;
    }
    declared = declared > stream->tailPad ? declared - stream->tailPad : 0;
    uint64_t perChannelBytes = available < declared ? available : declared;

    if (stream->flags & DSD_RAW)
        return perChannelBytes * channels;
    if (stream->flags & DSD_DOP)
        return perChannelBytes / 2 * channels * 4;
    uint64_t ratio = static_cast<uint64_t>(stream->ratio);
    if (stream->hq != nullptr)
        return HqSamples(perChannelBytes, stream->ratio) * channels *
               ((stream->flags & STREAM_FLOAT) ? 4 : 2);
    uint64_t samples =
        perChannelBytes + ratio < FILTER_GROUPS ? 0 : (perChannelBytes + ratio - FILTER_GROUPS) / ratio;
    return samples * channels * ((stream->flags & STREAM_FLOAT) ? 4 : 2);
}

/* Fails the creation of a record that was allocated: frees it and reports `code`. */
static uint32_t CreateFailed(DsdStream *stream, int32_t code)
{
    DsdStreamFree(stream);
    SetError(code);
    return 0;
}

/*
 * A header that is incomplete is a format error, unless the source itself failed: then the
 * code the host set for its failed read (a time-out, a transfer that broke off) stands.
 * ERROR_FORMAT is set first, so that a host whose failed read sets no code of its own
 * still leaves a failed creation with a code.
 */
static void ReportIncompleteHeader(uint32_t file)
{
    SetError(ERROR_FORMAT);
    if (!SourceFailed(file))
        SetError(ERROR_FORMAT); /* a successful probe may have cleared the code */
}

uint32_t DsdStreamCreate(uint32_t file, uint32_t flags, uint32_t freq)
{
    const HostFunctions *host = hostFunctions;
    uint32_t fileFlags = host->FileGetFlags(file);

    uint8_t head[16];
    bool isDff;
    if (ReadCleared(file, head, 16) != 16) {
        ReportIncompleteHeader(file);
        return 0;
    }
    if (IdIs(head, "FRM8") && IdIs(head + 12, "DSD ")) {
        isDff = true;
    } else if (IdIs(head, "DSD ") && ReadLE64(head + 4) == DSF_HEADER_SIZE) {
        isDff = false;
    } else {
        SetError(ERROR_FORMAT);
        return 0;
    }

    DsdStream *stream = DsdStreamAlloc();
    if (stream == nullptr) {
        SetError(ERROR_MEMORY);
        return 0;
    }
    stream->file = file;
    stream->isDff = isDff ? 1 : 0;
    if (isDff) {
        int32_t read = DffReadHeader(stream);
        if (read != ERROR_OK)
            return CreateFailed(stream, read);
    } else {
        DsfReadHeader(stream, head);
    }

    if (stream->channels == 0 || stream->dsdRate == 0 || stream->dataOffset == 0 || stream->blockSize == 0) {
        DsdStreamFree(stream);
        ReportIncompleteHeader(file);
        return 0;
    }

    /* PCM from the high-quality converter: asked for, or the configured default. Its first
       stage reads a longer window than the designed filter. */
    const bool hq =
        !(flags & (DSD_RAW | DSD_DOP)) && ((flags & DSD_PCM_HQ) || ConfigLoad(&defaultQuality) != 0);
    const uint64_t sourceEnd = host->FileGetPosition(file, 2);
    int32_t sized = SizeWorkBuffer(stream, sourceEnd, hq ? HQ_MAX_WINDOW : FILTER_GROUPS);
    if (sized != ERROR_OK)
        return CreateFailed(stream, sized);
    stream->buffer = static_cast<uint8_t *>(calloc(1, stream->bufferSize));
    if (stream->buffer == nullptr)
        return CreateFailed(stream, ERROR_MEMORY);

    uint32_t streamFlags = flags & PASS_FLAGS_MASK;
    if (flags & DSD_RAW) {
        if ((flags & (STREAM_DECODE_ONLY | STREAM_FLOAT)) != STREAM_DECODE_ONLY)
            return CreateFailed(stream, ERROR_PARAM);
        stream->ratio = 1;
        streamFlags |= STREAM_8BIT;
    } else if (flags & DSD_DOP) {
        if (!(flags & STREAM_FLOAT))
            return CreateFailed(stream, ERROR_PARAM);
        stream->ratio = 2;
    } else {
        uint32_t target = freq != 0 ? freq : ConfigLoad(&defaultRate);
        stream->ratio = PcmRatio(stream->dsdRate, target);
        /* The window steps ratio x channels bytes per frame; the read procedure counts that in int32. */
        if (static_cast<uint64_t>(stream->ratio) * stream->channels > INT32_MAX)
            return CreateFailed(stream, ERROR_MEMORY);
        if (hq) {
            /* 6 to 28 KB per channel: well under a MB for any real layout. Beyond that the sound
               bytes the source holds must justify it, and it never exceeds a fixed bound. */
            const uint64_t bytes = HqStateBytes(stream->ratio, stream->channels);
            if (bytes > MAX_HQ_STATE_FIXED) {
                if (sourceEnd != POSITION_NONE && bytes > SoundHeld(stream, sourceEnd))
                    return CreateFailed(stream, ERROR_FORMAT);
                if (bytes > MAX_HQ_STATE)
                    return CreateFailed(stream, ERROR_MEMORY);
            }
            stream->hq = HqCreate(stream->ratio, stream->channels);
            if (stream->hq == nullptr)
                return CreateFailed(stream, ERROR_MEMORY);
        }
    }
    /* The designed filter reads DSF bytes in channel planes, each channel's block read to its
       plane with no de-interleaving: a plane holds room for the fewer than 25 bytes waiting
       before a refill and one block after it, within the buffer. */
    if (!isDff && !(flags & (DSD_RAW | DSD_DOP)) && stream->hq == nullptr)
        stream->planeSize = PlaneLead(stream->blockSize) + stream->blockSize;
    streamFlags |= fileFlags & FILE_FLAG_PASSED;

    uint32_t rate = (stream->dsdRate >> 3) / static_cast<uint32_t>(stream->ratio);
    stream->handle =
        host->CreateStream(rate, stream->channels, streamFlags, StreamRead, stream, &OperationsTableDsd);
    if (stream->handle == 0) {
        DsdStreamFree(stream); /* the host has set the error */
        return 0;
    }

    stream->flags = streamFlags;
    /* Any configured value is stored; a stream starts within the gain's range. */
    int32_t gainDb = ConfigLoad(&defaultGain);
    gainDb = gainDb < GAIN_MIN_DB ? GAIN_MIN_DB : gainDb > GAIN_MAX_DB ? GAIN_MAX_DB : gainDb;
    stream->gainDb = static_cast<float>(gainDb);
    if (!(streamFlags & DSD_RAW)) {
        if (streamFlags & DSD_DOP)
            stream->dopMarker = DOP_MARKER_05;
        else if (stream->hq != nullptr)
            HqBuildTables(stream);
        else
            BuildFilterTables(stream);
    }
    stream->length = DsdStreamLength(stream, sourceEnd);

    host->FileSetStream(file, stream->handle);
    if (fileFlags & FILE_STREAMED) {
        uint32_t offset = (fileFlags & FILE_FLAG_PASSED) ? static_cast<uint32_t>(stream->dataOffset) : 0;
        host->FileSetBitrate(file, stream->dsdRate >> 3, offset);
    }
    host->FileSeek(file, stream->dataOffset);
    SetError(ERROR_OK);
    return stream->handle;
}

uint32_t PluginCreateProc(uint32_t file, uint32_t flags)
{
    return DsdStreamCreate(file, flags & ~DSD_RAW, 0);
}

/* The exports share one pattern: refuse when start-up failed, open, create, close on failure. */
static bool RefuseUnstarted(void)
{
    if (!AddonUnusable())
        return false;
    if (hostFunctions != nullptr)
        SetError(ERROR_VERSION);
    return true;
}

static uint32_t CreateOnOpened(uint32_t file, uint32_t flags, uint32_t freq)
{
    if (file == 0)
        return 0; /* the host has set the error */
    uint32_t handle = DsdStreamCreate(file, flags, freq);
    if (handle == 0)
        hostFunctions->FileClose(file);
    return handle;
}

extern "C" VELMDSD_API uint32_t VELM_DSD_StreamCreateFile(uint32_t mem, const void *file, uint64_t offset,
                                                          uint64_t length, uint32_t flags, uint32_t freq)
{
    if (RefuseUnstarted())
        return 0;
    return CreateOnOpened(hostFunctions->FileOpen(mem, file, offset, length, flags, 1), flags, freq);
}

extern "C" VELMDSD_API uint32_t VELM_DSD_StreamCreateURL(const char *url, uint32_t offset, uint32_t flags,
                                                         VELM_DOWNLOADPROC *proc, void *user, uint32_t freq)
{
    if (RefuseUnstarted())
        return 0;
    if (url == nullptr) { /* a missing name is a bad parameter, as for a file */
        SetError(ERROR_PARAM);
        return 0;
    }
    return CreateOnOpened(hostFunctions->FileOpenURL(url, offset, flags, proc, user, 1), flags, freq);
}

extern "C" VELMDSD_API uint32_t VELM_DSD_StreamCreateFileUser(uint32_t system, uint32_t flags,
                                                              const VELM_FILEPROCS *procs, void *user,
                                                              uint32_t freq)
{
    if (RefuseUnstarted())
        return 0;
    if (system != 0) {
        SetError(ERROR_PARAM);
        return 0;
    }
    return CreateOnOpened(hostFunctions->FileOpenUser(0, flags, procs, user, 1), flags, freq);
}
