/*
 * host_internal.h - records and handle tables shared by the parts of the
 * stand-in host (files, streams, core).
 *
 * Handles of files, streams and plug-ins come from one counter, so a handle
 * of one kind is never a valid handle of another, and no handle is reused
 * within a process. One mutex guards the tables; it is never held while an
 * add-on procedure runs. Each stream has its own lock, held around every
 * call of its read procedure or operations, so that the add-on never sees
 * two calls on one stream at once; it is never held while waiting for data
 * to arrive.
 */
#ifndef VELM_HOST_INTERNAL_H
#define VELM_HOST_INTERNAL_H

#include <stdint.h>

#include <stdlib.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "velm_addon.h"

namespace velm {

constexpr uint64_t kNone = UINT64_MAX;

enum class SourceKind { Path, Memory, User, Net };

// An http:// source: its download runs on a thread of its own (host_net.cpp).
struct NetSource;
struct NetState {
    uint64_t arrived; // bytes of the window that have arrived
    uint64_t end;     // its length, all ones when the server did not say
    bool finished;    // nothing more will arrive
    bool failed;      // the transfer ended early (cut, stalled, server error)
    int32_t failure;  // then VELM_ERROR_TIMEOUT or VELM_ERROR_SOURCE, else 0
};

// Owned C text. Host-only types as template arguments keep the library's
// template instances out of its exports.
struct FreeText {
    void operator()(char *text) const { free(text); }
};
using OwnedText = std::unique_ptr<char, FreeText>;

struct HostFile {
    SourceKind kind = SourceKind::Path;
    int fd = -1;                      // Path
    const uint8_t *data = nullptr;    // Memory: the first byte of the window
    uint64_t start = 0;               // Path: file offset of the window
    uint64_t size = 0;                // Path, Memory: bytes in the window
    uint64_t openOffset = 0;          // FileGetPosition mode 3
    uint64_t pos = 0;                 // read position, relative to the window
    std::unique_ptr<uint8_t[]> ahead; // Path: room for bytes read ahead of small reads
    uint64_t aheadPos = 0;            // Path: window position of ahead[0]
    uint64_t aheadLen = 0;            // Path: bytes of ahead read from the file
    VELM_FILEPROCS procs{};           // User
    void *user = nullptr;             // User
    bool metEnd = false;              // Path, User: a read came back short
    std::shared_ptr<NetSource> net;   // Net
    uint64_t readTotal = 0;           // bytes FileRead has delivered, over the file's life
    VELM_DOWNLOADPROC *download = nullptr;
    void *downloadUser = nullptr;
    OwnedText path;       // named files only
    uint32_t stream = 0;  // owning stream, 0 when none
    uint32_t bitrate = 0; // FileSetBitrate, recorded only
    uint32_t bitrateOffset = 0;
    void *javaObject = nullptr; // Java file object held while open (ReleaseJavaObject)
};

struct HostStream : AddonStream {
    HostStream() : AddonStream{} {}
    std::mutex lock;     // held around the add-on's calls on this stream
    bool freed = false;  // StreamFree has begun: no more calls
    uint32_t file = 0;   // owned file, closed with the stream
    uint32_t plugin = 0; // plug-in whose create procedure made the stream
    bool ended = false;
    int32_t endCode = VELM_ERROR_ENDED; // what the end reports: the source's failure when it failed
    // Bytes pulled through the read procedure over the stream's life, and the
    // position set by the last ChannelSetPosition with the count at that time.
    uint64_t pulled = 0;
    uint64_t seekPos = 0;
    uint64_t pulledAtSeek = 0;
    void *javaBindings = nullptr; // Java bindings dropped with the stream (DropJavaBindings)

    uint64_t delivered() const { return seekPos + (pulled - pulledAtSeek); }
};

void SetError(int32_t code);
int32_t GetError();

// Handle tables. Find returns null for an unknown handle; Take removes the
// record from the table and hands it to the caller.
uint32_t AddFile(std::unique_ptr<HostFile> file);
HostFile *FindFile(uint32_t handle);
std::unique_ptr<HostFile> TakeFile(uint32_t handle);
uint32_t AddStream(std::shared_ptr<HostStream> stream);
std::shared_ptr<HostStream> FindStream(uint32_t handle);
std::shared_ptr<HostStream> TakeStream(uint32_t handle);
uint32_t NewHandle();

// The plug-in whose create procedure runs on this thread (0 outside one).
uint32_t CreatingPlugin();

// Network sources and the host's options for them (VELM_CONFIG_NET_*).
bool SetNetOption(uint32_t option, uint32_t value);
bool GetNetOption(uint32_t option, uint32_t *value);
std::chrono::milliseconds NetTimeout();
// Opens `url` from `offset` on and returns once the server has answered;
// null with the error set when it cannot (refused, not found, ...).
std::shared_ptr<NetSource> NetOpen(const char *url, uint64_t offset, VELM_DOWNLOADPROC *proc, void *user);
// Stops the download and waits for its thread; waiters wake and return.
void NetClose(NetSource &net);
// Copies what has arrived from `pos` on; with `wait`, waits (up to the
// network time-out) until `length` bytes have arrived or nothing more will.
// A waiting read that is not served in full by then times the source out.
int32_t NetRead(NetSource &net, uint64_t pos, uint8_t *out, uint32_t length, bool wait);
// True when `pos` lies within the bytes still held; with `wait`, waits for
// it to arrive first.
bool NetSeek(NetSource &net, uint64_t pos, bool wait);
NetState NetGetState(NetSource &net);
// Waits until more than `arrived` bytes have arrived, the transfer ends or
// `deadline` passes; false on the time-out.
bool NetWaitForMore(NetSource &net, uint64_t arrived, std::chrono::steady_clock::time_point deadline);
// Fails a source that still arrives with VELM_ERROR_TIMEOUT: a read waited the time-out for it.
void NetTimeOut(NetSource &net);

// Host table slots implemented in the file and stream parts.
uint32_t FileOpen(uint32_t mem, const void *file, uint64_t offset, uint64_t length, uint32_t flags,
                  uint32_t addon);
uint32_t FileOpenURL(const char *url, uint32_t offset, uint32_t flags, VELM_DOWNLOADPROC *proc, void *user,
                     uint32_t addon);
uint32_t FileOpenUser(uint32_t system, uint32_t flags, const VELM_FILEPROCS *procs, void *user,
                      uint32_t addon);
void FileClose(uint32_t file);
void FileSetStream(uint32_t file, uint32_t handle);
uint32_t FileGetFlags(uint32_t file);
int32_t FileRead(uint32_t file, void *buffer, uint32_t length);
uint32_t FileSeek(uint32_t file, uint64_t pos);
uint64_t FileGetPosition(uint32_t file, uint32_t mode);
uint32_t FileIsEnd(uint32_t file);
void FileSetBitrate(uint32_t file, uint32_t bytesPerSecond, uint32_t offset);

uint32_t CreateStream(uint32_t freq, uint32_t chans, uint32_t flags, StreamReadProc *proc, void *user,
                      const OperationsTable *ops);
uint64_t GetStreamPosition(uint32_t handle, uint32_t mode);
uint64_t TranslateStreamPosition(uint32_t handle, uint32_t mode, uint64_t value, uint32_t mode2);

// Java (host_java.cpp). Without a Java VM every service answers "none".
extern const HostJavaFunctions hostJavaFunctions;

// A Java file object as FileOpen sees it: a String path, or the memory of a
// direct ByteBuffer with a global reference that keeps it alive.
struct JavaFileObject {
    OwnedText path;
    const uint8_t *data = nullptr;
    uint64_t capacity = 0;
    void *keep = nullptr;
};
// VELM_OK, or the error code for an object that is neither.
int32_t ResolveJavaFile(const void *object, JavaFileObject *out);
void ReleaseJavaObject(void *global);
void DropJavaBindings(void *bindings);
uint32_t JavaGlobalRefCount();
// UTF-8 text of a Java String (pairs joined, lone surrogates as U+FFFD); null
// when it holds a NUL character or memory runs out.
OwnedText TextFromJavaString(void *env, void *string);

} // namespace velm

#endif // VELM_HOST_INTERNAL_H
