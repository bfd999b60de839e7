/*
 * velmdsd.h - DSD (DSF and DSDIFF) add-on for the VELM host audio library.
 *
 * Streams deliver the DSD data in one of three forms, chosen by the flags
 * of the creation call:
 *   VELM_DSD_RAW  the DSD bytes, byte-interleaved by channel (needs
 *                 VELM_STREAM_DECODE, not VELM_SAMPLE_FLOAT);
 *   VELM_DSD_DOP  DSD over PCM in float samples (needs VELM_SAMPLE_FLOAT);
 *   neither       PCM through a 200-tap low-pass filter, float or 16-bit,
 *                 at the lowest rate dsdRate / (8 * 2^k) not below `freq`
 *                 (0: the VELM_DSD_CONFIG_RATE value).
 * PCM streams created with VELM_DSD_PCM_HQ (or while VELM_DSD_CONFIG_QUALITY
 * is 1) use the high-quality converter instead: a longer table-driven first
 * stage and linear-phase half-band stages, output sample 0 at time 0, at the
 * same rate. The flag is ignored for raw DSD and DoP.
 */
#ifndef VELMDSD_H
#define VELMDSD_H

#include <stdint.h>

#include "velm.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define VELMDSD_API __attribute__((visibility("default")))
#else
#define VELMDSD_API
#endif

/* Stream flags. */
#define VELM_DSD_RAW 0x200u
#define VELM_DSD_DOP 0x400u
#define VELM_DSD_PCM_HQ 0x800u /* high-quality PCM conversion; never passed on to the host */

/* Configuration options (VELM_SetConfig / VELM_GetConfig). */
#define VELM_DSD_CONFIG_RATE 0x10800u /* PCM target rate in Hz for freq 0; default 44100 */
#define VELM_DSD_CONFIG_GAIN 0x10801u /* initial PCM gain in dB (signed); default 6 */
#define VELM_DSD_CONFIG_QUALITY                                                                              \
    0x10803u /* PCM converter without VELM_DSD_PCM_HQ: 0 designed (default), 1 high quality */

/* Attributes (VELM_ChannelGetAttribute / SetAttribute). */
#define VELM_DSD_ATTRIB_GAIN 0x14000u /* PCM gain in dB */
#define VELM_DSD_ATTRIB_RATE 0x14001u /* DSD rate in Hz, read only */
/* The speakers the header names, read only: the WAV channel mask (FL 0x1, FR 0x2, FC 0x4, LFE 0x8,
   BL 0x10, BR 0x20), one bit per channel in channel order; 0 when the header names no layout WAV
   can carry (a DSF channel type that disagrees with the channel count, DSDIFF channel IDs out of
   that order or unknown). */
#define VELM_DSD_ATTRIB_SPEAKERS 0x14002u
/* DST-compressed DSDIFF, all read only. The frames the "FRTE" chunk declares (0 for plain sound). */
#define VELM_DSD_ATTRIB_DST_FRAMES 0x14010u
/* The frames decoded as DSD silence so far because they could not be decoded (broken frames). */
#define VELM_DSD_ATTRIB_DST_BROKEN 0x14011u
/* The sound bytes the header declares over the bytes they are stored in: 1 for plain sound. */
#define VELM_DSD_ATTRIB_COMPRESSION 0x14012u

/*
 * The PCM gain, in dB, from VELM_DSD_GAIN_MIN to VELM_DSD_GAIN_MAX. Setting
 * VELM_DSD_ATTRIB_GAIN to a value outside that range, or to NaN or an
 * infinity (-Inf included: muting is the host's volume, not the filter's),
 * fails with VELM_ERROR_ILLPARAM and leaves the stream as it was.
 * VELM_DSD_CONFIG_GAIN stores any value and gives it back; a stream created
 * while it lies outside the range starts at the nearer end of the range.
 */
#define VELM_DSD_GAIN_MIN (-100)
#define VELM_DSD_GAIN_MAX 60

/* VELM_ChannelGetLength mode: the output bytes the header declares, what a complete source
   gives (VELM_POS_BYTE answers the length of the sound present, which a short source lowers). */
#define VELM_DSD_POS_DECLARED 0x14100u

/* Channel type (VELM_CHANNELINFO.ctype). */
#define VELM_CTYPE_DSD 0x11700u

/* Tag types (VELM_ChannelGetTags). */
#define VELM_TAG_ID3V2 1u                  /* the whole ID3v2 tag, header first (DSF, DSDIFF "ID3 ") */
#define VELM_TAG_DSD_ARTIST 0x13000u       /* DSDIFF: NUL-terminated text */
#define VELM_TAG_DSD_TITLE 0x13001u        /* DSDIFF: NUL-terminated text */
#define VELM_TAG_DSD_COMMENT_BASE 0x13100u /* + index: TAG_DSD_COMMENT */
#define VELM_TAG_JAVA_OBJECT 0x80000000u   /* + type: the Java form of the tag */

/* Error codes of the add-on beyond the host's own. */
#define VELM_ERROR_JAVA_CLASS 500
#define VELM_ERROR_JAVA_TYPE 501

/* Marks a Java object reference as the `file` of VELM_DSD_StreamCreateFile. */
#define VELM_DSD_JAVA_FILE_MARKER VELM_JAVA_FILE_MARKER

/*
 * A DSDIFF comment: packed, numbers in host byte order. commentText holds
 * commentLength bytes and is not NUL-terminated.
 */
#pragma pack(push, 1)
typedef struct TAG_DSD_COMMENT {
    uint16_t timeStampYear;
    uint8_t timeStampMonth;
    uint8_t timeStampDay;
    uint8_t timeStampHour;
    uint8_t timeStampMinutes;
    uint16_t cmtType;
    uint16_t cmtRef;
    uint32_t commentLength;
    char commentText[1];
} TAG_DSD_COMMENT;
#pragma pack(pop)

/*
 * Every creation function returns a stream handle (nonzero) and sets the host's error code to
 * VELM_OK, or returns 0 with the error code (VELM_ErrorGetCode) set to say why:
 *   VELM_ERROR_VERSION   the add-on did not start (a host of another version, or the host's
 *                        functions table could not be had); nothing else is done
 *   VELM_ERROR_FILEFORM  the source is not a DSF or DSDIFF file, its header is short or
 *                        inconsistent (no channels, no rate, no sound data), or the
 *                        high-quality converter's history does not fit in the sound held
 *   VELM_ERROR_ILLPARAM  VELM_DSD_RAW without VELM_STREAM_DECODE, or with VELM_SAMPLE_FLOAT;
 *                        VELM_DSD_DOP without VELM_SAMPLE_FLOAT
 *   VELM_ERROR_MEM       memory for the stream, its buffer or its converter could not be had,
 *                        or the decimation (DSD rate / PCM rate) times the channels is too large
 *   and whatever the host's opening of the source sets (VELM_ERROR_FILEOPEN, VELM_ERROR_MEM,
 *   VELM_ERROR_ILLPARAM, and for URLs the host's network codes); the host's source is closed
 *   again when the stream cannot be made.
 * flags: VELM_DSD_RAW (raw DSD bytes at 1/8 of the DSD rate), VELM_DSD_DOP (DoP floats at 1/16),
 *   else PCM (16-bit, or float with VELM_SAMPLE_FLOAT; VELM_DSD_PCM_HQ for the high-quality
 *   converter), plus the host's stream flags it passes on.
 * freq: the PCM rate asked for: the stream's rate is the lowest DSD rate / (8 x 2^k) not below it;
 *   0 takes the VELM_DSD_CONFIG_RATE value.
 */

/* Opens a file (mem 0: file is a path) or a memory block (mem nonzero: file points at it, and it
 * must stay valid for the stream's life); offset and length select the part that holds the DSF or
 * DSDIFF file, as for the host's VELM_StreamCreateFile. Errors: as above. */
VELMDSD_API uint32_t VELM_DSD_StreamCreateFile(uint32_t mem, const void *file, uint64_t offset,
                                               uint64_t length, uint32_t flags, uint32_t freq);
/* Opens a URL through the host, with offset, proc (may be NULL) and user as for the host's
 * VELM_StreamCreateURL. Errors: as above, and the host's network codes. */
VELMDSD_API uint32_t VELM_DSD_StreamCreateURL(const char *url, uint32_t offset, uint32_t flags,
                                              VELM_DOWNLOADPROC *proc, void *user, uint32_t freq);
/* Opens a source read through the user's procedures (procs, called with user). system must be 0:
 * any other value fails with VELM_ERROR_ILLPARAM. Errors: as above. */
VELMDSD_API uint32_t VELM_DSD_StreamCreateFileUser(uint32_t system, uint32_t flags,
                                                   const VELM_FILEPROCS *procs, void *user, uint32_t freq);
/* Plug-in entry for the host's VELM_PluginLoad: face 0 returns the plug-in information, face 1
 * the create procedure the host calls for files it cannot open itself (PCM or DoP, never raw).
 * Returns NULL for any other face, and for every face when the add-on did not start. Sets no
 * error code. */
VELMDSD_API const void *VELMplugin(uint32_t face);

#ifdef __cplusplus
}
static_assert(sizeof(TAG_DSD_COMMENT) == 15, "comment header is 14 packed bytes");
static_assert(__builtin_offsetof(TAG_DSD_COMMENT, commentLength) == 10, "commentLength at byte 10");
static_assert(__builtin_offsetof(TAG_DSD_COMMENT, commentText) == 14, "text at byte 14");
#endif

#endif /* VELMDSD_H */
