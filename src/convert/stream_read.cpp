/*
 * The read procedure: stages container data in the work buffer in
 * byte-interleaved order (frame after frame, channel 0 first), converts it to
 * the stream's output form, keeps what it could not use for the next call,
 * and marks the end of the stream.
 */
#include "convert/stream_read.h"

#include <string.h>

#include "convert/filter.h"
#include "create/source_read.h"
#include "host/host.h"

enum OutputForm { FORM_RAW, FORM_DOP, FORM_PCM_FLOAT, FORM_PCM_16 };

static OutputForm FormOf(uint32_t flags)
{
    if (flags & DSD_RAW)
        return FORM_RAW;
    if (flags & DSD_DOP)
        return FORM_DOP;
    return (flags & STREAM_FLOAT) ? FORM_PCM_FLOAT : FORM_PCM_16;
}

/* A DSF block group holds blockSize bytes of each channel in turn; interleave it frame by frame. */
static void Deinterleave(uint8_t *dest, const uint8_t *staging, uint32_t blockSize, uint32_t channels)
{
    if (channels == 2) {
        const uint8_t *left = staging;
        const uint8_t *right = staging + blockSize;
        for (uint32_t i = 0; i < blockSize; i++) {
            dest[2 * i] = left[i];
            dest[2 * i + 1] = right[i];
        }
        return;
    }
    for (uint32_t ch = 0; ch < channels; ch++) {
        const uint8_t *block = staging + static_cast<size_t>(ch) * blockSize;
        uint8_t *d = dest + ch;
        for (uint32_t i = 0; i < blockSize; i++, d += channels)
            *d = block[i];
    }
}

/* One output sample per channel per frame, the window advancing `ratio` bytes per channel. */
static uint32_t ProducePcm(DsdStream *s, int32_t fill, uint32_t minimum, void *out, uint32_t done,
                           uint32_t want, bool floatOutput, uint64_t *consumed)
{
    const uint64_t channels = s->channels;
    const uint64_t frameStep = (static_cast<uint64_t>(s->ratio) - 1) * channels;
    const uint64_t limit = static_cast<uint64_t>(fill) - minimum;
    const uint8_t *buf = s->buffer;
    float *outFloat = static_cast<float *>(out);
    int16_t *out16 = static_cast<int16_t *>(out);
    uint64_t pos = 0;
    uint64_t ch = 0;
    while (done < want) {
        const uint8_t *window = buf + pos;
        float acc = 0.0f;
        for (int g = 0; g < FILTER_GROUPS; g++)
            acc += s->filterTables[g][window[g * channels]];
        if (floatOutput)
            outFloat[done] = acc;
        else
            out16[done] = PcmToInt16(acc);
        done++;
        pos++;
        if (++ch == channels) {
            pos += frameStep;
            ch = 0;
            if (pos > limit)
                break;
        }
    }
    *consumed = pos;
    return done;
}

/* Two bytes of one channel under the marker byte, as a 24-bit word in a float. */
static uint32_t ProduceDop(DsdStream *s, int32_t fill, uint32_t minimum, float *out, uint32_t done,
                           uint32_t want, uint64_t *consumed)
{
    const uint32_t channels = s->channels;
    const uint64_t limit = static_cast<uint64_t>(fill) - minimum;
    const uint8_t *buf = s->buffer;
    uint64_t pos = 0;
    uint32_t ch = 0;
    while (done < want) {
        uint32_t a = buf[pos];
        uint32_t b = buf[pos + channels];
        if (s->lsbFirst) {
            a = bitReverse[a];
            b = bitReverse[b];
        }
        int32_t word = static_cast<int32_t>(s->dopMarker | (a << 8) | b);
        out[done] = static_cast<float>(word) * 0x1p-23f;
        done++;
        pos++;
        if (++ch == channels) {
            s->dopMarker ^= 0xFFFF0000u;
            pos += channels;
            ch = 0;
            if (pos > limit)
                break;
        }
    }
    *consumed = pos;
    return done;
}

/* Raw DSD: the buffered bytes themselves, whole frames, oldest bit in bit 7. */
static uint32_t ProduceRaw(const DsdStream *s, int32_t fill, uint8_t *out, uint32_t done, uint32_t want,
                           uint64_t *consumed)
{
    uint32_t n = static_cast<uint32_t>(fill) - static_cast<uint32_t>(fill) % s->channels;
    if (n > want - done)
        n = want - done;
    uint8_t *o = out + done;
    if (s->lsbFirst) {
        for (uint32_t i = 0; i < n; i++)
            o[i] = bitReverse[s->buffer[i]];
    } else if (n != 0) {
        memcpy(o, s->buffer, n); /* a request of 0 bytes may come with no buffer */
    }
    *consumed = n;
    return done + n;
}

/* What one call works with: the output form, the bytes one frame needs, and the sound bytes left. */
struct ReadCall {
    OutputForm form;
    uint32_t unitBytes;
    uint32_t minimum;
    int32_t group;
    uint64_t remaining;
};

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

/* DSF: completes the block group in the staging area and de-interleaves it after the bytes
   waiting. False while the group is incomplete: at the end of the file it is dropped. */
static bool RefillDsf(DsdStream *s, ReadCall *call, int32_t fill, uint32_t n)
{
    const int32_t part = s->partialFill;
    uint8_t *staging = s->buffer + call->minimum + call->group;
    /* A negative count would move the staging point before the staging area. */
    int32_t got = ReadCountAtMost(hostFunctions->FileRead(s->file, staging + part, n), n);
    if (got < 0)
        got = 0;
    call->remaining -= static_cast<uint32_t>(got);
    if (part + got < call->group) {
        if (hostFunctions->FileIsEnd(s->file))
            call->remaining = 0;
        else
            s->partialFill = part + got;
        return false;
    }
    s->partialFill = 0;
    Deinterleave(s->buffer + (fill > 0 ? fill : 0), staging, s->blockSize, s->channels);
    return true;
}

/*
 * Refills the buffer with one block group, or for DSDIFF what is left of the data. True when
 * a frame can then be produced from the *fill bytes waiting; false when the call must finish.
 */
static bool Refill(DsdStream *s, ReadCall *call, int32_t *fill)
{
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
        memmove(s->buffer, s->buffer - before, static_cast<size_t>(newFill));
    if (newFill < static_cast<int32_t>(call->minimum)) {
        s->bufferFill = newFill;
        if (hostFunctions->FileIsEnd(s->file))
            call->remaining = 0;
        return false;
    }
    *fill = newFill;
    return true;
}

/* Converts from the `fill` bytes waiting and keeps what was not used at the buffer's start. */
static uint32_t Produce(DsdStream *s, const ReadCall *call, int32_t fill, void *out, uint32_t done, uint32_t want)
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
        done = ProducePcm(s, fill, call->minimum, out, done, want, call->form == FORM_PCM_FLOAT, &consumed);
        break;
    }
    /* consumed may pass fill when the window steps beyond the buffered bytes: the
       negative rest is dropped from the next refill. */
    int32_t rest = static_cast<int32_t>(static_cast<int64_t>(fill) - static_cast<int64_t>(consumed));
    s->bufferFill = rest;
    if (rest > 0)
        memmove(s->buffer, s->buffer + consumed, static_cast<size_t>(rest));
    return done;
}

static ReadCall StartCall(const DsdStream *s)
{
    ReadCall call;
    call.form = FormOf(s->flags);
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
    call.group = static_cast<int32_t>(s->blockSize * s->channels);
    call.remaining = s->dataOffset + s->dataSize - hostFunctions->FileGetPosition(s->file, 0);
    return call;
}

uint32_t StreamRead(uint32_t handle, void *out, uint32_t length, void *user)
{
    DsdStream *s = static_cast<DsdStream *>(user);
    ReadCall call = StartCall(s);
    /* Whole frames only: a torn frame would shift every later channel. */
    uint32_t want = length / call.unitBytes;
    want -= want % s->channels;

    uint32_t done = 0;
    for (;;) {
        int32_t fill = s->bufferFill;
        if (fill < static_cast<int32_t>(call.minimum) && !Refill(s, &call, &fill))
            break;
        done = Produce(s, &call, fill, out, done, want);
        if (done >= want || call.remaining == 0)
            break;
    }

    uint32_t bytes = done * call.unitBytes;
    if (call.remaining == 0 && s->bufferFill < static_cast<int32_t>(call.minimum)) {
        const HostFunctions *host = hostFunctions;
        uint64_t delivered = host->TranslateStreamPosition(handle, 0, host->GetStreamPosition(handle, 0), 0);
        s->length = delivered + bytes;
        return bytes | STREAM_READ_END;
    }
    return bytes;
}
