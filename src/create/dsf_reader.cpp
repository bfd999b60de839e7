/* DSF: a "DSD " chunk, a "fmt " chunk, a "data" chunk, and an optional ID3v2 tag at the end. */
#include <stdlib.h>
#include <string.h>

#include "create/byte_order.h"
#include "create/readers.h"
#include "create/source_read.h"
#include "host/host.h"

#define DSF_FMT_HEAD 48 /* the bytes read: the chunk header and the fields up to the block size */
#define DSF_FMT_SIZE 52 /* the chunk's bytes: those and a 4-byte reserved field */
#define DSF_CHUNK_HEAD 12
#define ID3_HEADER 10

static uint32_t SynchsafeSize(const uint8_t *p)
{
    return (static_cast<uint32_t>(p[0] & 0x7f) << 21) | (static_cast<uint32_t>(p[1] & 0x7f) << 14) |
           (static_cast<uint32_t>(p[2] & 0x7f) << 7) | (p[3] & 0x7f);
}

/*
 * The tag must lie within the total size the header gives and within the bytes the source
 * has from the pointer on (where the host knows its size), and arrive in full; otherwise
 * there is no tag.
 */
static void ReadId3Tag(DsdStream *stream, uint64_t totalSize, uint64_t metaPointer)
{
    const HostFunctions *host = hostFunctions;
    uint32_t file = stream->file;
    if (metaPointer == 0 || (host->FileGetFlags(file) & FILE_STREAMED))
        return;
    if (!host->FileSeek(file, metaPointer))
        return;
    uint8_t header[ID3_HEADER];
    ReadCleared(file, header, ID3_HEADER);
    if (memcmp(header, "ID3", 3) != 0)
        return;
    uint64_t tagSize = static_cast<uint64_t>(SynchsafeSize(header + 6)) + ID3_HEADER;
    if (metaPointer > totalSize || totalSize - metaPointer < tagSize)
        return;
    uint64_t sourceEnd = host->FileGetPosition(file, 2);
    if (sourceEnd != POSITION_NONE && (metaPointer > sourceEnd || sourceEnd - metaPointer < tagSize))
        return;
    uint32_t bodySize = static_cast<uint32_t>(tagSize - ID3_HEADER), got;
    uint8_t *tag = ReadBlock(file, ID3_HEADER, bodySize, 0, &got);
    if (tag == nullptr)
        return;
    if (got < bodySize) {
        free(tag);
        return;
    }
    memcpy(tag, header, ID3_HEADER);
    stream->id3Tag = tag;
}

void DsfReadHeader(DsdStream *stream, const uint8_t head[16])
{
    const HostFunctions *host = hostFunctions;
    uint32_t file = stream->file;

    uint8_t dsd[DSF_HEADER_SIZE];
    memcpy(dsd, head, 16);
    ReadCleared(file, dsd + 16, DSF_HEADER_SIZE - 16);
    uint64_t totalSize = ReadLE64(dsd + 12);
    uint64_t metaPointer = ReadLE64(dsd + 20);

    uint8_t fmt[DSF_FMT_HEAD];
    ReadCleared(file, fmt, DSF_FMT_HEAD);
    if (!IdIs(fmt, "fmt "))
        return;
    uint64_t fmtSize = ReadLE64(fmt + 4);
    /* A chunk shorter than its fields would have them taken from the bytes after it; one whose
       end does not fit 64 bits has no end. Either leaves the source undescribed. */
    if (fmtSize < DSF_FMT_SIZE || fmtSize > UINT64_MAX - DSF_HEADER_SIZE - DSF_CHUNK_HEAD)
        return;
    stream->channels = ReadLE32(fmt + 24);
    stream->dsdRate = ReadLE32(fmt + 28);
    stream->lsbFirst = ReadLE32(fmt + 32) == 1 ? 1 : 0;
    stream->blockSize = ReadLE32(fmt + 44);
    if (stream->blockSize != 0) {
        uint64_t bytesPerChannel = ReadLE64(fmt + 36) / 8;
        uint64_t r = bytesPerChannel % stream->blockSize;
        stream->tailPad = r != 0 ? static_cast<uint32_t>(stream->blockSize - r) : 0;
    }

    /* The "data" chunk starts where the "fmt " chunk's size says: the offsets follow from the
       chunk sizes, with no need to ask the host where the reads have got to. */
    const uint64_t dataChunk = DSF_HEADER_SIZE + fmtSize;
    if (!host->FileSeek(file, dataChunk))
        return;

    uint8_t data[DSF_CHUNK_HEAD];
    /* A size below the chunk's own header is no sound data (it would wrap to almost 2^64). */
    if (ReadCleared(file, data, DSF_CHUNK_HEAD) != DSF_CHUNK_HEAD || !IdIs(data, "data") ||
        ReadLE64(data + 4) < DSF_CHUNK_HEAD)
        return;
    stream->dataSize = ReadLE64(data + 4) - DSF_CHUNK_HEAD;
    stream->dataOffset = dataChunk + DSF_CHUNK_HEAD;

    ReadId3Tag(stream, totalSize, metaPointer);
}
