#include "create/source_read.h"

#include <stdlib.h>
#include <string.h>

#include "host/host.h"

uint32_t SourceRead(uint32_t file, void *buf, uint32_t n)
{
    int32_t got = ReadCountAtMost(hostFunctions->FileRead(file, buf, n), n);
    return got > 0 ? static_cast<uint32_t>(got) : 0;
}

bool SourceFailed(uint32_t file)
{
    /* Where the source's bytes stop, whatever position the reader left behind. */
    const uint64_t available = hostFunctions->FileGetPosition(file, 1);
    if (available != POSITION_NONE)
        hostFunctions->FileSeek(file, available);
    uint8_t byte;
    return hostFunctions->FileRead(file, &byte, 1) < 0;
}

uint32_t ReadCleared(uint32_t file, void *buf, uint32_t n)
{
    memset(buf, 0, n);
    return SourceRead(file, buf, n);
}

#define READ_STEP (1u << 20)

uint8_t *ReadBlock(uint32_t file, uint32_t lead, uint32_t n, uint32_t trail, uint32_t *got)
{
    uint32_t cap = n < READ_STEP ? n : READ_STEP;
    size_t spare = static_cast<size_t>(lead) + trail;
    uint8_t *block = static_cast<uint8_t *>(malloc(spare + cap != 0 ? spare + cap : 1));
    if (block == nullptr)
        return nullptr;
    uint32_t have = 0;
    for (;;) {
        have += SourceRead(file, block + lead + have, cap - have);
        if (have < cap || cap == n)
            break;
        uint32_t next = cap > n - cap ? n : 2 * cap;
        uint8_t *bigger = static_cast<uint8_t *>(realloc(block, spare + next));
        if (bigger == nullptr) {
            free(block);
            return nullptr;
        }
        block = bigger;
        cap = next;
    }
    *got = have;
    return block;
}
