/*
 * dsd_stream.h - the per-stream record.
 *
 * One zero-filled allocation per stream. The container readers fill the
 * source description, the creation driver completes it and hands it to the
 * host as the stream's user value; release frees it with everything it owns.
 */
#ifndef VELMDSD_DSD_STREAM_H
#define VELMDSD_DSD_STREAM_H

#include <stdint.h>

#include "velmdsd.h"

/* A DSDIFF comment as kept and handed out: packed, host byte order. */
typedef TAG_DSD_COMMENT DsdComment;

#define DSD_RAW VELM_DSD_RAW
#define DSD_DOP VELM_DSD_DOP
#define DSD_PCM_HQ VELM_DSD_PCM_HQ
#define PASS_FLAGS_MASK 0x3f24079cu

#define FILTER_GROUPS 25 /* bytes per channel in one 200-tap window */

struct HqState;
struct DstSource;

/* Rows a vector kernel of the designed filter derives from filterTables (convert/pcm_kernel.h):
   only builds with such a kernel hold more than a few. */
#if defined(__ARM_NEON)
#define PCM_LANE_FLOATS 16384
#else
#define PCM_LANE_FLOATS 4
#endif
struct PcmLaneTables {
    uint32_t ratio; /* the ratio the rows are for; 0: none, the kernel adds scalar sums */
    float rows[PCM_LANE_FLOATS];
};

/* WAV speaker bits (the layout VELM_DSD_ATTRIB_SPEAKERS gives). */
enum : uint32_t {
    SPEAKER_FL = 0x1,
    SPEAKER_FR = 0x2,
    SPEAKER_FC = 0x4,
    SPEAKER_LFE = 0x8,
    SPEAKER_BL = 0x10,
    SPEAKER_BR = 0x20
};

/* The work buffer between two reads: bytes waiting at its start, or (after a seek, or a window
   that stepped past the bytes it had) bytes the next refill brings that lie before the place
   reached. At most one of the two is nonzero. */
struct StagedBytes {
    uint32_t waiting; /* bytes at the buffer's start, not yet converted */
    uint32_t drop;    /* bytes to drop from the start of the next refill */
};

struct DsdStream {
    uint32_t handle;    /* host stream handle */
    uint32_t file;      /* host file handle of the source (not owned) */
    uint32_t flags;     /* stream flags as passed to CreateStream */
    uint32_t isDff;     /* 1: sound bytes interleaved byte by byte; 0: DSF block groups */
    uint32_t blockSize; /* bytes per channel block (DSF); 4096 for DSDIFF */
    uint32_t tailPad;   /* DSF: padding at the end of each channel's last block */
    uint32_t lsbFirst;  /* 1: the earliest 1-bit sample of a byte is bit 0 */
    uint32_t channels;
    uint32_t dsdRate;    /* 1-bit samples per second per channel */
    uint32_t speakers;   /* WAV speaker bits the header names, channel by channel; 0: unknown */
    uint64_t dataOffset; /* first sound byte in the source */
    uint64_t dataSize;   /* sound bytes, all channels */
    uint64_t length;     /* output bytes; 0 while unknown */
    int32_t ratio;       /* sound bytes per channel per output sample */
    float gainDb;        /* PCM gain in decibels */
    uint8_t *id3Tag;     /* whole ID3v2 tag, header first (DSF, or a DSDIFF "ID3 " chunk) */
    char *artist;        /* DSDIFF, NUL-terminated */
    char *title;         /* DSDIFF, NUL-terminated */
    uint32_t commentCount;
    DsdComment **comments; /* entry 0 owns the block all records lie in */
    uint32_t dopMarker;    /* DoP marker word of the next frame */
    uint8_t *buffer;       /* work buffer: waiting bytes, then (DSF, interleaved) the staging group */
    StagedBytes staged;    /* what the work buffer holds between two reads */
    int32_t partialFill;   /* DSF: bytes of an incomplete block group already staged */
    uint32_t bufferSize;   /* size of buffer in bytes */
    uint32_t planeSize;    /* DSF to PCM by the designed filter: the buffer holds each channel's bytes
                              in a plane of this many bytes, channel c's at buffer + c x planeSize
                              (counts still cover all channels); 0: bytes interleaved */
    HqState *hq;           /* the high-quality converter of a PCM stream that uses it, else null */
    DstSource *dst;        /* DST-compressed sound: its frames and decoder; null for plain sound */
    float filterTables[FILTER_GROUPS][256];
    PcmLaneTables laneTables;             /* from filterTables, by the chosen kernel's preparation */
    const struct ConvertKernels *kernels; /* the designed filter's kernel set, chosen with laneTables */
};

/* A zero-filled record, or null. */
DsdStream *DsdStreamAlloc(void);
/* Frees the record and every block it owns; null is ignored. */
void DsdStreamFree(DsdStream *stream);
/* Frees the comment array and its block, leaving none. */
void DsdStreamFreeComments(DsdStream *stream);

#endif /* VELMDSD_DSD_STREAM_H */
