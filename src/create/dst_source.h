/*
 * dst_source.h - the frames of a DST-compressed DSDIFF source.
 *
 * The "DST " chunk holds an "FRTE" chunk (frame count, frames a second) and one "DSTF" chunk
 * per frame of 1/75 s, each perhaps followed by a "DSTC" chunk (a CRC, not checked here: its
 * definition is not public). A top-level "DSTI" chunk may index every frame (a 64-bit offset
 * of the frame's chunk header and a 32-bit length). The read procedure takes one frame at a
 * time; a frame that cannot be decoded becomes DSD silence of the frame's length and is
 * counted. Seeking finds a frame through "DSTI" when its entry is sane, else through the
 * offsets of frames already met (every stride-th frame, a fixed number of entries).
 */
#ifndef VELMDSD_DST_SOURCE_H
#define VELMDSD_DST_SOURCE_H

#include <stdint.h>

#include "dst/dst_decoder.h"

#define DST_FRAME_RATE 75
/* Frame offsets kept for seeking: 32 KiB, whatever the length. */
#define DST_INDEX_ENTRIES 4096

struct DstSource {
    DstDecoder *decoder;
    uint32_t frames;     /* the FRTE count */
    uint32_t frameBytes; /* decoded bytes of a frame, all channels */
    uint32_t next;       /* the frame the next refill decodes */
    uint32_t broken;     /* frames decoded as silence so far */
    uint64_t position;   /* source offset of the header of the chunk being read inside "DST " */
    uint64_t readAt;     /* the source's read position */
    uint64_t skipTo;     /* where the chunk just read ends, while the read steps over to it */
    bool skipping;
    uint32_t headHave; /* bytes of the chunk header read so far, into head */
    uint32_t bodyHave; /* bytes of the frame body read so far, into coded */
    uint8_t head[12];
    uint64_t end;        /* source offset where the "DST " chunk's data ends */
    uint64_t dstiOffset; /* the first "DSTI" entry; 0: no index in the file */
    uint32_t dstiCount;  /* its entries */
    uint32_t codedSize;  /* bytes of `coded`: the largest frame body accepted */
    uint8_t *coded;      /* one frame body as stored */
    /* Offsets of the frames 0, stride, 2 x stride, ... met so far. */
    uint32_t stride;
    uint32_t known;
    uint64_t offsets[DST_INDEX_ENTRIES];
};

/* The header's description: `frames` frames at dsdRate on `channels`, the "DST " chunk's data
   at [start, end). False when the layout cannot be decoded (more than DST_MAX_CHANNELS channels,
   a rate whose frame holds no whole bytes); null *out with true when memory cannot be had. */
bool DstSourceCreate(uint32_t channels, uint32_t dsdRate, uint32_t frames, uint64_t start, uint64_t end,
                     DstSource **out);
void DstSourceFree(DstSource *source);

enum DstRead {
    DST_READ_FRAME, /* a frame decoded (or made silence) */
    DST_READ_WAIT,  /* the source has not yet delivered the rest of a frame: ask again later */
    DST_READ_END,   /* no whole frame is left: all declared ones read, the chunk's end, or a source
                       that ends inside a frame */
};

/*
 * Decodes the next frame into out (frameBytes bytes) from the source `file`. A source read as
 * it arrives may deliver a frame in pieces: what arrived is kept, and the next call goes on
 * from there. Writes out only for DST_READ_FRAME.
 */
enum DstRead DstReadFrame(DstSource *source, uint32_t file, uint8_t *out);

/* Moves the source to the start of frame `frame` (below frames) of the sound whose chunks start
   at `start`; false, the source as it was, when it cannot. */
bool DstSeekFrame(DstSource *source, uint32_t file, uint32_t frame, uint64_t start);

#endif /* VELMDSD_DST_SOURCE_H */
