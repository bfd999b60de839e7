/* An ID3v2 tag inside a container: DSF points at it, DSDIFF holds it in an "ID3 " chunk. */
#include <stdlib.h>
#include <string.h>

#include "create/readers.h"
#include "create/source_read.h"
#include "host/host.h"

static uint32_t SynchsafeSize(const uint8_t *p)
{
    return (static_cast<uint32_t>(p[0] & 0x7f) << 21) | (static_cast<uint32_t>(p[1] & 0x7f) << 14) |
           (static_cast<uint32_t>(p[2] & 0x7f) << 7) | (p[3] & 0x7f);
}

uint8_t *ReadId3Tag(uint32_t file, uint64_t offset, uint64_t room)
{
    const HostFunctions *host = hostFunctions;
    uint8_t header[ID3_HEADER_SIZE];
    ReadCleared(file, header, ID3_HEADER_SIZE);
    if (memcmp(header, "ID3", 3) != 0)
        return nullptr;
    const uint64_t tagSize = static_cast<uint64_t>(SynchsafeSize(header + 6)) + ID3_HEADER_SIZE;
    if (room < tagSize)
        return nullptr;
    const uint64_t sourceEnd = host->FileGetPosition(file, 2);
    if (sourceEnd != POSITION_NONE && (offset > sourceEnd || sourceEnd - offset < tagSize))
        return nullptr;
    const uint32_t bodySize = static_cast<uint32_t>(tagSize - ID3_HEADER_SIZE);
    uint32_t got;
    uint8_t *tag = ReadBlock(file, ID3_HEADER_SIZE, bodySize, 0, &got);
    if (tag == nullptr)
        return nullptr;
    if (got < bodySize) {
        free(tag);
        return nullptr;
    }
    memcpy(tag, header, ID3_HEADER_SIZE);
    return tag;
}
