/*
 * DSDIFF: a "FRM8" form of chunks, each a 4-byte id and a big-endian 64-bit
 * data size, padded to an even length. The walk reads only chunk headers and
 * the few fields it keeps, and moves over everything else with one seek.
 */
#include <stdlib.h>
#include <string.h>

#include "create/byte_order.h"
#include "create/readers.h"
#include "create/source_read.h"
#include "host/host.h"

#define DFF_CHUNK_HEAD 12
#define COMMENT_HEAD 14

static uint64_t SaturatingAdd(uint64_t a, uint64_t b)
{
    return a + b < a ? UINT64_MAX : a + b;
}

/* A chunk as the walk sees it: where its data starts and where the next chunk begins. */
struct ChunkHeader {
    uint8_t id[4];
    uint64_t size;  /* data bytes, pad byte not counted */
    uint64_t start; /* the first data byte */
    uint64_t next;  /* the next chunk's header, past the pad byte */
    bool last;      /* the next offset wraps to or before this chunk: the walk would go in circles */
};

/* Reads the 12-byte header of the chunk at `offset`; false at the end of the source. */
static bool ReadChunkHeader(uint32_t file, uint64_t offset, ChunkHeader *chunk)
{
    uint8_t head[DFF_CHUNK_HEAD];
    if (SourceRead(file, head, DFF_CHUNK_HEAD) != DFF_CHUNK_HEAD)
        return false;
    memcpy(chunk->id, head, 4);
    chunk->size = ReadBE64(head + 4);
    chunk->start = offset + DFF_CHUNK_HEAD;
    uint64_t end = chunk->start + chunk->size;
    chunk->next = end + (chunk->size & 1);
    chunk->last = end < chunk->start || chunk->next <= offset;
    return true;
}

/* "DIAR" and "DITI": a 32-bit length, then the text. The last chunk of an id wins. */
static void ReadText(uint32_t file, char **slot)
{
    uint8_t head[4];
    ReadCleared(file, head, 4);
    uint32_t length = ReadBE32(head);
    if (length == 0 || length > INT32_MAX)
        return;
    char *text = static_cast<char *>(malloc(static_cast<size_t>(length) + 1));
    if (text == nullptr)
        return;
    /* A short read ends the text where the bytes ran out. */
    text[SourceRead(file, text, length)] = '\0';
    free(*slot);
    *slot = text;
}

/*
 * "COMT": a 16-bit count, then records of a 14-byte header and the text,
 * padded to even. Only records lying wholly inside the bytes read are kept,
 * so every record handed out can be read in full.
 */
static void ReadComments(DsdStream *stream, uint64_t size)
{
    DsdStreamFreeComments(stream);
    if (size < 2 || size - 2 > INT32_MAX)
        return;
    uint8_t head[2];
    ReadCleared(stream->file, head, 2);
    uint32_t count = ReadBE16(head);
    if (count == 0)
        return;
    uint32_t blockBytes = static_cast<uint32_t>(size - 2);
    uint8_t *block = static_cast<uint8_t *>(malloc(blockBytes != 0 ? blockBytes : 1));
    DsdComment **array = static_cast<DsdComment **>(malloc(count * sizeof(DsdComment *)));
    if (block == nullptr || array == nullptr) {
        free(block);
        free(array);
        return;
    }
    uint64_t have = SourceRead(stream->file, block, blockBytes);

    uint32_t kept = 0;
    uint64_t off = 0;
    while (kept < count && have - off >= COMMENT_HEAD) {
        uint8_t *rec = block + off;
        uint32_t textLength = ReadBE32(rec + 10);
        if (textLength > have - off - COMMENT_HEAD)
            break;
        StoreHost16(rec, ReadBE16(rec));
        StoreHost16(rec + 6, ReadBE16(rec + 6));
        StoreHost16(rec + 8, ReadBE16(rec + 8));
        StoreHost32(rec + 10, textLength);
        array[kept++] = reinterpret_cast<DsdComment *>(rec);
        off += COMMENT_HEAD + static_cast<uint64_t>(textLength) + (textLength & 1);
        if (off > have)
            break;
    }
    if (kept == 0) {
        free(block);
        free(array);
        return;
    }
    stream->comments = array; /* entry 0 is the block's start and owns it */
    stream->commentCount = kept;
}

void DffReadHeader(DsdStream *stream)
{
    const HostFunctions *host = hostFunctions;
    const uint32_t file = stream->file;
    uint64_t offset = 16;
    uint64_t propEnd = 0;
    uint64_t diinEnd = 0;

    ChunkHeader chunk;
    while (ReadChunkHeader(file, offset, &chunk)) {
        const uint8_t *id = chunk.id;
        if (offset < propEnd) {
            uint8_t field[4];
            if (IdIs(id, "FS  ")) {
                ReadCleared(file, field, 4);
                stream->dsdRate = ReadBE32(field);
            } else if (IdIs(id, "CHNL")) {
                ReadCleared(file, field, 2);
                stream->channels = ReadBE16(field);
            }
        } else if (offset < diinEnd) {
            if (IdIs(id, "DIAR"))
                ReadText(file, &stream->artist);
            else if (IdIs(id, "DITI"))
                ReadText(file, &stream->title);
        } else if (IdIs(id, "DIIN")) {
            diinEnd = SaturatingAdd(chunk.start, chunk.size);
            offset = chunk.start; /* the first inner chunk follows directly */
            continue;
        } else if (IdIs(id, "PROP")) {
            uint8_t type[4];
            ReadCleared(file, type, 4);
            if (IdIs(type, "SND ")) {
                propEnd = SaturatingAdd(chunk.start, chunk.size);
                offset = chunk.start + 4;
                continue;
            }
        } else if (IdIs(id, "DSD ")) {
            stream->dataOffset = chunk.start;
            stream->dataSize = chunk.size;
            stream->blockSize = DFF_BLOCK_SIZE;
            if (host->FileGetFlags(file) & FILE_STREAMED)
                break; /* a streamed source cannot come back to the sound data */
        } else if (IdIs(id, "COMT")) {
            ReadComments(stream, chunk.size);
        }

        if (chunk.last)
            break;
        offset = chunk.next;
        if (!host->FileSeek(file, offset))
            break;
    }
}
