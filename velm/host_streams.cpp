// host_streams.cpp - streams made by add-ons: creation, pulling data through
// the read procedure, positions, and the channel calls that go through the
// stream's operations table.
#include <string.h>

#include <algorithm>

#include "host_internal.h"

namespace velm {
namespace {

HostStream *findOrFail(uint32_t handle) {
    HostStream *stream = FindStream(handle);
    if (stream == nullptr) SetError(VELM_ERROR_HANDLE);
    return stream;
}

// The stream when it has the operation `entry` (error code cleared for the
// operation to set its own), else null with the error set.
template <typename Entry>
HostStream *withOperation(uint32_t handle, Entry OperationsTable::*entry) {
    HostStream *stream = findOrFail(handle);
    if (stream == nullptr) return nullptr;
    if (stream->ops == nullptr || stream->ops->*entry == nullptr) {
        SetError(VELM_ERROR_NOTAVAIL);
        return nullptr;
    }
    SetError(VELM_OK);
    return stream;
}

}  // namespace

uint32_t CreateStream(uint32_t freq, uint32_t chans, uint32_t flags, StreamReadProc *proc,
                      void *user, const OperationsTable *ops) {
    if (freq == 0 || chans == 0 || proc == nullptr) {
        SetError(VELM_ERROR_ILLPARAM);
        return 0;
    }
    auto stream = std::make_unique<HostStream>();
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
uint64_t GetStreamPosition(uint32_t handle, uint32_t mode) {
    HostStream *stream = findOrFail(handle);
    if (stream == nullptr) return kNone;
    if (mode != 0) {
        SetError(VELM_ERROR_NOTAVAIL);
        return kNone;
    }
    return stream->pulled;
}

// Turns a counter value into the stream's byte position, counted from the
// position the last seek reached.
uint64_t TranslateStreamPosition(uint32_t handle, uint32_t mode, uint64_t value, uint32_t mode2) {
    HostStream *stream = findOrFail(handle);
    if (stream == nullptr) return kNone;
    if (mode != 0 || mode2 != 0) {
        SetError(VELM_ERROR_NOTAVAIL);
        return kNone;
    }
    return stream->seekPos + (value - stream->pulledAtSeek);
}

}  // namespace velm

using namespace velm;

uint32_t VELM_ChannelGetData(uint32_t handle, void *buffer, uint32_t length) {
    HostStream *stream = findOrFail(handle);
    if (stream == nullptr) return UINT32_MAX;
    if (stream->ended) {
        SetError(VELM_ERROR_ENDED);
        return UINT32_MAX;
    }
    if (buffer == nullptr && length != 0) {
        SetError(VELM_ERROR_ILLPARAM);
        return UINT32_MAX;
    }
    auto *out = static_cast<uint8_t *>(buffer);
    uint32_t filled = 0;
    while (filled < length) {
        uint32_t result = stream->proc(handle, out + filled, length - filled, stream->user);
        uint32_t got = std::min(result & ~STREAM_READ_END, length - filled);
        filled += got;
        stream->pulled += got;
        if ((result & STREAM_READ_END) != 0) {
            stream->ended = true;
            break;
        }
        if (got == 0) break;  // nothing more for now
    }
    if (stream->ended && filled == 0) {
        SetError(VELM_ERROR_ENDED);
        return UINT32_MAX;
    }
    SetError(VELM_OK);
    return filled;
}

uint64_t VELM_ChannelGetLength(uint32_t handle, uint32_t mode) {
    HostStream *stream = withOperation(handle, &OperationsTable::getLength);
    return stream != nullptr ? stream->ops->getLength(stream->user, mode) : kNone;
}

uint64_t VELM_ChannelGetPosition(uint32_t handle, uint32_t mode) {
    HostStream *stream = findOrFail(handle);
    if (stream == nullptr) return kNone;
    if (mode != VELM_POS_BYTE) {
        SetError(VELM_ERROR_NOTAVAIL);
        return kNone;
    }
    SetError(VELM_OK);
    return stream->delivered();
}

uint32_t VELM_ChannelSetPosition(uint32_t handle, uint64_t pos, uint32_t mode) {
    HostStream *stream = withOperation(handle, &OperationsTable::canSetPosition);
    if (stream == nullptr) return 0;
    const OperationsTable *ops = stream->ops;
    if (ops->setPosition == nullptr) {
        SetError(VELM_ERROR_NOTAVAIL);
        return 0;
    }
    if (ops->canSetPosition(stream->user, pos, mode) == 0) return 0;  // the add-on set the error
    uint64_t reached = ops->setPosition(stream->user, pos, mode);
    if (reached == kNone) return 0;
    stream->seekPos = reached;
    stream->pulledAtSeek = stream->pulled;
    stream->ended = false;
    SetError(VELM_OK);
    return 1;
}

uint32_t VELM_ChannelGetInfo(uint32_t handle, VELM_CHANNELINFO *info) {
    HostStream *stream = findOrFail(handle);
    if (stream == nullptr) return 0;
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
    if (file != nullptr) info->filename = file->path.get();
    SetError(VELM_OK);
    if (stream->ops != nullptr && stream->ops->getInfo != nullptr) stream->ops->getInfo(stream->user, info);
    return 1;
}

const void *VELM_ChannelGetTags(uint32_t handle, uint32_t type) {
    HostStream *stream = withOperation(handle, &OperationsTable::getTags);
    return stream != nullptr ? stream->ops->getTags(stream->user, type) : nullptr;
}

uint32_t VELM_ChannelGetAttribute(uint32_t handle, uint32_t attrib, float *value) {
    HostStream *stream = withOperation(handle, &OperationsTable::attribute);
    if (stream == nullptr) return 0;
    if (value == nullptr) {
        SetError(VELM_ERROR_ILLPARAM);
        return 0;
    }
    return stream->ops->attribute(stream->user, attrib, value, 0);
}

uint32_t VELM_ChannelSetAttribute(uint32_t handle, uint32_t attrib, float value) {
    HostStream *stream = withOperation(handle, &OperationsTable::attribute);
    return stream != nullptr ? stream->ops->attribute(stream->user, attrib, &value, 1) : 0;
}

uint64_t VELM_StreamGetFilePosition(uint32_t handle, uint32_t mode) {
    HostStream *stream = withOperation(handle, &OperationsTable::getFilePosition);
    return stream != nullptr ? stream->ops->getFilePosition(stream->user, mode) : kNone;
}

uint32_t VELM_StreamFree(uint32_t handle) {
    HostStream *stream = findOrFail(handle);
    if (stream == nullptr) return 0;
    // Release runs while the handle is still valid, then the stream goes.
    if (stream->ops != nullptr && stream->ops->release != nullptr) stream->ops->release(stream->user);
    std::unique_ptr<HostStream> record = TakeStream(handle);
    if (record != nullptr && record->file != 0) FileClose(record->file);
    // After the file: its close procedure may still call into a binding.
    if (record != nullptr) DropJavaBindings(record->javaBindings);
    SetError(VELM_OK);
    return 1;
}
