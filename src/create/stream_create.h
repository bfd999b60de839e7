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

/* Work buffer size for the record, or 0 when it cannot be represented. */
uint32_t WorkBufferSize(const DsdStream *stream);

#endif /* VELMDSD_STREAM_CREATE_H */
