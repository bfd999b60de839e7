/*
 * The read procedure: stages container data in the work buffer in
 * byte-interleaved order (frame after frame, channel 0 first), or for the
 * designed filter on DSF in one plane per channel, converts it to the
 * stream's output form, keeps what it could not use for the next call, and
 * marks the end of the stream. Byte counts cover all channels either way.
 *
 * Planes: between calls each channel's bytes waiting start at its plane's
 * start. A refill reads each channel's block straight from the host to
 * PlaneLead bytes into its plane (no staging copy; an aligned destination
 * keeps the host's copy on its fast path) and moves the fewer than 25 bytes
 * waiting to just before it; until the rest is moved back to the plane's
 * start, the call's `data` says where the bytes begin.
 */
#include "convert/stream_read.h"

#include <string.h>

#include "convert/dsd_bytes.h"
#include "convert/filter.h"
#include "convert/hq_decimator.h"
#include "convert/kernels.h"
#include "create/dst_source.h"
#include "create/source_read.h"
#include "host/host.h"

enum OutputForm { FORM_RAW, FORM_DOP, FORM_PCM_FLOAT, FORM_PCM_16 };

/* The procedure counts the staged bytes as one signed number: the bytes waiting, or minus the
   bytes still to be dropped. */
static int32_t LoadFill(const DsdStream *s)
{
    return s->staged.waiting != 0 ? static_cast<int32_t>(s->staged.waiting)
                                  : -static_cast<int32_t>(s->staged.drop);
}

static void StoreFill(DsdStream *s, int32_t fill)
{
    s->staged.waiting = fill > 0 ? static_cast<uint32_t>(fill) : 0;
    s->staged.drop = fill < 0 ? static_cast<uint32_t>(-static_cast<int64_t>(fill)) : 0;
}

static OutputForm FormOf(uint32_t flags)
{
    if (flags & DSD_RAW)
        return FORM_RAW;
    if (flags & DSD_DOP)
        return FORM_DOP;
    return (flags & STREAM_FLOAT) ? FORM_PCM_FLOAT : FORM_PCM_16;
}

/* What one call works with: the output form, the bytes one frame needs, and the sound bytes left. */
struct ReadCall {
    OutputForm form;
    uint32_t unitBytes;
    uint32_t minimum;
    int32_t group;
    uint64_t remaining;
    uint8_t *data; /* where the bytes waiting begin: the buffer's start, but for planes right
                      after a refill the first plane's first byte waiting */
};

/* One output sample per channel per frame, the window advancing `ratio` bytes per channel: every
   frame whose window starts at or before fill - minimum, as many as the output still takes. */
static void MovePlanesToFront(DsdStream *s, ReadCall *call, uint64_t drop, int32_t keep);

static uint32_t ProducePcm(DsdStream *s, ReadCall *call, int32_t fill, void *out, uint32_t done,
                           uint32_t want, bool floatOutput, uint64_t *consumed)
{
    const uint32_t minimum = call->minimum;
    const uint64_t frameStep = static_cast<uint64_t>(s->ratio) * s->channels;
    uint64_t frames = (static_cast<uint64_t>(fill) - minimum) / frameStep + 1;
    if (frames > (want - done) / s->channels)
        frames = (want - done) / s->channels;
    *consumed = frames * frameStep;
    if (frames == 0) {
        /* Between calls the planes' bytes start at their start. */
        if (call->data != s->buffer)
            MovePlanesToFront(s, call, 0, fill);
        return done; /* a request of 0 bytes may come with no buffer */
    }
    const ConvertKernels *kernels = s->kernels;
    const uint8_t *in = call->data;
    const PcmLayout layout = s->planeSize != 0 ? PcmLayout{s->planeSize, 1} : PcmLayout{1, s->channels};
    if (floatOutput)
        kernels->pcmFloat(s->filterTables, &s->laneTables, in, layout, s->channels, s->ratio, frames,
                          static_cast<float *>(out) + done);
    else
        kernels->pcmInt16(s->filterTables, &s->laneTables, in, layout, s->channels, s->ratio, frames,
                          static_cast<int16_t *>(out) + done);
    return done + static_cast<uint32_t>(frames) * s->channels;
}

/* Two bytes of one channel under the marker byte: every frame whose bytes start at or before
   fill - minimum, as many as the output still takes. */
static uint32_t ProduceDop(DsdStream *s, int32_t fill, uint32_t minimum, float *out, uint32_t done,
                           uint32_t want, uint64_t *consumed)
{
    const uint64_t frameStep = 2 * static_cast<uint64_t>(s->channels);
    uint64_t frames = (static_cast<uint64_t>(fill) - minimum) / frameStep + 1;
    if (frames > (want - done) / s->channels)
        frames = (want - done) / s->channels;
    *consumed = frames * frameStep;
    if (frames == 0)
        return done;
    s->dopMarker = PackDop(out + done, s->buffer, s->channels, static_cast<uint32_t>(frames), s->dopMarker,
                           s->lsbFirst != 0);
    return done + static_cast<uint32_t>(frames) * s->channels;
}

/* Raw DSD: the buffered bytes themselves, whole frames, oldest bit in bit 7. */
static uint32_t ProduceRaw(const DsdStream *s, int32_t fill, uint8_t *out, uint32_t done, uint32_t want,
                           uint64_t *consumed)
{
    uint32_t n = static_cast<uint32_t>(fill) - static_cast<uint32_t>(fill) % s->channels;
    if (n > want - done)
        n = want - done;
    if (s->lsbFirst)
        ReverseBits(out + done, s->buffer, n);
    else if (n != 0)
        memcpy(out + done, s->buffer, n); /* a request of 0 bytes may come with no buffer */
    *consumed = n;
    return done + n;
}

/* DSDIFF: what is left of the data, up to one group, straight after the bytes waiting. Returns
   the signed count the host gave, at most what was asked. */
static int32_t RefillDff(DsdStream *s, ReadCall *call, int32_t fill, uint32_t n)
{
    uint8_t *dest = s->buffer + (fill > 0 ? fill : 0);
    int32_t r = ReadCountAtMost(hostFunctions->FileRead(s->file, dest, n), n);
    /* A negative count drops bytes of the next refill; dropping more than one
       refill can bring would let the count run away. */
    if (r < 0 && fill + r < -call->group)
        r = 0;
    call->remaining -= static_cast<uint64_t>(static_cast<int64_t>(r));
    return r;
}

/* Planes: bytes `part` to part + n of the block group, each channel's share read straight to its
   block's place in its plane, until a read brings less than asked. Returns the bytes read. */
static int32_t ReadIntoPlanes(DsdStream *s, int32_t part, uint32_t n)
{
    const uint32_t lead = PlaneLead(s->blockSize);
    uint32_t got = 0;
    while (got < n) {
        const uint32_t at = static_cast<uint32_t>(part) + got;
        const uint32_t c = at / s->blockSize, offset = at % s->blockSize;
        const uint32_t piece = s->blockSize - offset < n - got ? s->blockSize - offset : n - got;
        uint8_t *dest = s->buffer + static_cast<size_t>(c) * s->planeSize + lead + offset;
        const int32_t r = ReadCountAtMost(hostFunctions->FileRead(s->file, dest, piece), piece);
        if (r <= 0)
            break;
        got += static_cast<uint32_t>(r);
        if (static_cast<uint32_t>(r) < piece)
            break;
    }
    return static_cast<int32_t>(got);
}

/* DSF: counts the `got` bytes read after the `part` ones already staged; false while the group
   is incomplete (at the end of the file it is dropped). */
static inline bool GroupComplete(DsdStream *s, ReadCall *call, int32_t part, int32_t got)
{
    call->remaining -= static_cast<uint32_t>(got);
    if (part + got < call->group) {
        if (hostFunctions->FileIsEnd(s->file))
            call->remaining = 0;
        else
            s->partialFill = part + got;
        return false;
    }
    s->partialFill = 0;
    return true;
}

/* Planes: reads each channel's block into its plane and moves its fewer than 25 bytes waiting
   to end where the block begins. Out of line: the other forms' refills stay as lean as before. */
__attribute__((noinline)) static bool RefillPlanes(DsdStream *s, ReadCall *call, int32_t fill, uint32_t n)
{
    const int32_t part = s->partialFill;
    if (!GroupComplete(s, call, part, ReadIntoPlanes(s, part, n)))
        return false;
    const uint32_t waiting = fill > 0 ? static_cast<uint32_t>(fill) : 0;
    const uint32_t perChannel = waiting / s->channels, start = PlaneLead(s->blockSize) - perChannel;
    if (perChannel != 0)
        for (uint32_t c = 0; c < s->channels; c++) {
            uint8_t *plane = s->buffer + static_cast<size_t>(c) * s->planeSize;
            memmove(plane + start, plane, perChannel);
        }
    call->data = s->buffer + start;
    return true;
}

/* DSF: completes the block group in the staging area and de-interleaves it after the bytes
   waiting (planar: RefillPlanes). False while the group is incomplete. */
static bool RefillDsf(DsdStream *s, ReadCall *call, int32_t fill, uint32_t n)
{
    if (s->planeSize != 0)
        return RefillPlanes(s, call, fill, n);
    const int32_t part = s->partialFill;
    uint8_t *staging = s->buffer + call->minimum + call->group;
    /* A negative count would move the staging point before the staging area. */
    int32_t got = ReadCountAtMost(hostFunctions->FileRead(s->file, staging + part, n), n);
    if (got < 0)
        got = 0;
    if (!GroupComplete(s, call, part, got))
        return false;
    const uint32_t waiting = fill > 0 ? static_cast<uint32_t>(fill) : 0;
    Deinterleave(s->buffer + waiting, staging, s->blockSize, s->channels);
    return true;
}

/* Planes: moves each channel's share of the `keep` bytes after the first `drop` ones to its plane's
   start, from where the call's `data` says they begin. */
__attribute__((noinline)) static void MovePlanesToFront(DsdStream *s, ReadCall *call, uint64_t drop,
                                                        int32_t keep)
{
    for (uint32_t c = 0; c < s->channels; c++) {
        uint8_t *plane = s->buffer + static_cast<size_t>(c) * s->planeSize;
        memmove(plane, plane + (call->data - s->buffer) + drop / s->channels,
                static_cast<size_t>(keep) / s->channels);
    }
    call->data = s->buffer;
}

/* Moves the `keep` bytes after the first `drop` ones to the buffer's start (planar: the share of
   each channel to its plane's start). */
static inline void MoveToFront(DsdStream *s, ReadCall *call, uint64_t drop, int32_t keep)
{
    if (s->planeSize == 0) {
        memmove(s->buffer, s->buffer + drop, static_cast<size_t>(keep));
        return;
    }
    MovePlanesToFront(s, call, drop, keep);
}

/* DST: decodes frames after the bytes waiting, at least one and until a frame can be produced,
   as long as the buffer has room for another. The decoded bytes are DSDIFF's, dropped and kept
   as a plain DSDIFF refill's are. False, the bytes waiting kept, when no frame came. */
static bool RefillDst(DsdStream *s, ReadCall *call, int32_t *fill)
{
    DstSource *dst = s->dst;
    const int32_t frameBytes = static_cast<int32_t>(dst->frameBytes);
    int32_t f = *fill;
    bool decoded = false;
    while (!decoded || f < static_cast<int32_t>(call->minimum)) {
        const int32_t waiting = f > 0 ? f : 0;
        if (static_cast<int64_t>(s->bufferSize) - waiting < frameBytes)
            break;
        const enum DstRead read = DstReadFrame(dst, s->file, s->buffer + waiting);
        if (read != DST_READ_FRAME) {
            if (read == DST_READ_END)
                call->remaining = 0;
            break;
        }
        decoded = true;
        const int32_t before = f;
        f = before + frameBytes;
        if (before < 0 && f > 0)
            MoveToFront(s, call, static_cast<uint64_t>(-static_cast<int64_t>(before)), f);
        call->remaining = dst->frames - dst->next;
    }
    if (!decoded || f < static_cast<int32_t>(call->minimum)) {
        StoreFill(s, f);
        return false;
    }
    *fill = f;
    return true;
}

/*
 * Refills the buffer with one block group, for DSDIFF what is left of the data, or decoded DST
 * frames. True when a frame can then be produced from the *fill bytes waiting; false when the
 * call must finish.
 */
static bool Refill(DsdStream *s, ReadCall *call, int32_t *fill)
{
    if (s->dst != nullptr)
        return RefillDst(s, call, fill);
    const int32_t before = *fill;
    /* A DSF group already partly staged needs only its missing bytes from the file. */
    uint32_t n = static_cast<uint32_t>(call->group - (s->isDff ? 0 : s->partialFill));
    if (call->remaining < n) {
        if (!s->isDff) {
            call->remaining = 0; /* a rest shorter than a block group is not read */
            return false;
        }
        n = static_cast<uint32_t>(call->remaining);
    }
    /* The DSDIFF buffer is sized by the data: a file position before the data must not
       make a read overrun it. */
    const uint32_t room = s->bufferSize - static_cast<uint32_t>(before > 0 ? before : 0);
    if (s->isDff && n > room)
        n = room;
    int32_t r;
    if (s->isDff) {
        r = RefillDff(s, call, before, n);
    } else {
        if (!RefillDsf(s, call, before, n))
            return false;
        r = call->group;
    }
    if (call->remaining == 0)
        r -= static_cast<int32_t>(s->tailPad * s->channels); /* each channel's last block padding */
    int32_t newFill = before + r;
    if (newFill > 0 && before < 0)
        MoveToFront(s, call, static_cast<uint64_t>(-static_cast<int64_t>(before)), newFill);
    if (newFill < static_cast<int32_t>(call->minimum)) {
        /* Between calls the planes' bytes start at their start. */
        if (newFill > 0 && call->data != s->buffer)
            MovePlanesToFront(s, call, 0, newFill);
        StoreFill(s, newFill);
        if (hostFunctions->FileIsEnd(s->file))
            call->remaining = 0;
        return false;
    }
    *fill = newFill;
    return true;
}

/* Keeps the bytes after the `consumed` ones at the buffer's start. consumed may pass fill when
   the window steps beyond the buffered bytes: the negative rest is dropped from the next refill. */
static void KeepRest(DsdStream *s, ReadCall *call, int32_t fill, uint64_t consumed)
{
    int32_t rest = static_cast<int32_t>(static_cast<int64_t>(fill) - static_cast<int64_t>(consumed));
    StoreFill(s, rest);
    if (rest > 0 && consumed != 0)
        MoveToFront(s, call, consumed, rest);
}

/* Converts from the `fill` bytes waiting and keeps what was not used at the buffer's start. */
static uint32_t Produce(DsdStream *s, ReadCall *call, int32_t fill, void *out, uint32_t done, uint32_t want)
{
    uint64_t consumed;
    switch (call->form) {
    case FORM_RAW:
        done = ProduceRaw(s, fill, static_cast<uint8_t *>(out), done, want, &consumed);
        break;
    case FORM_DOP:
        done = ProduceDop(s, fill, call->minimum, static_cast<float *>(out), done, want, &consumed);
        break;
    default:
        done = ProducePcm(s, call, fill, out, done, want, call->form == FORM_PCM_FLOAT, &consumed);
        break;
    }
    KeepRest(s, call, fill, consumed);
    return done;
}

static ReadCall StartCall(const DsdStream *s)
{
    ReadCall call;
    call.form = FormOf(s->flags);
    call.data = s->buffer;
    switch (call.form) {
    case FORM_RAW:
        call.unitBytes = 1;
        call.minimum = s->channels;
        break;
    case FORM_DOP:
        call.unitBytes = 4;
        call.minimum = 2 * s->channels;
        break;
    case FORM_PCM_FLOAT:
        call.unitBytes = 4;
        call.minimum = FILTER_GROUPS * s->channels;
        break;
    default:
        call.unitBytes = 2;
        call.minimum = FILTER_GROUPS * s->channels;
        break;
    }
    if (s->hq != nullptr)
        call.minimum = s->hq->firstBytes * s->channels; /* one first-stage window */
    call.group = static_cast<int32_t>(s->blockSize * s->channels);
    /* An unknown read position (all ones) or one past the data's end leaves no sound to read:
       a count wrapped from it would play what follows the data, the last group's padding first. */
    if (s->dst != nullptr) {
        /* DST: the frames still to decode, as far as the chunk goes on. */
        const DstSource *dst = s->dst;
        call.remaining = dst->next < dst->frames && dst->position < dst->end ? dst->frames - dst->next : 0;
        return call;
    }
    const uint64_t position = hostFunctions->FileGetPosition(s->file, 0);
    if (position == POSITION_NONE || (position > s->dataOffset && position - s->dataOffset >= s->dataSize))
        call.remaining = 0;
    else
        call.remaining = s->dataOffset + s->dataSize - position;
    return call;
}

/* The high-quality converter, from the `fill` bytes waiting; keeps what it still needs. */
static uint32_t ProduceHq(DsdStream *s, ReadCall *call, int32_t fill, void *out, uint32_t done, uint32_t want,
                          bool ended)
{
    uint64_t consumed;
    done = HqProduce(s, fill, out, done, want, call->form == FORM_PCM_FLOAT, ended, &consumed);
    KeepRest(s, call, fill, consumed);
    return done;
}

/*
 * The high-quality converter reads ahead of the samples it delivers: when the data has
 * ended, the samples still owed (one per `ratio` bytes of data) come from the bytes
 * waiting and silence after them.
 */
static uint32_t StreamReadHq(uint32_t handle, DsdStream *s, ReadCall *call, void *out, uint32_t want)
{
    HqState *hq = s->hq;
    uint32_t done = 0;
    while (hq->endOut == HQ_END_UNKNOWN) {
        done = ProduceHq(s, call, LoadFill(s), out, done, want, false);
        if (want - done < s->channels)
            break;
        int32_t fill = LoadFill(s);
        if (!Refill(s, call, &fill)) {
            if (call->remaining == 0 && LoadFill(s) < static_cast<int32_t>(call->minimum)) {
                /* Floor division: a negative count is bytes still to be dropped. */
                int64_t waiting = LoadFill(s);
                int64_t perChannel =
                    waiting >= 0 ? waiting / s->channels : -((-waiting + s->channels - 1) / s->channels);
                int64_t end = static_cast<int64_t>(hq->inPos) + perChannel;
                hq->endOut = HqSamples(end > 0 ? static_cast<uint64_t>(end) : 0, s->ratio);
            }
            break;
        }
        StoreFill(s, fill);
    }
    if (hq->endOut != HQ_END_UNKNOWN)
        done = ProduceHq(s, call, LoadFill(s), out, done, want, true);

    uint32_t bytes = done * call->unitBytes;
    if (HqFinished(hq)) {
        const HostFunctions *host = hostFunctions;
        uint64_t delivered = host->TranslateStreamPosition(handle, 0, host->GetStreamPosition(handle, 0), 0);
        s->length = delivered + bytes;
        return bytes | STREAM_READ_END;
    }
    return bytes;
}

uint32_t StreamRead(uint32_t handle, void *out, uint32_t length, void *user)
{
    DsdStream *s = static_cast<DsdStream *>(user);
    ReadCall call = StartCall(s);
    /* Whole frames only: a torn frame would shift every later channel. */
    uint32_t want = length / call.unitBytes;
    want -= want % s->channels;
    if (s->hq != nullptr)
        return StreamReadHq(handle, s, &call, out, want);

    uint32_t done = 0;
    for (;;) {
        int32_t fill = LoadFill(s);
        if (fill < static_cast<int32_t>(call.minimum) && !Refill(s, &call, &fill))
            break;
        done = Produce(s, &call, fill, out, done, want);
        if (done >= want || call.remaining == 0)
            break;
    }

    uint32_t bytes = done * call.unitBytes;
    if (call.remaining == 0 && LoadFill(s) < static_cast<int32_t>(call.minimum)) {
        const HostFunctions *host = hostFunctions;
        uint64_t delivered = host->TranslateStreamPosition(handle, 0, host->GetStreamPosition(handle, 0), 0);
        s->length = delivered + bytes;
        return bytes | STREAM_READ_END;
    }
    return bytes;
}
