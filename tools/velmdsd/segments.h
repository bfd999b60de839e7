/* segments.h - decoding a named file on several threads, one segment of the stream each. */
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cli {

/* What every segment's stream is opened with. */
struct SegmentPlan {
    std::string name; /* a named local file */
    uint32_t flags = 0;
    uint32_t freq = 0;
    bool hasGain = false;
    float gainDb = 0.0f;
    uint64_t frameBytes = 0;  /* stream bytes of one frame */
    uint64_t first = 0;       /* first frame, a seek point */
    uint64_t end = 0;         /* frame after the last */
    bool toEnd = false;       /* the last segment reads up to the end of the stream */
    uint64_t alignFrames = 1; /* segments start at multiples of this many frames (seek points) */
    unsigned threads = 2;
};

/*
 * Decodes frames first to end of a stream in segments that start at seek points, each on a
 * stream of its own opened, seeked and read by one of the worker threads, and hands the
 * bytes out in order. A seek point is where a seek gives what a decode from the start gives
 * there, so the bytes are those of one stream read from `first`. At most a few segments are
 * held at a time.
 */
class SegmentDecoder {
public:
    explicit SegmentDecoder(const SegmentPlan &plan);
    ~SegmentDecoder();
    SegmentDecoder(const SegmentDecoder &) = delete;
    SegmentDecoder &operator=(const SegmentDecoder &) = delete;

    /* The next bytes, at most `want`, at *data (valid until the next call); 0xFFFFFFFF with
       *code VELM_ERROR_ENDED at the end, or another host error code on a failure. */
    uint32_t Next(const uint8_t **data, uint32_t want, int *code);

    size_t SegmentCount() const { return segments_.size(); }

private:
    /* Bytes of a segment, left uninitialised until decoded into. */
    struct Buffer {
        std::unique_ptr<uint8_t[]> data;
        size_t capacity = 0;
        void Reserve(size_t bytes);
    };
    struct Segment {
        uint64_t first = 0, end = 0;
        bool last = false;
        bool done = false;
        int code = 0; /* 0, VELM_ERROR_ENDED when the stream ended in it, or a failure */
        size_t size = 0;
        Buffer *buffer = nullptr;
    };

    void Work();
    void Decode(Segment *segment);

    SegmentPlan plan_;
    std::vector<Segment> segments_;
    std::mutex lock_;
    std::condition_variable changed_;
    size_t nextToDecode_ = 0;
    size_t current_ = 0; /* the segment being handed out */
    size_t offset_ = 0;  /* bytes of it handed out */
    bool stopping_ = false;
    size_t workerCount_ = 0;
    /* Segment i decodes into buffer i mod their count: only segments current_ to current_ +
       workerCount_ hold bytes at a time, so one more buffer than workers serves them all. */
    std::vector<Buffer> buffers_;
    std::vector<std::thread> workers_;
};

} // namespace cli
