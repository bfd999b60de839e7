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
#define ID3_HEADER_SIZE 10

/* DSF: `head` holds file bytes 0 to 15, already read; the read position is 16. */
void DsfReadHeader(DsdStream *stream, const uint8_t head[16]);

/* DSDIFF: the read position is 16, just after the "FRM8" form header. Returns ERROR_OK, or
   ERROR_MEMORY when the decoder of DST-compressed sound cannot be had. */
int32_t DffReadHeader(DsdStream *stream);

/*
 * The ID3v2 tag whose header starts at `offset`, the read position: kept only whole, when its
 * header and body fit the `room` bytes its container gives it and the source (where the host
 * knows its end), and arrive in full. Returns the tag, header first (the caller frees it), or
 * null. Leaves the read position anywhere.
 */
uint8_t *ReadId3Tag(uint32_t file, uint64_t offset, uint64_t room);

#endif /* VELMDSD_READERS_H */
