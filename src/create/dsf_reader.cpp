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

/* The tag must lie within the total size the header gives, besides the source; otherwise there is no tag. */
static void ReadDsfTag(DsdStream *stream, uint64_t totalSize, uint64_t metaPointer)
{
    const HostFunctions *host = hostFunctions;
    uint32_t file = stream->file;
    if (metaPointer == 0 || (host->FileGetFlags(file) & FILE_STREAMED))
        return;
    if (!host->FileSeek(file, metaPointer))
        return;
    stream->id3Tag = ReadId3Tag(file, metaPointer, metaPointer > totalSize ? 0 : totalSize - metaPointer);
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
    /* The channel type names the speakers where its count is the channel count. */
    static const struct {
        uint32_t channels, speakers;
    } kTypes[8] = {{0, 0},
                   {1, SPEAKER_FC},
                   {2, SPEAKER_FL | SPEAKER_FR},
                   {3, SPEAKER_FL | SPEAKER_FR | SPEAKER_FC},
                   {4, SPEAKER_FL | SPEAKER_FR | SPEAKER_BL | SPEAKER_BR},
                   {4, SPEAKER_FL | SPEAKER_FR | SPEAKER_FC | SPEAKER_LFE},
                   {5, SPEAKER_FL | SPEAKER_FR | SPEAKER_FC | SPEAKER_BL | SPEAKER_BR},
                   {6, SPEAKER_FL | SPEAKER_FR | SPEAKER_FC | SPEAKER_LFE | SPEAKER_BL | SPEAKER_BR}};
    const uint32_t type = ReadLE32(fmt + 20);
    if (type < 8 && kTypes[type].channels == stream->channels)
        stream->speakers = kTypes[type].speakers;
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

    ReadDsfTag(stream, totalSize, metaPointer);
}
