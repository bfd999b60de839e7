/*
 * source_read.h - reading the source through the host.
 *
 * Every FileRead result is decided here. A host may deliver fewer bytes than
 * asked, report a negative count, or (a faulty one) report more than it was
 * asked for; only 0..asked bytes are ever taken as lying in the buffer.
 */
#ifndef VELMDSD_SOURCE_READ_H
#define VELMDSD_SOURCE_READ_H

#include <stdint.h>

/* A FileRead result limited to what was asked; a negative count stays as it is. */
static inline int32_t ReadCountAtMost(int32_t got, uint32_t asked)
{
    return static_cast<int64_t>(got) > static_cast<int64_t>(asked) ? static_cast<int32_t>(asked) : got;
}

/* Reads up to n bytes; returns how many arrived, 0..n. */
uint32_t SourceRead(uint32_t file, void *buf, uint32_t n);

/*
 * True when the source itself failed (a read gives a negative count: the host has set its
 * error, such as a time-out or a transfer that broke off), rather than simply ending. Asked
 * once a description is found incomplete, so that a failed source keeps the host's code
 * instead of passing for a format error. Reads at the end of what is available.
 */
bool SourceFailed(uint32_t file);

/* Reads into a cleared buffer, so that a short read leaves zeros (and fails the id tests that follow). */
uint32_t ReadCleared(uint32_t file, void *buf, uint32_t n);

/*
 * Reads up to n bytes into a new block that has `lead` spare bytes before them and `trail`
 * after. The block starts at no more than 1 MiB and grows only as bytes arrive, so a size
 * word that claims more than the source holds costs no more memory than the source has.
 * Up to 1 MiB is one read. Returns the block (the caller frees it) with *got the bytes that
 * arrived, or null when memory cannot be had.
 */
uint8_t *ReadBlock(uint32_t file, uint32_t lead, uint32_t n, uint32_t trail, uint32_t *got);

#endif /* VELMDSD_SOURCE_READ_H */
