// host_files.cpp - the host's file sources: named files, memory blocks,
// URLs and user procedures, each seen through a window.
//
// Positions the add-on sees count from the start of the window (the offset
// given at open). Open flags are not interpreted by this host. http://
// sources arrive over time (FileGetFlags bit 0): until a stream owns one,
// reads and seeks wait for the data they need, as the add-on reads the
// container's header; afterwards they give what has arrived and never wait,
// as they run under the stream's lock. Every other source is complete.
// Until a stream owns it, a read of an http:// source that failed (timed out,
// cut, short of its Content-Length) gives -1 with VELM_ERROR_TIMEOUT or
// VELM_ERROR_SOURCE once the bytes that arrived have been read.
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "host_internal.h"

namespace velm {
namespace {

HostFile *findOrFail(uint32_t handle)
{
    HostFile *file = FindFile(handle);
    if (file == nullptr)
        SetError(VELM_ERROR_HANDLE);
    return file;
}

// End of the source relative to the window; all ones when unknown.
uint64_t sourceEnd(const HostFile &file)
{
    if (file.kind == SourceKind::Net)
        return NetGetState(*file.net).end;
    if (file.kind != SourceKind::User)
        return file.size;
    return file.procs.length != nullptr ? file.procs.length(file.user) : kNone;
}

void closeSource(HostFile &file)
{
    if (file.fd >= 0)
        close(file.fd);
    if (file.net != nullptr)
        NetClose(*file.net);
    if (file.kind == SourceKind::User && file.procs.close != nullptr)
        file.procs.close(file.user);
    if (file.javaObject != nullptr)
        ReleaseJavaObject(file.javaObject);
}

// Only a regular file can hold a DSD file. The open never blocks: a FIFO with no writer (or a
// device that waits for a carrier) would hold it forever, so it opens without waiting and
// fstat refuses at once whatever is not a regular file: directories, devices, FIFOs. A FIFO
// is refused rather than read as a stream that arrives: its bytes would be lost to a second
// open, and an application that has one can read it through user procedures.
uint32_t openPath(const char *path, uint64_t offset, uint64_t length)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        if (fd >= 0)
            close(fd);
        SetError(VELM_ERROR_FILEOPEN);
        return 0;
    }
    uint64_t fileSize = static_cast<uint64_t>(info.st_size);
    if (offset > fileSize) {
        close(fd);
        SetError(VELM_ERROR_ILLPARAM);
        return 0;
    }
    auto record = std::make_unique<HostFile>();
    record->path.reset(strdup(path));
    if (record->path == nullptr) {
        close(fd);
        SetError(VELM_ERROR_MEM);
        return 0;
    }
    record->kind = SourceKind::Path;
    record->fd = fd;
    record->start = offset;
    record->size = fileSize - offset;
    if (length != 0)
        record->size = std::min(record->size, length);
    record->openOffset = offset;
    return AddFile(std::move(record));
}

// `keep`: a Java object held while the file is open, released on failure too.
uint32_t openMemory(const void *block, uint64_t offset, uint64_t length, void *keep = nullptr)
{
    if (offset > length) {
        if (keep != nullptr)
            ReleaseJavaObject(keep);
        SetError(VELM_ERROR_ILLPARAM);
        return 0;
    }
    auto record = std::make_unique<HostFile>();
    record->kind = SourceKind::Memory;
    record->data = static_cast<const uint8_t *>(block) + offset;
    record->size = length - offset;
    record->openOffset = offset;
    record->javaObject = keep;
    return AddFile(std::move(record));
}

// A Java String is a path; a direct ByteBuffer a memory block, the window
// [offset, offset + length) within its capacity (length 0: to its end).
uint32_t openJavaFile(const void *object, uint64_t offset, uint64_t length)
{
    JavaFileObject java;
    int32_t code = ResolveJavaFile(object, &java);
    if (code != VELM_OK) {
        SetError(code);
        return 0;
    }
    if (java.path != nullptr)
        return openPath(java.path.get(), offset, length);
    uint64_t end = java.capacity;
    if (offset <= end && length != 0 && length < end - offset)
        end = offset + length;
    return openMemory(java.data, offset, end, java.keep);
}

constexpr uint64_t kReadAhead = 1 << 18; // 256 KiB: stays in the cache, few page faults

// Up to `want` bytes of the window from `pos`; fewer at the end of the file or on an error.
uint64_t readAt(const HostFile &file, uint8_t *out, uint64_t want, uint64_t pos)
{
    uint64_t got = 0;
    while (got < want) {
        ssize_t n = pread(file.fd, out + got, want - got, static_cast<off_t>(file.start + pos + got));
        if (n <= 0)
            break;
        got += static_cast<uint64_t>(n);
    }
    return got;
}

int32_t readWindow(HostFile &file, uint8_t *out, uint32_t length)
{
    uint64_t want = std::min<uint64_t>(length, file.size - file.pos);
    if (file.kind == SourceKind::Memory) {
        if (want != 0)
            memcpy(out, file.data + file.pos, want);
        return static_cast<int32_t>(want);
    }
    // Readers ask for a few kilobytes at a time: small reads are served from one large read
    // ahead, large ones go straight to the caller.
    const uint64_t aheadEnd = file.aheadPos + file.aheadLen;
    if (want != 0 && want < kReadAhead / 4 && (file.pos < file.aheadPos || file.pos + want > aheadEnd)) {
        if (!file.ahead) // not cleared: only bytes read into it are ever copied out
            file.ahead = std::make_unique_for_overwrite<uint8_t[]>(kReadAhead);
        file.aheadLen =
            readAt(file, file.ahead.get(), std::min<uint64_t>(kReadAhead, file.size - file.pos), file.pos);
        file.aheadPos = file.pos;
    }
    if (file.pos >= file.aheadPos && file.pos + want <= file.aheadPos + file.aheadLen) {
        if (want != 0)
            memcpy(out, file.ahead.get() + (file.pos - file.aheadPos), want);
        return static_cast<int32_t>(want);
    }
    uint64_t got = readAt(file, out, want, file.pos);
    // The file has shrunk since it was opened: its real end is here.
    if (got < want)
        file.metEnd = true;
    return static_cast<int32_t>(got);
}

} // namespace

uint32_t FileOpen(uint32_t mem, const void *file, uint64_t offset, uint64_t length, uint32_t, uint32_t)
{
    if (mem == VELM_JAVA_FILE_MARKER)
        return openJavaFile(file, offset, length);
    if (file == nullptr) {
        SetError(VELM_ERROR_ILLPARAM);
        return 0;
    }
    return mem == 0 ? openPath(static_cast<const char *>(file), offset, length)
                    : openMemory(file, offset, length);
}

uint32_t FileOpenURL(const char *url, uint32_t offset, uint32_t flags, VELM_DOWNLOADPROC *proc, void *user,
                     uint32_t addon)
{
    static const char kScheme[] = "file://";
    if (url != nullptr && (strncmp(url, "http://", 7) == 0 || strncmp(url, "https://", 8) == 0)) {
        std::shared_ptr<NetSource> net = NetOpen(url, offset, proc, user);
        if (net == nullptr)
            return 0;
        auto record = std::make_unique<HostFile>();
        record->kind = SourceKind::Net;
        record->net = net;
        record->openOffset = offset;
        record->path.reset(strdup(url));
        return AddFile(std::move(record));
    }
    if (url == nullptr || strncmp(url, kScheme, sizeof kScheme - 1) != 0) {
        SetError(VELM_ERROR_FILEOPEN); // no other schemes are served
        return 0;
    }
    uint32_t handle = FileOpen(0, url + sizeof kScheme - 1, offset, 0, flags, addon);
    HostFile *file = handle != 0 ? FindFile(handle) : nullptr;
    if (file != nullptr) {
        file->download = proc;
        file->downloadUser = user;
    }
    return handle;
}

uint32_t FileOpenUser(uint32_t system, uint32_t, const VELM_FILEPROCS *procs, void *user, uint32_t)
{
    if (system != 0 || procs == nullptr || procs->read == nullptr) {
        SetError(VELM_ERROR_ILLPARAM);
        return 0;
    }
    auto record = std::make_unique<HostFile>();
    record->kind = SourceKind::User;
    record->procs = *procs;
    record->user = user;
    return AddFile(std::move(record));
}

void FileClose(uint32_t handle)
{
    std::unique_ptr<HostFile> file = TakeFile(handle);
    if (file == nullptr) {
        SetError(VELM_ERROR_HANDLE);
        return;
    }
    closeSource(*file);
}

void FileSetStream(uint32_t handle, uint32_t streamHandle)
{
    HostFile *file = FindFile(handle);
    std::shared_ptr<HostStream> stream = FindStream(streamHandle);
    if (file == nullptr || stream == nullptr) {
        SetError(VELM_ERROR_HANDLE);
        return;
    }
    if (stream->file != 0 && stream->file != handle)
        FileClose(stream->file);
    stream->file = handle;
    file->stream = streamHandle;
}

uint32_t FileGetFlags(uint32_t handle)
{
    HostFile *file = findOrFail(handle);
    return file != nullptr && file->kind == SourceKind::Net ? VELM_FILE_STREAMED : 0;
}

int32_t FileRead(uint32_t handle, void *buffer, uint32_t length)
{
    HostFile *file = findOrFail(handle);
    if (file == nullptr)
        return -1;
    if (buffer == nullptr && length != 0) {
        SetError(VELM_ERROR_ILLPARAM);
        return -1;
    }
    length = std::min<uint32_t>(length, INT32_MAX);
    auto *out = static_cast<uint8_t *>(buffer);
    int32_t got;
    if (file->kind == SourceKind::User) {
        uint32_t n = file->procs.read(out, length, file->user);
        if (n > length)
            n = 0; // a failing read (all ones) delivers nothing
        if (n < length)
            file->metEnd = true;
        got = static_cast<int32_t>(n);
    } else if (file->kind == SourceKind::Net) {
        got = NetRead(*file->net, file->pos, out, length, file->stream == 0);
        // Until a stream owns it, a source that failed where the reader has got to says so with
        // a negative count and its error. A stream's reads see a plain end (FileIsEnd) and the
        // stream reports the failure at its end.
        NetState net = NetGetState(*file->net);
        if (got == 0 && length != 0 && file->stream == 0 && net.failure != 0 && net.finished) {
            SetError(net.failure);
            return -1;
        }
    } else {
        got = readWindow(*file, out, length);
    }
    file->pos += static_cast<uint64_t>(got);
    file->readTotal += static_cast<uint64_t>(got);
    if (file->download != nullptr && got > 0) {
        file->download(out, static_cast<uint32_t>(got), file->downloadUser);
    }
    return got;
}

uint32_t FileSeek(uint32_t handle, uint64_t pos)
{
    HostFile *file = findOrFail(handle);
    if (file == nullptr)
        return 0;
    uint64_t end = sourceEnd(*file);
    bool ok = end == kNone || pos <= end;
    if (ok && file->kind == SourceKind::User) {
        ok = file->procs.seek != nullptr && file->procs.seek(pos, file->user) != 0;
    }
    if (ok && file->kind == SourceKind::Net)
        ok = NetSeek(*file->net, pos, file->stream == 0);
    if (!ok) {
        int32_t failure = file->kind == SourceKind::Net ? NetGetState(*file->net).failure : 0;
        SetError(failure != 0 ? failure : VELM_ERROR_POSITION);
        return 0;
    }
    file->pos = pos;
    file->metEnd = false;
    return 1;
}

uint64_t FileGetPosition(uint32_t handle, uint32_t mode)
{
    HostFile *file = findOrFail(handle);
    if (file == nullptr)
        return kNone;
    if (file->kind == SourceKind::Net && mode == 1)
        return NetGetState(*file->net).arrived;
    switch (mode) {
    case 0:
        return file->pos;
    case 1: // complete sources: available up to their end
    case 2:
        return sourceEnd(*file);
    case 3:
        return file->openOffset;
    default:
        return kNone;
    }
}

uint32_t FileIsEnd(uint32_t handle)
{
    HostFile *file = findOrFail(handle);
    if (file == nullptr)
        return 1; // nothing more will come from an unknown file
    if (file->kind == SourceKind::Net) {
        NetState net = NetGetState(*file->net);
        return net.finished && file->pos >= net.arrived ? 1 : 0;
    }
    uint64_t end = sourceEnd(*file);
    return (file->metEnd || (end != kNone && file->pos >= end)) ? 1 : 0;
}

void FileSetBitrate(uint32_t handle, uint32_t bytesPerSecond, uint32_t offset)
{
    HostFile *file = findOrFail(handle);
    if (file == nullptr)
        return;
    file->bitrate = bytesPerSecond;
    file->bitrateOffset = offset;
}

} // namespace velm
