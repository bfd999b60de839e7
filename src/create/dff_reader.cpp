/*
 * DSDIFF: a "FRM8" form of chunks, each a 4-byte id and a big-endian 64-bit
 * data size, padded to an even length. The walk reads only chunk headers and
 * the few fields it keeps, and moves over everything else with one seek.
 * Chunks after the sound are read too, except from a source read as it
 * arrives; the driver seeks back to the sound afterwards. DST-compressed
 * sound (compression type "DST ") lies in a "DST " chunk instead of "DSD ":
 * the walk reads its "FRTE" chunk and notes a top-level "DSTI" index.
 */
#include <stdlib.h>
#include <string.h>

#include "create/byte_order.h"
#include "create/dst_source.h"
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

/* "DIAR" and "DITI": a 32-bit length, then the text, all inside the chunk. The last chunk of an id wins. */
static void ReadText(uint32_t file, uint64_t size, char **slot)
{
    uint8_t head[4];
    if (size < 4)
        return; /* no room for the length field */
    ReadCleared(file, head, 4);
    uint32_t length = ReadBE32(head);
    /* A text claiming more than its chunk holds would take in the chunks after it. */
    if (length == 0 || length > size - 4 || length > INT32_MAX)
        return;
    uint32_t got;
    char *text = reinterpret_cast<char *>(ReadBlock(file, 0, length, 1, &got));
    if (text == nullptr)
        return;
    text[got] = '\0'; /* a short read ends the text where the bytes ran out */
    free(*slot);
    *slot = text;
}

/* The bytes from `off` to the end of the record that starts there, as far as `have` bytes show it. */
static uint64_t RecordEnd(const uint8_t *block, uint64_t have, uint64_t off)
{
    if (off > have || have - off < COMMENT_HEAD)
        return off + COMMENT_HEAD;
    uint32_t textLength = ReadBE32(block + off + 10);
    return off + COMMENT_HEAD + textLength;
}

#define COMMENT_STEP (64u << 10)

/*
 * "COMT": a 16-bit count, then records of a 14-byte header and the text,
 * padded to even. The block grows only as far as the records reach and the
 * bytes arrive (a chunk up to 64 KiB is one read), never past the chunk.
 * Only records lying wholly inside the bytes read are kept, so every record
 * handed out can be read in full.
 */
static void ReadComments(DsdStream *stream, uint64_t size)
{
    DsdStreamFreeComments(stream);
    if (size < 2 || size - 2 > INT32_MAX)
        return;
    uint8_t head[2];
    ReadCleared(stream->file, head, 2);
    const uint32_t count = ReadBE16(head);
    if (count == 0)
        return;
    const uint32_t blockBytes = static_cast<uint32_t>(size - 2);

    uint8_t *block = nullptr;
    uint32_t cap = 0, have = 0, whole = 0;
    uint64_t off = 0; /* the first record not yet known to be whole */
    for (;;) {
        /* Up to the end of the record in view, at least one step more, at most double. */
        uint64_t next = RecordEnd(block, have, off);
        if (next < static_cast<uint64_t>(cap) + COMMENT_STEP)
            next = static_cast<uint64_t>(cap) + COMMENT_STEP;
        if (next > 2 * static_cast<uint64_t>(cap) && cap >= COMMENT_STEP)
            next = 2 * static_cast<uint64_t>(cap);
        if (next > blockBytes)
            next = blockBytes;
        uint8_t *bigger = static_cast<uint8_t *>(realloc(block, next != 0 ? next : 1));
        if (bigger == nullptr) {
            free(block);
            return;
        }
        block = bigger;
        cap = static_cast<uint32_t>(next);
        have += SourceRead(stream->file, block + have, cap - have);
        while (whole < count && RecordEnd(block, have, off) <= have) {
            whole++;
            uint64_t end = RecordEnd(block, have, off);
            off = end + (end - off - COMMENT_HEAD) % 2;
        }
        if (whole == count || have < cap || cap == blockBytes)
            break;
    }

    DsdComment **array =
        whole != 0 ? static_cast<DsdComment **>(malloc(whole * sizeof(DsdComment *))) : nullptr;
    if (array == nullptr) {
        free(block);
        return;
    }
    off = 0;
    for (uint32_t i = 0; i < whole; i++) {
        uint8_t *rec = block + off;
        uint32_t textLength = ReadBE32(rec + 10);
        StoreHost16(rec, ReadBE16(rec));
        StoreHost16(rec + 6, ReadBE16(rec + 6));
        StoreHost16(rec + 8, ReadBE16(rec + 8));
        StoreHost32(rec + 10, textLength);
        array[i] = reinterpret_cast<DsdComment *>(rec);
        off += COMMENT_HEAD + static_cast<uint64_t>(textLength) + (textLength & 1);
    }
    stream->comments = array; /* entry 0 is the block's start and owns it */
    stream->commentCount = whole;
}

/* "ID3 " at top level or among the properties: the first whole tag found is the stream's. */
/* The speakers of a "CHNL" chunk's channel IDs: WAV bits, each speaker once and in the order of
   its bit, as WAV lays channels out; 0 for any other list (more than six channels included). */
static uint32_t Speakers(const uint8_t *ids, uint32_t channels)
{
    static const struct {
        char id[5];
        uint32_t bit;
    } kIds[] = {{"SLFT", SPEAKER_FL}, {"SRGT", SPEAKER_FR},  {"MLFT", SPEAKER_FL}, {"MRGT", SPEAKER_FR},
                {"C   ", SPEAKER_FC}, {"LFE ", SPEAKER_LFE}, {"LS  ", SPEAKER_BL}, {"RS  ", SPEAKER_BR}};
    uint32_t speakers = 0, last = 0;
    for (uint32_t i = 0; i < channels; i++) {
        const uint8_t *id = ids + 4 * i;
        uint32_t bit = 0;
        for (const auto &k : kIds)
            if (memcmp(id, k.id, 4) == 0)
                bit = k.bit;
        if (bit <= last)
            return 0;
        speakers |= bit;
        last = bit;
    }
    return speakers;
}

static void ReadId3Chunk(DsdStream *stream, const ChunkHeader &chunk)
{
    if (stream->id3Tag == nullptr && chunk.size >= ID3_HEADER_SIZE)
        stream->id3Tag = ReadId3Tag(stream->file, chunk.start, chunk.size);
}

/* What the walk finds of DST-compressed sound. */
struct DstLayout {
    bool compressed; /* the property chunk's compression type is "DST " */
    uint64_t start;  /* the "DST " chunk's data; 0: none */
    uint64_t size;
    uint64_t first;      /* the first chunk after "FRTE" */
    uint32_t frames;     /* from "FRTE" */
    uint32_t rate;       /* frames a second from "FRTE"; 0: no "FRTE" */
    uint64_t dstiOffset; /* the "DSTI" chunk's data; 0: none */
    uint64_t dstiSize;
};

/* "DST ": its first inner chunk is "FRTE", a 32-bit frame count and a 16-bit frame rate. */
static void ReadDstChunk(uint32_t file, const ChunkHeader &chunk, DstLayout *dst)
{
    if (dst->start != 0)
        return; /* the first sound chunk is the stream's */
    dst->start = chunk.start;
    dst->size = chunk.size;
    ChunkHeader frte;
    uint8_t field[6];
    if (chunk.size >= DFF_CHUNK_HEAD + 6 && ReadChunkHeader(file, chunk.start, &frte) &&
        IdIs(frte.id, "FRTE") && frte.size >= 6 && ReadCleared(file, field, 6) == 6) {
        dst->frames = ReadBE32(field);
        dst->rate = ReadBE16(field + 4);
        dst->first = frte.next;
    }
}

/* The sound of a DST file, once the walk is done: the decoder and its frames for a layout it
   decodes at 75 frames a second; a file it cannot play keeps no sound. */
static int32_t SetUpDst(DsdStream *stream, const DstLayout &dst)
{
    stream->dataOffset = 0;
    stream->dataSize = 0;
    const uint64_t end = SaturatingAdd(dst.start, dst.size);
    if (dst.start == 0 || dst.rate != DST_FRAME_RATE || dst.first > end || dst.first < dst.start)
        return ERROR_OK;
    DstSource *source;
    if (!DstSourceCreate(stream->channels, stream->dsdRate, dst.frames, dst.first, end, &source))
        return ERROR_OK;
    if (source == nullptr)
        return ERROR_MEMORY;
    if (dst.dstiOffset != 0) {
        source->dstiOffset = dst.dstiOffset;
        const uint64_t entries = dst.dstiSize / 12;
        source->dstiCount = entries < dst.frames ? static_cast<uint32_t>(entries) : dst.frames;
    }
    /* The sound starts with the frames: a source read as it arrives is there already. */
    stream->dst = source;
    stream->dataOffset = dst.first;
    stream->dataSize = end - dst.first;
    stream->blockSize = DFF_BLOCK_SIZE;
    return ERROR_OK;
}

int32_t DffReadHeader(DsdStream *stream)
{
    const HostFunctions *host = hostFunctions;
    const uint32_t file = stream->file;
    uint64_t offset = 16;
    uint64_t propEnd = 0;
    uint64_t diinEnd = 0;
    DstLayout dst = {};

    ChunkHeader chunk;
    while (ReadChunkHeader(file, offset, &chunk)) {
        const uint8_t *id = chunk.id;
        if (offset < propEnd) {
            /* A property chunk too short for its field is as good as absent. */
            uint8_t field[4];
            if (IdIs(id, "FS  ") && chunk.size >= 4) {
                ReadCleared(file, field, 4);
                stream->dsdRate = ReadBE32(field);
            } else if (IdIs(id, "CHNL") && chunk.size >= 2) {
                /* The count and, in the same read, the IDs of up to six channels. */
                uint8_t chnl[2 + 4 * 6];
                ReadCleared(file, chnl,
                            static_cast<uint32_t>(chunk.size < sizeof chnl ? chunk.size : sizeof chnl));
                stream->channels = ReadBE16(chnl);
                if (stream->channels <= 6 && chunk.size >= 2 + 4 * uint64_t{stream->channels})
                    stream->speakers = Speakers(chnl + 2, stream->channels);
            } else if (IdIs(id, "CMPR") && chunk.size >= 4) {
                ReadCleared(file, field, 4);
                dst.compressed = IdIs(field, "DST ");
            } else if (IdIs(id, "ID3 ")) {
                ReadId3Chunk(stream, chunk);
            }
        } else if (offset < diinEnd) {
            if (IdIs(id, "DIAR"))
                ReadText(file, chunk.size, &stream->artist);
            else if (IdIs(id, "DITI"))
                ReadText(file, chunk.size, &stream->title);
        } else if (IdIs(id, "DIIN")) {
            diinEnd = SaturatingAdd(chunk.start, chunk.size);
            offset = chunk.start; /* the first inner chunk follows directly */
            continue;
        } else if (IdIs(id, "PROP") && chunk.size >= 4) {
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
        } else if (IdIs(id, "DST ")) {
            ReadDstChunk(file, chunk, &dst);
            if (host->FileGetFlags(file) & FILE_STREAMED)
                break;
        } else if (IdIs(id, "DSTI")) {
            dst.dstiOffset = chunk.start;
            dst.dstiSize = chunk.size;
        } else if (IdIs(id, "COMT")) {
            ReadComments(stream, chunk.size);
        } else if (IdIs(id, "ID3 ")) {
            ReadId3Chunk(stream, chunk);
        }

        if (chunk.last)
            break;
        offset = chunk.next;
        if (!host->FileSeek(file, offset))
            break;
    }
    return dst.compressed ? SetUpDst(stream, dst) : ERROR_OK;
}
