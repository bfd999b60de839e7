/*
 * velm.h - application interface of the VELM host audio library (2.4).
 *
 * This is the small stand-in host the DSD add-on is built and tested
 * against. It opens sources (files, memory blocks, user procedures, file://
 * and http:// URLs),
 * pulls streams through their add-on read procedures, serves configuration
 * options, loads plug-ins and keeps a per-thread error code.
 */
#ifndef VELM_H
#define VELM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define VELM_API __attribute__((visibility("default")))
#else
#define VELM_API
#endif

#define VELM_VERSION 0x02040000u /* 2.4; the low 16 bits are the build */

/* Error codes (VELM_ErrorGetCode). */
#define VELM_OK 0
#define VELM_ERROR_MEM 1
#define VELM_ERROR_FILEOPEN 2
#define VELM_ERROR_HANDLE 5
#define VELM_ERROR_POSITION 7
#define VELM_ERROR_ILLTYPE 19
#define VELM_ERROR_ILLPARAM 20
#define VELM_ERROR_NOTAVAIL 37
#define VELM_ERROR_DECODE 38
#define VELM_ERROR_TIMEOUT                                                                                   \
    40 /* a source gave nothing, or not what a read asked, within VELM_CONFIG_NET_TIMEOUT */
#define VELM_ERROR_FILEFORM 41
#define VELM_ERROR_VERSION 43
#define VELM_ERROR_ENDED 45
#define VELM_ERROR_SOURCE 46 /* a source broke off: cut, server failed, fewer bytes than its Content-Length */
#define VELM_ERROR_UNKNOWN -1

/* Stream flags understood by the host. */
#define VELM_SAMPLE_8BITS 0x1u
#define VELM_SAMPLE_FLOAT 0x100u
#define VELM_STREAM_DECODE 0x200000u
#define VELM_UNICODE 0x80000000u

/* VELM_ChannelGetLength / Position / SetPosition modes. */
#define VELM_POS_BYTE 0u

/* FileOpen `mem` value that marks `file` as a Java file object. */
#define VELM_JAVA_FILE_MARKER 0x11111111u

/* Host options (VELM_SetConfig / VELM_GetConfig). */
#define VELM_CONFIG_NET_TIMEOUT 11 /* ms to wait for network data; default 10000 */
#define VELM_CONFIG_NET_BUFFER 12  /* bytes a network source holds at most; default 4 MiB */

/* Config ids for VELM_GetConfigPtr: the add-on tables. */
#define VELM_CONFIG_ADDON 0x8000u
#define VELM_CONFIG_JAVA 0x8002u

/* Diagnostics of this host (VELM_GetConfig, read only): Java global references
   it holds for bindings and Java file objects, and bytes of C heap in use. */
#define VELM_CONFIG_JAVA_REFS 0x8100u
#define VELM_CONFIG_HEAP_USED 0x8101u

/* Channel information (VELM_ChannelGetInfo): 8 words. */
typedef struct VELM_CHANNELINFO {
    uint32_t freq;        /* sample rate of the stream */
    uint32_t chans;       /* channels */
    uint32_t flags;       /* stream flags */
    uint32_t ctype;       /* channel type */
    uint32_t origres;     /* resolution of the source samples in bits, 0 when unknown */
    uint32_t plugin;      /* plug-in that made the stream, 0 for none */
    uint32_t sample;      /* unused by this host: 0 */
    const char *filename; /* file name when the source is a named file, else null */
} VELM_CHANNELINFO;

/*
 * User file procedures (FileOpenUser, system 0). All offsets are 64-bit,
 * also on 32-bit targets. `read` returns the bytes delivered, fewer than
 * asked only at the end of the source (or, for a streamed source, when no
 * more has arrived yet); `seek` returns nonzero on success.
 */
typedef void VELM_FILECLOSEPROC(void *user);
typedef uint64_t VELM_FILELENPROC(void *user);
typedef uint32_t VELM_FILEREADPROC(void *buffer, uint32_t length, void *user);
typedef uint32_t VELM_FILESEEKPROC(uint64_t offset, void *user);

typedef struct VELM_FILEPROCS {
    VELM_FILECLOSEPROC *close;
    VELM_FILELENPROC *length;
    VELM_FILEREADPROC *read;
    VELM_FILESEEKPROC *seek;
} VELM_FILEPROCS;

/* Download procedure of URL sources: called with each piece as it arrives
   (for http:// sources on the host's download thread). */
typedef void VELM_DOWNLOADPROC(const void *buffer, uint32_t length, void *user);

VELM_API uint32_t VELM_GetVersion(void);
VELM_API void *VELM_GetConfigPtr(uint32_t id);
VELM_API int32_t VELM_ErrorGetCode(void);
VELM_API uint32_t VELM_SetConfig(uint32_t option, uint32_t value);
VELM_API uint32_t VELM_GetConfig(uint32_t option);
VELM_API uint32_t VELM_PluginLoad(const char *path);
VELM_API uint32_t VELM_StreamCreateFile(uint32_t mem, const void *file, uint64_t offset, uint64_t length,
                                        uint32_t flags);
/*
 * Pulls up to `length` bytes of a stream. Fewer (even 0) is not the end for
 * a stream that plays a network source. A decoding stream waits for its
 * source up to VELM_CONFIG_NET_TIMEOUT for each call: a call it cannot fill
 * by then times the source out. The end is all ones with VELM_ERROR_ENDED;
 * a stream whose source failed where the stream had got to ends instead with
 * VELM_ERROR_TIMEOUT or VELM_ERROR_SOURCE (after the bytes that did arrive).
 */
VELM_API uint32_t VELM_ChannelGetData(uint32_t handle, void *buffer, uint32_t length);
VELM_API uint64_t VELM_ChannelGetLength(uint32_t handle, uint32_t mode);
VELM_API uint64_t VELM_ChannelGetPosition(uint32_t handle, uint32_t mode);
VELM_API uint32_t VELM_ChannelSetPosition(uint32_t handle, uint64_t pos, uint32_t mode);
VELM_API uint32_t VELM_ChannelGetInfo(uint32_t handle, VELM_CHANNELINFO *info);
VELM_API const void *VELM_ChannelGetTags(uint32_t handle, uint32_t type);
VELM_API uint32_t VELM_ChannelGetAttribute(uint32_t handle, uint32_t attrib, float *value);
VELM_API uint32_t VELM_ChannelSetAttribute(uint32_t handle, uint32_t attrib, float value);
VELM_API uint64_t VELM_StreamGetFilePosition(uint32_t handle, uint32_t mode);
VELM_API uint32_t VELM_StreamFree(uint32_t handle);
/* The bit rate the add-on gave for the stream's source (bytes per second,
   and the offset it gave with it when `offset` is not null); 0 when none. */
VELM_API uint32_t VELM_StreamGetBitrate(uint32_t handle, uint32_t *offset);

#ifdef __cplusplus
}
#endif

#endif /* VELM_H */
