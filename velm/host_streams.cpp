// host_streams.cpp - streams made by add-ons: creation, pulling data through
// the read procedure, positions, and the channel calls that go through the
// stream's operations table.
#include <string.h>

#include <algorithm>

#include "host_internal.h"

namespace velm {
namespace {

// A stream found for a call into its add-on, with its lock held; empty, with
// the error set, when the handle is unknown or the stream is being freed.
struct LockedStream {
    std::shared_ptr<HostStream> stream;
    std::unique_lock<std::mutex> guard;

    HostStream *operator->() const { return stream.get(); }
    explicit operator bool() const { return stream != nullptr; }
};

LockedStream lockStream(uint32_t handle)
{
    LockedStream locked{FindStream(handle), {}};
    if (locked.stream != nullptr) {
        locked.guard = std::unique_lock<std::mutex>(locked.stream->lock);
        if (!locked.stream->freed)
            return locked;
    }
    SetError(VELM_ERROR_HANDLE);
    return LockedStream{};
}

// The locked stream when it has the operation `entry` (error code cleared for
// the operation to set its own), else empty with the error set.
template <typename Entry> LockedStream withOperation(uint32_t handle, Entry OperationsTable::*entry)
{
    LockedStream stream = lockStream(handle);
    if (!stream)
        return stream;
    if (stream->ops == nullptr || stream->ops->*entry == nullptr) {
        SetError(VELM_ERROR_NOTAVAIL);
        return LockedStream{};
    }
    SetError(VELM_OK);
    return stream;
}

// Stream lookups from inside the add-on's calls, which hold the stream's lock.
std::shared_ptr<HostStream> findOrFail(uint32_t handle)
{
    std::shared_ptr<HostStream> stream = FindStream(handle);
    if (stream == nullptr)
        SetError(VELM_ERROR_HANDLE);
    return stream;
}

} // namespace

uint32_t CreateStream(uint32_t freq, uint32_t chans, uint32_t flags, StreamReadProc *proc, void *user,
                      const OperationsTable *ops)
{
    if (freq == 0 || chans == 0 || proc == nullptr) {
        SetError(VELM_ERROR_ILLPARAM);
        return 0;
    }
    auto stream = std::make_shared<HostStream>();
    stream->freq = freq;
    stream->chans = chans;
    stream->flags = flags;
    stream->proc = proc;
    stream->user = user;
    stream->ops = ops;
    stream->plugin = CreatingPlugin();
    return AddStream(std::move(stream));
}

// The host's own counter: bytes pulled over the stream's life, seeks ignored.
uint64_t GetStreamPosition(uint32_t handle, uint32_t mode)
{
    std::shared_ptr<HostStream> stream = findOrFail(handle);
    if (stream == nullptr)
        return kNone;
    if (mode != 0) {
        SetError(VELM_ERROR_NOTAVAIL);
        return kNone;
    }
    return stream->pulled;
}

// Turns a counter value into the stream's byte position, counted from the
// position the last seek reached.
uint64_t TranslateStreamPosition(uint32_t handle, uint32_t mode, uint64_t value, uint32_t mode2)
{
    std::shared_ptr<HostStream> stream = findOrFail(handle);
    if (stream == nullptr)
        return kNone;
    if (mode != 0 || mode2 != 0) {
        SetError(VELM_ERROR_NOTAVAIL);
        return kNone;
    }
    return stream->seekPos + (value - stream->pulledAtSeek);
}

} // namespace velm

using namespace velm;

uint32_t VELM_ChannelGetData(uint32_t handle, void *buffer, uint32_t length)
{
    LockedStream stream = lockStream(handle);
    if (!stream)
        return UINT32_MAX;
    if (stream->ended) {
        SetError(stream->endCode);
        return UINT32_MAX;
    }
    if (buffer == nullptr && length != 0) {
        SetError(VELM_ERROR_ILLPARAM);
        return UINT32_MAX;
    }
    HostFile *file = stream->file != 0 ? FindFile(stream->file) : nullptr;
    std::shared_ptr<NetSource> net = file != nullptr ? file->net : nullptr;
    bool waits = net != nullptr && (stream->flags & VELM_STREAM_DECODE) != 0;
    std::chrono::steady_clock::time_point deadline{};
    auto *out = static_cast<uint8_t *>(buffer);
    uint32_t filled = 0;
    while (filled < length) {
        uint64_t readBefore = file != nullptr ? file->readTotal : 0;
        NetState before = net != nullptr ? NetGetState(*net) : NetState{0, kNone, true, false, 0};
        uint32_t result = stream->proc(handle, out + filled, length - filled, stream->user);
        uint32_t got = std::min(result & ~VELM_STREAMPROC_END, length - filled);
        filled += got;
        stream->pulled += got;
        if ((result & VELM_STREAMPROC_END) != 0) {
            stream->ended = true;
            // An end where a failed source ran out is that failure, not the stream's end.
            NetState after = net != nullptr ? NetGetState(*net) : NetState{0, kNone, true, false, 0};
            stream->endCode =
                after.failure != 0 && file->pos >= after.arrived ? after.failure : VELM_ERROR_ENDED;
            break;
        }
        // Only the end bit ends a stream: a call that gave nothing but moved
        // on in its source (a block too small for one output frame) is
        // followed by another.
        if (got != 0 || (file != nullptr && file->readTotal != readBefore))
            continue;
        // Nothing came from the source. A decoding stream waits for more of a
        // source that still arrives, without its lock, up to the time-out.
        if (!waits || before.finished)
            break;
        if (deadline == std::chrono::steady_clock::time_point{}) {
            deadline = std::chrono::steady_clock::now() + NetTimeout();
        }
        stream.guard.unlock();
        bool more = NetWaitForMore(*net, before.arrived, deadline);
        stream.guard.lock();
        if (stream->freed) {
            SetError(VELM_ERROR_HANDLE);
            return UINT32_MAX;
        }
        if (!more) {
            // The call waited the time-out for its source: that times the source out, and the
            // stream ends once what did arrive has been used.
            NetTimeOut(*net);
            deadline = std::chrono::steady_clock::now() + NetTimeout();
        }
    }
    if (stream->ended && filled == 0) {
        SetError(stream->endCode);
        return UINT32_MAX;
    }
    SetError(VELM_OK);
    return filled;
}

uint64_t VELM_ChannelGetLength(uint32_t handle, uint32_t mode)
{
    LockedStream stream = withOperation(handle, &OperationsTable::getLength);
    return stream ? stream->ops->getLength(stream->user, mode) : kNone;
}

uint64_t VELM_ChannelGetPosition(uint32_t handle, uint32_t mode)
{
    LockedStream stream = lockStream(handle);
    if (!stream)
        return kNone;
    if (mode != VELM_POS_BYTE) {
        SetError(VELM_ERROR_NOTAVAIL);
        return kNone;
    }
    SetError(VELM_OK);
    return stream->delivered();
}

uint32_t VELM_ChannelSetPosition(uint32_t handle, uint64_t pos, uint32_t mode)
{
    LockedStream stream = withOperation(handle, &OperationsTable::canSetPosition);
    if (!stream)
        return 0;
    const OperationsTable *ops = stream->ops;
    if (ops->setPosition == nullptr) {
        SetError(VELM_ERROR_NOTAVAIL);
        return 0;
    }
    if (ops->canSetPosition(stream->user, pos, mode) == 0)
        return 0; // the add-on set the error
    uint64_t reached = ops->setPosition(stream->user, pos, mode);
    if (reached == kNone)
        return 0;
    stream->seekPos = reached;
    stream->pulledAtSeek = stream->pulled;
    stream->ended = false;
    stream->endCode = VELM_ERROR_ENDED;
    SetError(VELM_OK);
    return 1;
}

uint32_t VELM_ChannelGetInfo(uint32_t handle, VELM_CHANNELINFO *info)
{
    LockedStream stream = lockStream(handle);
    if (!stream)
        return 0;
    if (info == nullptr) {
        SetError(VELM_ERROR_ILLPARAM);
        return 0;
    }
    memset(info, 0, sizeof *info);
    info->freq = stream->freq;
    info->chans = stream->chans;
    info->flags = stream->flags;
    info->plugin = stream->plugin;
    HostFile *file = stream->file != 0 ? FindFile(stream->file) : nullptr;
    if (file != nullptr)
        info->filename = file->path.get();
    SetError(VELM_OK);
    if (stream->ops != nullptr && stream->ops->getInfo != nullptr)
        stream->ops->getInfo(stream->user, info);
    return 1;
}

const void *VELM_ChannelGetTags(uint32_t handle, uint32_t type)
{
    LockedStream stream = withOperation(handle, &OperationsTable::getTags);
    return stream ? stream->ops->getTags(stream->user, type) : nullptr;
}

uint32_t VELM_ChannelGetAttribute(uint32_t handle, uint32_t attrib, float *value)
{
    LockedStream stream = withOperation(handle, &OperationsTable::attribute);
    if (!stream)
        return 0;
    if (value == nullptr) {
        SetError(VELM_ERROR_ILLPARAM);
        return 0;
    }
    return stream->ops->attribute(stream->user, attrib, value, 0);
}

uint32_t VELM_ChannelSetAttribute(uint32_t handle, uint32_t attrib, float value)
{
    LockedStream stream = withOperation(handle, &OperationsTable::attribute);
    return stream ? stream->ops->attribute(stream->user, attrib, &value, 1) : 0;
}

uint64_t VELM_StreamGetFilePosition(uint32_t handle, uint32_t mode)
{
    LockedStream stream = withOperation(handle, &OperationsTable::getFilePosition);
    return stream ? stream->ops->getFilePosition(stream->user, mode) : kNone;
}

uint32_t VELM_StreamGetBitrate(uint32_t handle, uint32_t *offset)
{
    LockedStream stream = lockStream(handle);
    if (!stream)
        return 0;
    HostFile *file = stream->file != 0 ? FindFile(stream->file) : nullptr;
    if (file == nullptr || file->bitrate == 0) {
        SetError(VELM_ERROR_NOTAVAIL);
        return 0;
    }
    if (offset != nullptr)
        *offset = file->bitrateOffset;
    SetError(VELM_OK);
    return file->bitrate;
}

uint32_t VELM_StreamFree(uint32_t handle)
{
    LockedStream stream = lockStream(handle);
    if (!stream)
        return 0;
    // Release runs while the handle is still valid; calls waiting for data
    // on another thread see `freed` when they wake, and the stream goes.
    stream->freed = true;
    if (stream->ops != nullptr && stream->ops->release != nullptr)
        stream->ops->release(stream->user);
    stream.guard.unlock();
    TakeStream(handle);
    if (stream->file != 0)
        FileClose(stream->file);
    // After the file: its close procedure may still call into a binding.
    DropJavaBindings(stream->javaBindings);
    SetError(VELM_OK);
    return 1;
}
