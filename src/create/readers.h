/*
 * readers.h - the container readers.
 *
 * A reader fills the source description of a record (channels, dsdRate,
 * dataOffset, dataSize, blockSize, tailPad, lsbFirst) and its tags from the
 * source, and reports nothing: what it cannot find stays 0, and the creation
 * driver's check refuses the source. It may leave the read position anywhere.
 */
#ifndef VELMDSD_READERS_H
#define VELMDSD_READERS_H

#include <stdint.h>

#include "create/dsd_stream.h"

#define DSF_HEADER_SIZE 28
#define DFF_BLOCK_SIZE 4096

/* DSF: `head` holds file bytes 0 to 15, already read; the read position is 16. */
void DsfReadHeader(DsdStream *stream, const uint8_t head[16]);

/* DSDIFF: the read position is 16, just after the "FRM8" form header. */
void DffReadHeader(DsdStream *stream);

#endif /* VELMDSD_READERS_H */
