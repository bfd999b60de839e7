/*
 * Reading DST frames from the "DST " chunk. Every step reads a 12-byte chunk header and either
 * the body of one frame (at most codedSize bytes, into the one buffer) or nothing: other
 * chunks ("DSTC", anything unknown) are stepped over, a few at most between two frames. A
 * seek finds a frame through "DSTI" or by walking the chunk headers from a frame met before.
 */
#include "create/dst_source.h"

#include <stdlib.h>
#include <string.h>

#include "create/byte_order.h"
#include "create/source_read.h"
#include "host/host.h"

#define CHUNK_HEAD 12
#define INDEX_ENTRY 12
/* Chunks other than frames stepped over before one frame: a frame's "DSTC" and a few more. */
#define MAX_CHUNKS_BETWEEN_FRAMES 16

bool DstSourceCreate(uint32_t channels, uint32_t dsdRate, uint32_t frames, uint64_t start, uint64_t end,
                     DstSource **out)
{
    *out = nullptr;
    if (!DstDecoderAccepts(channels, dsdRate))
        return false;
    DstSource *source = static_cast<DstSource *>(calloc(1, sizeof(DstSource)));
    if (source == nullptr)
        return true;
    source->decoder = DstDecoderCreate(channels, dsdRate);
    source->frameBytes = DstFrameBits(dsdRate) / 8 * channels;
    /* A stored frame is one byte more than its sound; a coded one that would be larger than
       twice that is no frame an encoder writes. */
    source->codedSize = 2 * source->frameBytes + 16;
    source->coded = static_cast<uint8_t *>(malloc(source->codedSize));
    if (source->decoder == nullptr || source->coded == nullptr) {
        DstSourceFree(source);
        return true;
    }
    source->frames = frames;
    source->position = start;
    source->readAt = start;
    source->end = end;
    source->stride = 1;
    *out = source;
    return true;
}

void DstSourceFree(DstSource *source)
{
    if (source == nullptr)
        return;
    DstDecoderFree(source->decoder);
    free(source->coded);
    free(source);
}

/* Keeps the offset of every stride-th frame met in order; when the table is full, every other
   entry goes and the stride doubles. */
static void RememberFrame(DstSource *source, uint32_t frame, uint64_t offset)
{
    if (frame % source->stride != 0 || frame / source->stride != source->known)
        return;
    if (source->known == DST_INDEX_ENTRIES) {
        for (uint32_t i = 0; i < DST_INDEX_ENTRIES / 2; i++)
            source->offsets[i] = source->offsets[2 * i];
        source->known = DST_INDEX_ENTRIES / 2;
        source->stride *= 2;
        if (frame % source->stride != 0 || frame / source->stride != source->known)
            return;
    }
    source->offsets[source->known++] = offset;
}

/* A step that needs bytes the source has not given: the source's end, or a wait for more. */
static enum DstRead Short(uint32_t file)
{
    return hostFunctions->FileIsEnd(file) ? DST_READ_END : DST_READ_WAIT;
}

/* Steps over to skipTo: a few bytes by reading, so that a source read as it arrives needs no
   seek, more by one seek. DST_READ_FRAME once there. */
static enum DstRead Skip(DstSource *source, uint32_t file)
{
    while (source->readAt < source->skipTo) {
        const uint64_t n = source->skipTo - source->readAt;
        if (n > source->codedSize) {
            if (!hostFunctions->FileSeek(file, source->skipTo))
                return DST_READ_END;
            source->readAt = source->skipTo;
            break;
        }
        const uint32_t got = SourceRead(file, source->coded, static_cast<uint32_t>(n));
        source->readAt += got;
        if (got < n)
            return Short(file);
    }
    source->position = source->skipTo;
    source->skipping = false;
    source->headHave = 0;
    source->bodyHave = 0;
    return DST_READ_FRAME;
}

/* Reads up to `want` bytes into dest at *have; true once *have reaches want. */
static bool ReadUpTo(DstSource *source, uint32_t file, uint8_t *dest, uint32_t *have, uint32_t want)
{
    const uint32_t got = SourceRead(file, dest + *have, want - *have);
    *have += got;
    source->readAt += got;
    return *have == want;
}

enum DstRead DstReadFrame(DstSource *source, uint32_t file, uint8_t *out)
{
    for (uint32_t step = 0; step <= MAX_CHUNKS_BETWEEN_FRAMES; step++) {
        if (source->skipping) {
            enum DstRead skipped = Skip(source, file);
            if (skipped != DST_READ_FRAME)
                return skipped;
        }
        if (source->next >= source->frames)
            return DST_READ_END;
        const uint64_t at = source->position;
        if (at >= source->end || source->end - at < CHUNK_HEAD)
            return DST_READ_END;
        if (!ReadUpTo(source, file, source->head, &source->headHave, CHUNK_HEAD))
            return Short(file);
        const uint64_t size = ReadBE64(source->head + 4);
        if (size > source->end - at - CHUNK_HEAD)
            return DST_READ_END; /* a chunk reaching past the sound ends it */
        source->skipTo = at + CHUNK_HEAD + size + (size & 1);
        if (!IdIs(source->head, "DSTF")) {
            source->skipping = true;
            continue;
        }
        RememberFrame(source, source->next, at);
        enum DstFrameResult result = DST_FRAME_BAD_SYNTAX;
        if (size <= source->codedSize) {
            const uint32_t bytes = static_cast<uint32_t>(size);
            if (!ReadUpTo(source, file, source->coded, &source->bodyHave, bytes))
                return Short(file); /* at the source's end: the sound ends at the last whole frame */
            result = DstDecodeFrame(source->decoder, source->coded, bytes, out);
        } else {
            memset(out, DST_SILENCE, source->frameBytes);
        }
        if (result != DST_FRAME_OK)
            source->broken++;
        source->next++;
        /* On to the next chunk now if its bytes are there; the frame stands either way. */
        source->skipping = true;
        Skip(source, file);
        return DST_READ_FRAME;
    }
    return DST_READ_END;
}

/* Reads the header of the chunk at `offset`: its size when it is a "DSTF" chunk inside the sound,
   and where the chunk after it starts. False at the end of the sound or the source. */
static bool ReadChunkAt(const DstSource *source, uint32_t file, uint64_t offset, bool *isFrame,
                        uint64_t *size, uint64_t *next)
{
    uint8_t head[CHUNK_HEAD];
    if (offset >= source->end || source->end - offset < CHUNK_HEAD ||
        !hostFunctions->FileSeek(file, offset) || SourceRead(file, head, CHUNK_HEAD) != CHUNK_HEAD)
        return false;
    *size = ReadBE64(head + 4);
    if (*size > source->end - offset - CHUNK_HEAD)
        return false;
    *isFrame = IdIs(head, "DSTF");
    *next = offset + CHUNK_HEAD + *size + (*size & 1);
    return true;
}

/* Makes frame `frame`, whose chunk header is at `offset`, the next one read. */
static bool StartAt(DstSource *source, uint32_t file, uint32_t frame, uint64_t offset)
{
    if (!hostFunctions->FileSeek(file, offset))
        return false;
    source->position = offset;
    source->readAt = offset;
    source->skipping = false;
    source->headHave = 0;
    source->bodyHave = 0;
    source->next = frame;
    return true;
}

/* The offset of frame `frame` from the "DSTI" entry, when it names a "DSTF" chunk of the length
   it gives inside the sound; 0 otherwise. Leaves the read position anywhere. */
static uint64_t IndexedOffset(const DstSource *source, uint32_t file, uint32_t frame, uint64_t start)
{
    if (source->dstiOffset == 0 || frame >= source->dstiCount)
        return 0;
    uint8_t entry[INDEX_ENTRY];
    if (!hostFunctions->FileSeek(file, source->dstiOffset + static_cast<uint64_t>(frame) * INDEX_ENTRY) ||
        SourceRead(file, entry, INDEX_ENTRY) != INDEX_ENTRY)
        return 0;
    const uint64_t offset = ReadBE64(entry);
    bool isFrame;
    uint64_t size, next;
    if (offset < start || !ReadChunkAt(source, file, offset, &isFrame, &size, &next) || !isFrame ||
        size != ReadBE32(entry + 8))
        return 0;
    return offset;
}

bool DstSeekFrame(DstSource *source, uint32_t file, uint32_t frame, uint64_t start)
{
    if (frame >= source->frames)
        return false;
    const uint64_t indexed = IndexedOffset(source, file, frame, start);
    if (indexed != 0 && StartAt(source, file, frame, indexed))
        return true;
    /* From the nearest frame met before it, header by header. */
    uint32_t n = 0;
    uint64_t at = start;
    if (source->known != 0) {
        uint32_t k = frame / source->stride;
        k = k < source->known ? k : source->known - 1;
        n = k * source->stride;
        at = source->offsets[k];
    }
    bool isFrame;
    uint64_t size, next;
    while (ReadChunkAt(source, file, at, &isFrame, &size, &next)) {
        if (isFrame) {
            RememberFrame(source, n, at);
            if (n == frame)
                return StartAt(source, file, frame, at);
            n++;
        }
        at = next;
    }
    /* The read goes on where it was. */
    hostFunctions->FileSeek(file, source->readAt);
    return false;
}
