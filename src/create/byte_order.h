/* byte_order.h - container integers, read byte by byte. DSF is little-endian, DSDIFF big-endian. */
#ifndef VELMDSD_BYTE_ORDER_H
#define VELMDSD_BYTE_ORDER_H

#include <stdint.h>
#include <string.h>

static inline uint16_t ReadBE16(const uint8_t *p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

static inline uint32_t ReadBE32(const uint8_t *p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

static inline uint64_t ReadBE64(const uint8_t *p)
{
    return (static_cast<uint64_t>(ReadBE32(p)) << 32) | ReadBE32(p + 4);
}

static inline uint32_t ReadLE32(const uint8_t *p)
{
    return (static_cast<uint32_t>(p[3]) << 24) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[1]) << 8) | p[0];
}

static inline uint64_t ReadLE64(const uint8_t *p)
{
    return (static_cast<uint64_t>(ReadLE32(p + 4)) << 32) | ReadLE32(p);
}

/* Stores host-order values into unaligned bytes. */
static inline void StoreHost16(uint8_t *p, uint16_t v)
{
    memcpy(p, &v, sizeof v);
}

static inline void StoreHost32(uint8_t *p, uint32_t v)
{
    memcpy(p, &v, sizeof v);
}

static inline bool IdIs(const uint8_t *p, const char id[5])
{
    return memcmp(p, id, 4) == 0;
}

#endif /* VELMDSD_BYTE_ORDER_H */
