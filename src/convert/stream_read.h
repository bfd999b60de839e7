/* stream_read.h - the stream read procedure the host pulls sample data through. */
#ifndef VELMDSD_STREAM_READ_H
#define VELMDSD_STREAM_READ_H

#include <stdint.h>

#include "create/dsd_stream.h"

/* DoP marker bytes 0x05 and 0xFA in the top byte of a 24-bit word, sign-extended. */
#define DOP_MARKER_05 0x00050000u
#define DOP_MARKER_FA 0xFFFA0000u

/*
 * Fills `out` with up to `length` bytes of the stream's output form (whole
 * frames only) and returns the bytes written, with bit 31 set on the call
 * that ends the stream and on every call after it. `user` is the DsdStream.
 */
uint32_t StreamRead(uint32_t handle, void *out, uint32_t length, void *user);

/* Planes of the designed filter on DSF: where in its plane a channel's block is read to, after
   room for the fewer than 25 bytes waiting; 32 keeps it aligned where the buffer has room. */
static inline uint32_t PlaneLead(uint32_t blockSize)
{
    return blockSize >= 7 ? 32 : 25;
}

/* A filter sum as a 16-bit sample: truncated toward zero, clamped; NaN gives 0. */
static inline int16_t PcmToInt16(float v)
{
    if (v != v)
        return 0;
    if (v >= 32767.0f)
        return 32767;
    if (v <= -32768.0f)
        return -32768;
    return static_cast<int16_t>(static_cast<int32_t>(v));
}

#endif /* VELMDSD_STREAM_READ_H */
