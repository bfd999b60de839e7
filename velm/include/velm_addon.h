/*
 * velm_addon.h - the interface between the VELM host and its add-ons.
 *
 * The host owns these tables and every add-on compiles against them: the
 * host functions table an add-on fetches with VELM_GetConfigPtr(0x8000), the
 * Java functions table (0x8002), the operations table an add-on hands to
 * CreateStream, the stream read procedure and the plug-in records. Slot
 * numbers are part of the binary interface: every table is a flat run of
 * pointers, checked below.
 */
#ifndef VELM_ADDON_H
#define VELM_ADDON_H

#include <stddef.h>
#include <stdint.h>

#include "velm.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The end bit of a read procedure's result. */
#define VELM_STREAMPROC_END 0x80000000u

/* File flags (FileGetFlags). */
#define VELM_FILE_STREAMED 0x1u         /* read as it arrives: no seeking ahead of what has arrived */
#define VELM_FILE_FLAG_PASSED 0x100000u /* copied into the stream flags */

/*
 * Read procedure of a stream. `length` is the number of bytes wanted in
 * `out`; the result is the number of bytes written, with VELM_STREAMPROC_END
 * added on the call that ends the stream (and every call after it). A result
 * of 0 without the end bit is not the end: the host calls again later.
 */
typedef uint32_t StreamReadProc(uint32_t handle, void *out, uint32_t length, void *user);

/*
 * Configuration handler. `value` points to one 32-bit word: flags bit 0 set
 * means store the word into the option, clear means write the option into
 * the word. Returns 1 when the handler served the option.
 */
typedef uint32_t ConfigHandlerProc(uint32_t option, uint32_t flags, void *value);

/*
 * Operations of a stream, entry by entry. Each receives the `user` value
 * given to CreateStream first. An entry that is null is "not available".
 * The host never runs two of them, or one of them and the read procedure,
 * at the same time for one stream.
 */
typedef struct OperationsTable {
    void *reserved0;                                                                /* 0 */
    void (*release)(void *inst);                                                    /* 1 */
    uint64_t (*getLength)(void *inst, uint32_t mode);                               /* 2 */
    const void *(*getTags)(void *inst, uint32_t type);                              /* 3 */
    uint64_t (*getFilePosition)(void *inst, uint32_t mode);                         /* 4 */
    void (*getInfo)(void *inst, VELM_CHANNELINFO *info);                            /* 5 */
    uint32_t (*canSetPosition)(void *inst, uint64_t pos, uint32_t mode);            /* 6 */
    uint64_t (*setPosition)(void *inst, uint64_t pos, uint32_t mode);               /* 7 */
    void *reserved8;                                                                /* 8 */
    void *reserved9;                                                                /* 9 */
    void *reserved10;                                                               /* 10 */
    void *reserved11;                                                               /* 11 */
    void *reserved12;                                                               /* 12 */
    uint32_t (*attribute)(void *inst, uint32_t attrib, float *value, uint32_t set); /* 13 */
    void *reserved14;                                                               /* 14 */
} OperationsTable;

/* A stream an add-on made: the arguments of CreateStream, as a host keeps them. */
typedef struct AddonStream {
    uint32_t freq;
    uint32_t chans;
    uint32_t flags;
    StreamReadProc *proc;
    void *user;
    const OperationsTable *ops;
} AddonStream;

/*
 * The host functions table. File handles and stream handles are 32-bit,
 * 0 meaning failure. 64-bit positions are unsigned; all ones is unknown.
 */
typedef struct HostFunctions {
    void (*SetError)(int32_t code);                                           /* 0 */
    void (*RegisterConfigHandler)(ConfigHandlerProc *handler, uint32_t mode); /* 1: 0 adds, 1 removes */
    uint32_t (*CreateStream)(uint32_t freq, uint32_t chans, uint32_t flags, StreamReadProc *proc, void *user,
                             const OperationsTable *ops);          /* 2 */
    void *reserved3;                                               /* 3 */
    void *reserved4;                                               /* 4 */
    void *reserved5;                                               /* 5 */
    void *reserved6;                                               /* 6 */
    void *reserved7;                                               /* 7 */
    uint64_t (*GetStreamPosition)(uint32_t handle, uint32_t mode); /* 8 */
    /* Bytes the stream delivered before the read procedure's current call. */
    uint64_t (*TranslateStreamPosition)(uint32_t handle, uint32_t mode, uint64_t value,
                                        uint32_t mode2); /* 9 */
    uint32_t (*FileOpen)(uint32_t mem, const void *file, uint64_t offset, uint64_t length, uint32_t flags,
                         uint32_t addon); /* 10 */
    uint32_t (*FileOpenURL)(const char *url, uint32_t offset, uint32_t flags, VELM_DOWNLOADPROC *proc,
                            void *user, uint32_t addon); /* 11 */
    uint32_t (*FileOpenUser)(uint32_t system, uint32_t flags, const VELM_FILEPROCS *procs, void *user,
                             uint32_t addon);              /* 12 */
    void (*FileClose)(uint32_t file);                      /* 13 */
    void *reserved14;                                      /* 14 */
    void (*FileSetStream)(uint32_t file, uint32_t handle); /* 15: the stream takes the file */
    uint32_t (*FileGetFlags)(uint32_t file);               /* 16 */
    void *reserved17;                                      /* 17 */
    /* Bytes read, possibly fewer than asked (a streamed source gives what has
       arrived); a signed count. */
    int32_t (*FileRead)(uint32_t file, void *buffer, uint32_t length); /* 18 */
    uint32_t (*FileSeek)(uint32_t file, uint64_t pos);                 /* 19: nonzero on success */
    /* Mode 0 read position, 1 available (arrived), 2 end, 3 passed through. */
    uint64_t (*FileGetPosition)(uint32_t file, uint32_t mode); /* 20 */
    uint32_t (*FileIsEnd)(uint32_t file);                      /* 21: nonzero when no more will come */
    void *reserved22;                                          /* 22 */
    void (*FileSetBitrate)(uint32_t file, uint32_t bytesPerSecond, uint32_t offset); /* 23 */
} HostFunctions;

/*
 * The host Java functions table. Environments are JNIEnv pointers and
 * objects JNI references, passed as opaque pointers so that this header
 * needs no JNI header.
 */
typedef struct HostJavaFunctions {
    void *(*GetJavaEnv)(void);                                                                        /* 0 */
    void *(*NewJavaString)(void *env, const char *text);                                              /* 1 */
    void *reserved2;                                                                                  /* 2 */
    void *reserved3;                                                                                  /* 3 */
    void *(*WrapJavaDownloadProc)(void *env, void *proc, void *user, VELM_DOWNLOADPROC **nativeProc); /* 4 */
    void *(*WrapJavaFileProcs)(void *env, void *procs, void *user,
                               const VELM_FILEPROCS **nativeProcs);       /* 5 */
    void (*FreeJavaBinding)(void *binding);                               /* 6 */
    void (*AttachJavaBinding)(void *env, uint32_t handle, void *binding); /* 7 */
} HostJavaFunctions;

/* Plug-in records handed out by VELMplugin(0). */
typedef struct PluginFormat {
    uint32_t ctype;
    const char *name;
    const char *exts;
} PluginFormat;

typedef struct PluginInfo {
    uint32_t version;
    uint32_t formatCount;
    const PluginFormat *formats;
} PluginInfo;

/* VELMplugin(1): opens a source the host has opened itself. */
typedef uint32_t PluginCreateProcType(uint32_t file, uint32_t flags);

#ifdef __cplusplus
}

#define VELM_SLOT(T, field, n) static_assert(offsetof(T, field) == (n) * sizeof(void *), #field)
VELM_SLOT(HostFunctions, SetError, 0);
VELM_SLOT(HostFunctions, RegisterConfigHandler, 1);
VELM_SLOT(HostFunctions, CreateStream, 2);
VELM_SLOT(HostFunctions, GetStreamPosition, 8);
VELM_SLOT(HostFunctions, TranslateStreamPosition, 9);
VELM_SLOT(HostFunctions, FileOpen, 10);
VELM_SLOT(HostFunctions, FileOpenURL, 11);
VELM_SLOT(HostFunctions, FileOpenUser, 12);
VELM_SLOT(HostFunctions, FileClose, 13);
VELM_SLOT(HostFunctions, FileSetStream, 15);
VELM_SLOT(HostFunctions, FileGetFlags, 16);
VELM_SLOT(HostFunctions, FileRead, 18);
VELM_SLOT(HostFunctions, FileSeek, 19);
VELM_SLOT(HostFunctions, FileGetPosition, 20);
VELM_SLOT(HostFunctions, FileIsEnd, 21);
VELM_SLOT(HostFunctions, FileSetBitrate, 23);
static_assert(sizeof(HostFunctions) == 24 * sizeof(void *), "HostFunctions size");
VELM_SLOT(HostJavaFunctions, GetJavaEnv, 0);
VELM_SLOT(HostJavaFunctions, NewJavaString, 1);
VELM_SLOT(HostJavaFunctions, WrapJavaDownloadProc, 4);
VELM_SLOT(HostJavaFunctions, WrapJavaFileProcs, 5);
VELM_SLOT(HostJavaFunctions, FreeJavaBinding, 6);
VELM_SLOT(HostJavaFunctions, AttachJavaBinding, 7);
static_assert(sizeof(HostJavaFunctions) == 8 * sizeof(void *), "HostJavaFunctions size");
VELM_SLOT(OperationsTable, release, 1);
VELM_SLOT(OperationsTable, getLength, 2);
VELM_SLOT(OperationsTable, getTags, 3);
VELM_SLOT(OperationsTable, getFilePosition, 4);
VELM_SLOT(OperationsTable, getInfo, 5);
VELM_SLOT(OperationsTable, canSetPosition, 6);
VELM_SLOT(OperationsTable, setPosition, 7);
VELM_SLOT(OperationsTable, attribute, 13);
static_assert(sizeof(OperationsTable) == 15 * sizeof(void *), "OperationsTable size");
VELM_SLOT(VELM_FILEPROCS, close, 0);
VELM_SLOT(VELM_FILEPROCS, length, 1);
VELM_SLOT(VELM_FILEPROCS, read, 2);
VELM_SLOT(VELM_FILEPROCS, seek, 3);
static_assert(offsetof(VELM_CHANNELINFO, flags) == 8 && offsetof(VELM_CHANNELINFO, ctype) == 12 &&
                  offsetof(VELM_CHANNELINFO, origres) == 16 && offsetof(VELM_CHANNELINFO, sample) == 24,
              "VELM_CHANNELINFO words");
static_assert(offsetof(PluginInfo, formats) == 8 && offsetof(PluginFormat, name) == sizeof(void *),
              "plug-in records");
static_assert(offsetof(AddonStream, proc) == 12 + (sizeof(void *) - 12 % sizeof(void *)) % sizeof(void *) &&
                  offsetof(AddonStream, ops) == offsetof(AddonStream, proc) + 2 * sizeof(void *),
              "AddonStream layout");
#undef VELM_SLOT
#endif

#endif /* VELM_ADDON_H */
