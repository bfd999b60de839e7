/* Decoding a named file on several threads, one segment of the stream each. */
#include "segments.h"

#include <algorithm>
#include <cstring>

#include "cli.h"
#include "velmdsd.h"

namespace cli {

namespace {

/* Output held per segment at most (the rest of a file waits its turn), and per call. */
constexpr uint64_t kMaxSegmentBytes = uint64_t{2} << 20;
constexpr uint64_t kReadBytes = uint64_t{1} << 20;

int ErrorCode()
{
    int code = VELM_ErrorGetCode();
    return code != VELM_OK ? code : VELM_ERROR_UNKNOWN;
}

} // namespace

SegmentDecoder::SegmentDecoder(const SegmentPlan &plan) : plan_(plan)
{
    const unsigned threads = std::max(1u, plan_.threads);
    const uint64_t align = std::max<uint64_t>(1, plan_.alignFrames);
    /* Three segments a thread keep both cores busy to the end; each holds at most
       kMaxSegmentBytes, and starts at a seek point. */
    const uint64_t range = plan_.end > plan_.first ? plan_.end - plan_.first : 0;
    uint64_t size = (range + 3 * threads - 1) / (3 * threads);
    size = std::min(size, std::max<uint64_t>(1, kMaxSegmentBytes / std::max<uint64_t>(1, plan_.frameBytes)));
    size = std::max(align, (size + align - 1) / align * align);
    for (uint64_t at = plan_.first; at < plan_.end || segments_.empty(); at += size) {
        segments_.emplace_back();
        segments_.back().first = at;
        segments_.back().end = std::max(at, std::min(at + size, plan_.end));
        if (at + size >= plan_.end)
            break;
    }
    segments_.back().last = true;
    workerCount_ = std::min<size_t>(threads, segments_.size());
    buffers_.resize(workerCount_ + 1);
    for (size_t i = 0; i < workerCount_; i++)
        workers_.emplace_back(&SegmentDecoder::Work, this);
}

SegmentDecoder::~SegmentDecoder()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread &worker : workers_)
        worker.join();
}

void SegmentDecoder::Work()
{
    for (;;) {
        Segment *segment;
        {
            std::unique_lock<std::mutex> guard(lock_);
            /* Decoded segments wait to be handed out: at most one more than the workers. */
            changed_.wait(guard, [this] {
                return stopping_ || nextToDecode_ >= segments_.size() ||
                       nextToDecode_ <= current_ + workerCount_;
            });
            if (stopping_ || nextToDecode_ >= segments_.size())
                return;
            segment = &segments_[nextToDecode_];
            segment->buffer = &buffers_[nextToDecode_ % buffers_.size()];
            nextToDecode_++;
        }
        Decode(segment);
        {
            std::lock_guard<std::mutex> guard(lock_);
            segment->done = true;
        }
        changed_.notify_all();
    }
}

/* Opens a stream of the segment's own, seeks to its first frame and reads its frames (the
   last segment of a stream read to its end: up to the end signal). */
void SegmentDecoder::Decode(Segment *segment)
{
    const uint32_t h = VELM_DSD_StreamCreateFile(0, plan_.name.c_str(), 0, 0, plan_.flags, plan_.freq);
    if (h == 0) {
        segment->code = ErrorCode();
        return;
    }
    if ((plan_.hasGain && !VELM_ChannelSetAttribute(h, VELM_DSD_ATTRIB_GAIN, plan_.gainDb)) ||
        (segment->first != 0 &&
         !VELM_ChannelSetPosition(h, segment->first * plan_.frameBytes, VELM_POS_BYTE))) {
        segment->code = ErrorCode();
        VELM_StreamFree(h);
        return;
    }
    const bool toEnd = segment->last && plan_.toEnd;
    const uint64_t want = (segment->end - segment->first) * plan_.frameBytes;
    Buffer &buffer = *segment->buffer;
    /* The last segment of the stream reads on to the end signal. */
    const uint64_t room = want + (toEnd ? kReadBytes : 0);
    buffer.Reserve(room);
    uint64_t got = 0;
    for (uint32_t idle = 0; idle < kStallCalls && (toEnd || got < want);) {
        if (buffer.capacity - got < kReadBytes && toEnd)
            buffer.Reserve(2 * buffer.capacity);
        const uint64_t ask = std::min<uint64_t>(buffer.capacity - got, kReadBytes);
        const uint32_t n = VELM_ChannelGetData(h, buffer.data.get() + got, static_cast<uint32_t>(ask));
        if (n == 0xFFFFFFFFu) {
            segment->code = ErrorCode();
            break;
        }
        idle = n == 0 ? idle + 1 : 0;
        got += n;
    }
    if (segment->code == 0 && got < want)
        segment->code = VELM_ERROR_ENDED; /* stalled: the end, as for one thread */
    segment->size = got;
    VELM_StreamFree(h);
}

void SegmentDecoder::Buffer::Reserve(size_t bytes)
{
    if (bytes <= capacity)
        return;
    std::unique_ptr<uint8_t[]> grown = std::make_unique_for_overwrite<uint8_t[]>(bytes);
    if (capacity != 0)
        memcpy(grown.get(), data.get(), capacity);
    data = std::move(grown);
    capacity = bytes;
}

uint32_t SegmentDecoder::Next(const uint8_t **data, uint32_t want, int *code)
{
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        if (current_ >= segments_.size()) {
            *code = VELM_ERROR_ENDED;
            return 0xFFFFFFFFu;
        }
        changed_.wait(guard, [this] { return segments_[current_].done; });
        Segment &segment = segments_[current_];
        if (offset_ < segment.size) {
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(want, segment.size - offset_));
            *data = segment.buffer->data.get() + offset_;
            offset_ += n;
            return n;
        }
        /* Handed out whole: a segment the stream ended in, or one that failed, ends it all. */
        if (segment.code != 0) {
            *code = segment.code;
            return 0xFFFFFFFFu;
        }
        current_++;
        offset_ = 0;
        changed_.notify_all();
    }
}

} // namespace cli
