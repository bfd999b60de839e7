/*
 * fake_host.h - a scriptable stand-in for the host tables in unit tests.
 *
 * The fake defines VELM_GetVersion and VELM_GetConfigPtr, so the add-on core
 * links against it instead of libvelm. Every host function logs one line,
 * sources are in-memory byte vectors with knobs for the awkward cases (short
 * reads, data that arrives late, failing seeks, an unknown end), and streams
 * are records the tests can pull through their read procedure.
 *
 * Handles: files count up from 1, streams from 1001, so that a file handle
 * passed where a stream handle belongs (or the other way round) shows up.
 * The fake is single-threaded; call Reset() at the start of every test.
 */
#ifndef VELMDSD_TESTS_FAKE_HOST_H
#define VELMDSD_TESTS_FAKE_HOST_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/host_api.h"

namespace fake {

/* The stream handle CreateStream gives first. */
constexpr uint32_t FIRST_STREAM_HANDLE = 1001;

struct Source {
    std::vector<uint8_t> data;
    uint32_t fileFlags = 0;          /* FileGetFlags: FILE_STREAMED, FILE_FLAG_PASSED */
    uint32_t maxRead = 0;            /* nonzero: each FileRead delivers at most this many bytes */
    bool failSeek = false;           /* every FileSeek fails */
    bool unknownEnd = false;         /* FileGetPosition(2) gives all ones */
    uint64_t available = UINT64_MAX; /* FileGetPosition(1) */
    /* Only the first `arrived` bytes can be read so far (clamped to the size);
       FileIsEnd stays 0 until all data has arrived and been read. */
    uint64_t arrived = UINT64_MAX;
    /* Forced results of the next FileRead calls, consumed one per call (the
       vector shrinks from the front). A value <= 0 is returned as it is and
       the read delivers nothing; a positive value caps that read. */
    std::vector<int32_t> readScript;
    uint64_t windowOffset = 0; /* FileGetPosition(3) */
};

struct Stream : AddonStream {
    uint64_t delivered = 0; /* bytes the read procedure has produced so far */
    uint32_t file = 0;      /* the file given to FileSetStream, 0 before */
    bool released = false;  /* FreeStream ran */
};

/* One call of FileOpen, FileOpenURL or FileOpenUser, arguments as given. */
struct OpenCall {
    enum Kind { FILE_OPEN, URL_OPEN, USER_OPEN } kind = FILE_OPEN;
    uint32_t mem = 0;                          /* FileOpen */
    const void *file = nullptr;                /* FileOpen */
    uint64_t offset = 0;                       /* FileOpen, FileOpenURL */
    uint64_t length = 0;                       /* FileOpen */
    std::string url = "";                      /* FileOpenURL */
    VELM_DOWNLOADPROC *downloadProc = nullptr; /* FileOpenURL */
    uint32_t system = 0;                       /* FileOpenUser */
    const VELM_FILEPROCS *procs = nullptr;     /* FileOpenUser */
    void *user = nullptr;                      /* FileOpenURL, FileOpenUser */
    uint32_t flags = 0;
    uint32_t addon = 0;  /* the last argument */
    uint32_t result = 0; /* the file handle given back, 0 on failure */
};

/* What FileSetBitrate was told about a file. */
struct Bitrate {
    bool set = false;
    uint32_t bytesPerSecond = 0;
    uint32_t offset = 0;
};

/* One call into the fake Java functions table. */
struct JavaCall {
    std::string name; /* "GetJavaEnv", "NewJavaString", "WrapJavaDownloadProc", ... */
    void *env = nullptr;
    void *object = nullptr; /* Wrap*: the Java procedure object; Free/Attach: the binding */
    void *user = nullptr;   /* Wrap*: the Java user object */
    uint32_t handle = 0;    /* AttachJavaBinding */
    void *result = nullptr; /* what the call returned */
};

/* ---- global state ---- */
void Reset();
void SetVersion(uint32_t version);
void SetHostTable(bool present);
void SetJavaTable(bool present);
const HostFunctions *HostTable();     /* the table, present or not */
const HostJavaFunctions *JavaTable(); /* the table, present or not */

/* printf into a string (512 bytes at most), for log lines and findings. */
std::string FormatV(const char *fmt, va_list args);

/* ---- call log ---- */
std::vector<std::string> &Log();
void ClearLog();
size_t CountCalls(const char *prefix); /* log lines starting with `prefix` */
std::string LogText();                 /* the log, one line each, for failure messages */
/* Calls on a handle the fake never gave out or has closed. */
size_t BadHandleCalls();

/* ---- errors and configuration ---- */
int32_t LastError();
size_t SetErrorCount();
const std::vector<int32_t> &Errors(); /* every SetError code, in order */
ConfigHandlerProc *ConfigHandler();   /* null when none is registered */

/* ---- sources ---- */
uint32_t AddSource(Source source);                        /* an open file, as if the host had opened it */
void RegisterPath(const char *path, Source source);       /* FileOpen mem 0, FileOpenURL */
void RegisterJavaFile(const void *object, Source source); /* FileOpen with mem 0x11111111 */
Source &GetSource(uint32_t file);                         /* aborts on a handle the fake never gave out */
uint64_t Position(uint32_t file);
bool IsClosed(uint32_t file);
uint32_t OwnerStream(uint32_t file); /* the handle given to FileSetStream, 0 before */
Bitrate GetBitrate(uint32_t file);
uint32_t LastFile();    /* the most recent handle AddSource or an open gave, or 0 */
size_t OpenFileCount(); /* files given out and not closed */
const std::vector<OpenCall> &OpenCalls();

/* ---- streams ---- */
void SetCreateStreamFails(int32_t code); /* CreateStream then sets `code` and returns 0 */
Stream *GetStream(uint32_t handle);      /* null for an unknown handle */
uint32_t LastStream();                   /* the most recent handle CreateStream gave, or 0 */
/* Calls the read procedure once, as the host would, and adds the bytes it
   produced (the result without STREAM_READ_END) to `delivered`. */
uint32_t Read(uint32_t handle, void *buf, uint32_t len);
void SetDelivered(uint32_t handle, uint64_t value);
/* What the host does when the application frees a stream: the release
   operation, then the handed-over file is closed (without a FileClose line). */
void FreeStream(uint32_t handle);

/* ---- fault injection ---- */
/* Once armed, the fake counts the calls of the given kinds - FileRead (delivers nothing,
   0), FileSeek (0), FileGetPosition (all ones), and allocations where the test binary
   wraps them - and fails call n (1-based), or with `persistent` call n and every later
   one. n = 0 disarms. Reset disarms too. */
enum FaultKind : uint32_t { FAULT_READ = 1, FAULT_SEEK = 2, FAULT_POSITION = 4, FAULT_ALLOC = 8 };
void ArmFault(uint64_t n, bool persistent,
              uint32_t kinds = FAULT_READ | FAULT_SEEK | FAULT_POSITION | FAULT_ALLOC);
bool FaultDue(FaultKind kind); /* counts one call that can fail and says whether it fails */
uint32_t FaultsFired();        /* the kinds of the calls that failed since ArmFault */

/* ---- Java ---- */
/* The env is an opaque pointer here; fake_jni.h gives a scriptable JNIEnv. */
void SetJavaEnv(void *env);                    /* what GetJavaEnv returns; default null */
const std::vector<std::string> &JavaStrings(); /* texts given to NewJavaString, in order */
/* Index into JavaStrings() of a pointer NewJavaString returned, or -1. */
long JavaStringIndex(const void *javaString);
void SetJavaBinding(void *binding); /* what Wrap* return; default DefaultJavaBinding() */
void *DefaultJavaBinding();
/* What Wrap* write through their out parameter on success. */
VELM_DOWNLOADPROC *JavaNativeDownloadProc();
const VELM_FILEPROCS *JavaNativeFileProcs(); /* a table whose source is empty */
const std::vector<JavaCall> &JavaCalls();

} // namespace fake

#endif /* VELMDSD_TESTS_FAKE_HOST_H */
