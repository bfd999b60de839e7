#include "create/source_read.h"

#include <string.h>

#include "host/host.h"

uint32_t SourceRead(uint32_t file, void *buf, uint32_t n)
{
    int32_t got = ReadCountAtMost(hostFunctions->FileRead(file, buf, n), n);
    return got > 0 ? static_cast<uint32_t>(got) : 0;
}

uint32_t ReadCleared(uint32_t file, void *buf, uint32_t n)
{
    memset(buf, 0, n);
    return SourceRead(file, buf, n);
}
