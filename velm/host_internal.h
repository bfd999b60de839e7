/*
 * host_internal.h - records and handle tables shared by the parts of the
 * stand-in host (files, streams, core).
 *
 * Handles of files, streams and plug-ins come from one counter, so a handle
 * of one kind is never a valid handle of another, and no handle is reused
 * within a process. One mutex guards the tables; it is never held while an
 * add-on procedure runs. Calls concerning one file or one stream must not
 * overlap (the caller orders them), as in the add-on itself.
 */
#ifndef VELM_HOST_INTERNAL_H
#define VELM_HOST_INTERNAL_H

#include <stdint.h>

#include <stdlib.h>

#include <memory>
#include <vector>

#include "host_api.h"

namespace velm {

constexpr uint64_t kNone = UINT64_MAX;
constexpr uint32_t kJavaFileMarker = 0x11111111u;

enum class SourceKind { Path, Memory, User };

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
    std::vector<uint8_t> ahead;       // Path: room for bytes read ahead of small reads
    uint64_t aheadPos = 0;            // Path: window position of ahead[0]
    uint64_t aheadLen = 0;            // Path: bytes of ahead read from the file
    VELM_FILEPROCS procs{};           // User
    void *user = nullptr;             // User
    bool shortRead = false;           // User: a read came back short
    VELM_DOWNLOADPROC *download = nullptr;
    void *downloadUser = nullptr;
    OwnedText path;                   // named files only
    uint32_t stream = 0;              // owning stream, 0 when none
    uint32_t bitrate = 0;             // FileSetBitrate, recorded only
    uint32_t bitrateOffset = 0;
};

struct HostStream {
    uint32_t freq = 0;
    uint32_t chans = 0;
    uint32_t flags = 0;
    StreamReadProc *proc = nullptr;
    void *user = nullptr;
    const OperationsTable *ops = nullptr;
    uint32_t file = 0;     // owned file, closed with the stream
    uint32_t plugin = 0;   // plug-in whose create procedure made the stream
    bool ended = false;
    // Bytes pulled through the read procedure over the stream's life, and the
    // position set by the last ChannelSetPosition with the count at that time.
    uint64_t pulled = 0;
    uint64_t seekPos = 0;
    uint64_t pulledAtSeek = 0;

    uint64_t delivered() const { return seekPos + (pulled - pulledAtSeek); }
};

void SetError(int32_t code);
int32_t GetError();

// Handle tables. Find returns null for an unknown handle; Take removes the
// record from the table and hands it to the caller.
uint32_t AddFile(std::unique_ptr<HostFile> file);
HostFile *FindFile(uint32_t handle);
std::unique_ptr<HostFile> TakeFile(uint32_t handle);
uint32_t AddStream(std::unique_ptr<HostStream> stream);
HostStream *FindStream(uint32_t handle);
std::unique_ptr<HostStream> TakeStream(uint32_t handle);
uint32_t NewHandle();

// The plug-in whose create procedure runs on this thread (0 outside one).
uint32_t CreatingPlugin();

// Host table slots implemented in the file and stream parts.
uint32_t FileOpen(uint32_t mem, const void *file, uint64_t offset, uint64_t length, uint32_t flags,
                  uint32_t addon);
uint32_t FileOpenURL(const char *url, uint32_t offset, uint32_t flags, VELM_DOWNLOADPROC *proc,
                     void *user, uint32_t addon);
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

uint32_t CreateStream(uint32_t freq, uint32_t chans, uint32_t flags, StreamReadProc *proc,
                      void *user, const OperationsTable *ops);
uint64_t GetStreamPosition(uint32_t handle, uint32_t mode);
uint64_t TranslateStreamPosition(uint32_t handle, uint32_t mode, uint64_t value, uint32_t mode2);

}  // namespace velm

#endif  // VELM_HOST_INTERNAL_H
