/*
 * The high-quality PCM converter: first stage on the DSD bytes, then
 * half-band stages, each in double precision and in a fixed order.
 */
#include "convert/hq_decimator.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "convert/filter.h"
#include "convert/hq_filters.h"
#include "host/host_api.h"

static uint32_t Log2(uint32_t v)
{
    uint32_t e = 0;
    while ((v >> e) > 1)
        e++;
    return e;
}

/* The stages for a ratio, rings not yet placed; false when the ratio cannot be served. */
static bool Plan(int32_t ratio, uint32_t channels, HqState *plan, uint64_t *bytes)
{
    if (ratio < 1 || (ratio & (ratio - 1)) != 0 || channels == 0)
        return false;
    const uint32_t e = Log2(static_cast<uint32_t>(ratio));
    memset(plan, 0, sizeof *plan);
    plan->channels = channels;
    const double *last = nullptr;
    if (e == 0) {
        plan->first = hqFirstRatio1, plan->firstBytes = 24, plan->step = 1;
    } else if (e == 1) {
        plan->first = hqFirstRatio2, plan->firstBytes = 16, plan->step = 1, last = hqHalfBand143;
    } else {
        plan->first = e == 2 ? hqFirstRatio4 : hqFirstRatio8;
        plan->firstBytes = e == 2 ? 24 : 16;
        plan->step = 2;
        last = hqHalfBand111;
    }
    /* After a first stage that steps 2 bytes, one half-band per further halving. */
    plan->bands = e == 0 ? 0 : e == 1 ? 1 : e - 1;
    if (plan->bands > HQ_MAX_BANDS)
        return false;
    for (uint32_t k = 0; k < plan->bands; k++) {
        bool isLast = k + 1 == plan->bands;
        plan->band[k].taps = isLast ? last : hqHalfBand31;
        plan->band[k].length = isLast ? (e == 1 ? 143 : 111) : 31;
    }

    /* One block: the record, every ring, the frame. */
    uint64_t values = channels;
    for (uint32_t k = 0; k < plan->bands; k++)
        values += 2ull * plan->band[k].length * channels;
    *bytes = sizeof(HqState) + values * sizeof(double);
    return *bytes <= SIZE_MAX;
}

uint64_t HqStateBytes(int32_t ratio, uint32_t channels)
{
    HqState plan;
    uint64_t bytes;
    return Plan(ratio, channels, &plan, &bytes) ? bytes : 0;
}

HqState *HqCreate(int32_t ratio, uint32_t channels)
{
    HqState plan;
    uint64_t size;
    if (!Plan(ratio, channels, &plan, &size))
        return nullptr;
    HqState *hq = static_cast<HqState *>(calloc(1, static_cast<size_t>(size)));
    if (hq == nullptr)
        return nullptr;
    *hq = plan;
    double *next = reinterpret_cast<double *>(hq + 1);
    for (uint32_t k = 0; k < plan.bands; k++) {
        hq->band[k].rings = next;
        next += 2ull * plan.band[k].length * channels;
    }
    hq->frame = next;

    /* An output depends on first-stage outputs up to `reach` away (in first-stage samples);
       a restart that far back, and one sample more, leaves the linear decode's state. */
    uint64_t reach = 0;
    for (uint32_t k = 0; k < plan.bands; k++)
        reach += static_cast<uint64_t>((plan.band[k].length - 1) / 2) << k;
    hq->warmup = static_cast<uint32_t>((reach + (1ull << plan.bands) - 1) >> plan.bands) + 1;
    HqRestart(hq, 0);
    return hq;
}

uint64_t HqSamples(uint64_t perChannelBytes, int32_t ratio)
{
    return perChannelBytes / static_cast<uint64_t>(ratio);
}

/* The first output sample a restart for `target` computes; 0 is the stream's own start. */
static uint64_t RestartSample(const HqState *hq, uint64_t target)
{
    uint64_t from = target > hq->warmup ? target - hq->warmup : 0;
    /* The first window of that sample must lie within the data. */
    if (((from << hq->bands) * hq->step) < hq->firstBytes / 2)
        from = 0;
    return from;
}

uint64_t HqRestartByte(const HqState *hq, uint64_t target)
{
    uint64_t from = RestartSample(hq, target);
    return from == 0 ? 0 : (from << hq->bands) * hq->step - hq->firstBytes / 2;
}

void HqRestart(HqState *hq, uint64_t target)
{
    uint64_t from = RestartSample(hq, target);
    for (uint32_t k = 0; k < hq->bands; k++) {
        HqBand *b = &hq->band[k];
        memset(b->rings, 0, 2ull * b->length * hq->channels * sizeof(double));
        b->write = 0;
        b->due = (b->length - 1) / 2 + 1; /* the centre and the half after it */
    }
    hq->firstNext = from << hq->bands;
    hq->inPos = HqRestartByte(hq, target);
    hq->outNext = from;
    hq->skipBefore = target;
    hq->endOut = HQ_END_UNKNOWN;
}

void HqBuildTables(DsdStream *stream)
{
    const HqState *hq = stream->hq;
    const uint32_t taps = 8 * hq->firstBytes;
    const uint32_t centre = taps / 2;
    double gain = pow(10.0, static_cast<double>(stream->gainDb) * 0.05);
    if (!(stream->flags & STREAM_FLOAT))
        gain = gain * 32768.0;
    for (uint32_t g = 0; g < hq->firstBytes; g++) {
        float *table = stream->filterTables[g];
        double tap[8];
        for (uint32_t k = 0; k < 8; k++) {
            uint32_t n = 8 * g + k;
            tap[k] = gain * hq->first[n <= centre ? n : taps - n];
        }
        /* Entry 255 - b inverts every bit of b, so it is exactly -entry b. */
        for (int b = 0; b < 128; b++) {
            double acc = 0.0;
            for (int k = 0; k < 8; k++) {
                int bit = stream->lsbFirst ? (b >> k) & 1 : (b >> (7 - k)) & 1;
                acc = acc + (bit ? tap[k] : -tap[k]);
            }
            table[b] = static_cast<float>(acc);
            table[255 - b] = -table[b];
        }
    }
}

int16_t HqToInt16(double v)
{
    if (v != v)
        return 0;
    if (v >= 32767.0)
        return 32767;
    if (v <= -32768.0)
        return -32768;
    return static_cast<int16_t>(static_cast<int32_t>(v < 0.0 ? v - 0.5 : v + 0.5));
}

/* One first-stage output of one channel: the window's table entries in four interleaved sums. */
static double FirstStage(const float (*tables)[256], const uint8_t *in, uint32_t channels, uint32_t bytes)
{
    double acc[4] = {0.0, 0.0, 0.0, 0.0};
    for (uint32_t g = 0; g < bytes; g++)
        acc[g & 3] = acc[g & 3] + static_cast<double>(tables[g][in[static_cast<size_t>(g) * channels]]);
    return (acc[0] + acc[1]) + (acc[2] + acc[3]);
}

/* A half-band output from the window x[0..length): pairs of mirrored inputs, alternately into two sums. */
static double HalfBand(const double *taps, uint32_t length, const double *x)
{
    const uint32_t pairs = (length + 1) / 4;
    double acc[2] = {0.0, 0.0};
    for (uint32_t t = 0; t < pairs; t++)
        acc[t & 1] = acc[t & 1] + taps[t] * (x[2 * t] + x[length - 1 - 2 * t]);
    return (acc[0] + acc[1]) + taps[pairs] * x[(length - 1) / 2];
}

/* Feeds one first-stage frame (hq->frame) through the half-bands; true when an output frame
   then stands in hq->frame. */
static bool Cascade(HqState *hq)
{
    const uint32_t channels = hq->channels;
    double *v = hq->frame;
    for (uint32_t k = 0; k < hq->bands; k++) {
        HqBand *b = &hq->band[k];
        const uint32_t n = b->length;
        for (uint32_t c = 0; c < channels; c++) {
            double *ring = b->rings + 2ull * n * c;
            ring[b->write] = v[c];
            ring[b->write + n] = v[c];
        }
        b->write = b->write + 1 == n ? 0 : b->write + 1;
        if (--b->due != 0)
            return false;
        b->due = 2;
        /* The ring holds the last n inputs, oldest first, from slot `write` on. */
        for (uint32_t c = 0; c < channels; c++)
            v[c] = HalfBand(b->taps, n, b->rings + 2ull * n * c + b->write);
    }
    return true;
}

uint32_t HqProduce(DsdStream *s, int32_t fill, void *out, uint32_t done, uint32_t want, bool floatOutput,
                   bool ended, uint64_t *consumed)
{
    HqState *hq = s->hq;
    const uint32_t channels = hq->channels;
    const uint64_t avail = fill > 0 ? static_cast<uint64_t>(fill) / channels : 0;
    const int64_t half = hq->firstBytes / 2;
    while (hq->outNext < hq->endOut) {
        if (hq->outNext >= hq->skipBefore && want - done < channels)
            break; /* no room for the frame this input may complete */
        const int64_t start = static_cast<int64_t>(hq->firstNext * hq->step) - half;
        if (start < static_cast<int64_t>(hq->inPos)) {
            memset(hq->frame, 0, channels * sizeof(double)); /* before the data */
        } else {
            uint64_t offset = static_cast<uint64_t>(start) - hq->inPos;
            if (offset + hq->firstBytes <= avail) {
                const uint8_t *in = s->buffer + offset * channels;
                for (uint32_t c = 0; c < channels; c++)
                    hq->frame[c] = FirstStage(s->filterTables, in + c, channels, hq->firstBytes);
            } else if (ended) {
                memset(hq->frame, 0, channels * sizeof(double)); /* after the data */
            } else {
                break; /* wait for more data */
            }
        }
        hq->firstNext++;
        if (!Cascade(hq))
            continue;
        if (hq->outNext++ < hq->skipBefore)
            continue;
        if (floatOutput) {
            float *o = static_cast<float *>(out) + done;
            for (uint32_t c = 0; c < channels; c++)
                o[c] = static_cast<float>(hq->frame[c]);
        } else {
            int16_t *o = static_cast<int16_t *>(out) + done;
            for (uint32_t c = 0; c < channels; c++)
                o[c] = HqToInt16(hq->frame[c]);
        }
        done += channels;
    }
    /* Bytes before the next window are no longer needed. */
    const int64_t next = static_cast<int64_t>(hq->firstNext * hq->step) - half;
    uint64_t drop = 0;
    if (next > static_cast<int64_t>(hq->inPos)) {
        drop = static_cast<uint64_t>(next) - hq->inPos;
        hq->inPos = static_cast<uint64_t>(next);
    }
    *consumed = drop * channels;
    return done;
}
