/*
 * host_api.h - the add-on's names for the host interface.
 *
 * The tables, procedure types and plug-in records are the host's own
 * (velm_addon.h); this header gives the host's constants the names the
 * add-on uses, each defined once from the host's or the add-on's public one.
 */
#ifndef VELMDSD_HOST_API_H
#define VELMDSD_HOST_API_H

#include <stddef.h>
#include <stdint.h>

#include "velm_addon.h"
#include "velmdsd.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Error codes an add-on reports through SetError. */
enum {
    ERROR_OK = VELM_OK,
    ERROR_MEMORY = VELM_ERROR_MEM,
    ERROR_HANDLE = VELM_ERROR_HANDLE,
    ERROR_POSITION = VELM_ERROR_POSITION,
    ERROR_TYPE = VELM_ERROR_ILLTYPE,
    ERROR_PARAM = VELM_ERROR_ILLPARAM,
    ERROR_NOT_AVAILABLE = VELM_ERROR_NOTAVAIL,
    ERROR_FORMAT = VELM_ERROR_FILEFORM,
    ERROR_VERSION = VELM_ERROR_VERSION,
    ERROR_ENDED = VELM_ERROR_ENDED,
    ERROR_JAVA_CLASS = VELM_ERROR_JAVA_CLASS,
    ERROR_JAVA_TYPE = VELM_ERROR_JAVA_TYPE
};

/* Host stream flags the add-on tests or sets. */
#define STREAM_8BIT VELM_SAMPLE_8BITS
#define STREAM_FLOAT VELM_SAMPLE_FLOAT
#define STREAM_DECODE_ONLY VELM_STREAM_DECODE

/* File flags (FileGetFlags). */
#define FILE_STREAMED VELM_FILE_STREAMED       /* read as it arrives: no seeking ahead */
#define FILE_FLAG_PASSED VELM_FILE_FLAG_PASSED /* copied into the stream flags */

/* The end bit of a read procedure's result. */
#define STREAM_READ_END VELM_STREAMPROC_END

/* All ones: a 64-bit position or length that is not available. */
#define POSITION_NONE UINT64_MAX

/* The host's description of a channel, filled before get-info is called. */
typedef VELM_CHANNELINFO ChannelInfo;

#ifdef __cplusplus
}
#endif

#endif /* VELMDSD_HOST_API_H */
