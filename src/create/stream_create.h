/* stream_create.h - the creation driver and its entries. */
#ifndef VELMDSD_STREAM_CREATE_H
#define VELMDSD_STREAM_CREATE_H

#include <stdint.h>

#include "create/dsd_stream.h"

/*
 * Creates a stream on a source the host has opened, positioned at its start.
 * Never closes `file`: on failure the caller still owns it, on success the
 * stream does. freq is the PCM target rate, 0 for the configured default.
 */
uint32_t DsdStreamCreate(uint32_t file, uint32_t flags, uint32_t freq);

/* Plug-in create procedure: raw DSD is never offered through the host. */
uint32_t PluginCreateProc(uint32_t file, uint32_t flags);

/* The stream length in output bytes for the record's form; sourceEnd from FileGetPosition(file, 2). */
uint64_t DsdStreamLength(const DsdStream *stream, uint64_t sourceEnd);

/* The smallest power of two ratio whose PCM rate dsdRate / 8 / ratio is not below target. */
int32_t PcmRatio(uint32_t dsdRate, uint32_t target);

/*
 * Sets the record's bufferSize by what its sound data can fill, with room for a window of
 * `window` bytes per channel besides; sourceEnd from FileGetPosition(file, 2). ERROR_FORMAT
 * when a DSF block group is larger than the sound data or the source; ERROR_MEMORY when the
 * size cannot be represented, or passes 64 MiB on a source of unknown size.
 */
int32_t SizeWorkBuffer(DsdStream *stream, uint64_t sourceEnd, uint32_t window);

#endif /* VELMDSD_STREAM_CREATE_H */
