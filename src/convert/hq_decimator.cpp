/*
 * The high-quality PCM converter: first stage on the DSD bytes, then
 * half-band stages, in 32-bit fixed point with exact sums.
 */
#include "convert/hq_decimator.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__ARM_NEON)
#include <arm_neon.h>
#endif

#include "convert/filter.h"
#include "convert/hq_filters.h"
#include "convert/kernels.h"
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
    if (e == 0) {
        plan->first = hqFirstRatio1, plan->firstBytes = 24, plan->step = 1;
    } else if (e == 1) {
        plan->first = hqFirstRatio2, plan->firstBytes = 16, plan->step = 1;
    } else if (e == 2) {
        plan->first = hqFirstRatio4, plan->firstBytes = 32, plan->step = 2;
    } else {
        /* Ratio 8 and above: a first stage of its own for 8, 16, 32 and 64 (the one for 64
           beyond), those for 8 and 16 stepping 2 bytes to dsdRate / 16, those for 32 and 64
           4 bytes to dsdRate / 32: each byte enters 10, 8, 8 and 6 windows. */
        static const struct {
            const double *taps;
            uint32_t bytes, step;
        } firsts[4] = {{hqFirstRatio8, 20, 2},
                       {hqFirstRatio16, 16, 2},
                       {hqFirstRatio32, 32, 4},
                       {hqFirstRatio64, 24, 4}};
        const uint32_t f = e - 3 < 3 ? e - 3 : 3;
        plan->first = firsts[f].taps, plan->firstBytes = firsts[f].bytes, plan->step = firsts[f].step;
    }
    /* After the first stage, one half-band per further halving: counted from the last, HB111
       (HB119A and HB127A after the first stages of ratios 2 and 4, whose output rate is twice the
       output's: weighted to keep the noise above the passband from folding below 20 kHz), two HB31,
       then the maximally flat MF19 and as many MF15 as remain. Right after a first stage stepping 2
       bytes (ratios 8 and 16) the first HB31 is HB39: its 153 dB keep the modulator's noise
       around the odd multiples of its output rate out of the band. */
    plan->bands = e == 0 ? 0 : e == 1 ? 1 : e - Log2(plan->step);
    if (plan->bands > HQ_MAX_BANDS || plan->firstBytes > HQ_MAX_WINDOW)
        return false;
    for (uint32_t k = 0; k < plan->bands; k++) {
        const uint32_t fromLast = plan->bands - 1 - k;
        HqBand *b = &plan->band[k];
        if (fromLast == 0 && e == 1)
            b->taps = hqHalfBand119A, b->length = 119;
        else if (fromLast == 0 && e == 2)
            b->taps = hqHalfBand127A, b->length = 127;
        else if (fromLast == 0)
            b->taps = hqHalfBand111, b->length = 111;
        else if (k == 0 && plan->step == 2 && e >= 3)
            b->taps = hqHalfBand39, b->length = 39;
        else if (fromLast <= 2)
            b->taps = hqHalfBand31, b->length = 31;
        else if (fromLast == 3)
            b->taps = hqHalfBand19, b->length = 19;
        else
            b->taps = hqHalfBand15, b->length = 15;
    }

    /* One block: the record, then per channel the two work blocks, the held samples and each
       stage's inputs. */
    uint64_t perChannel = 3 * HQ_BLOCK;
    plan->windows = plan->firstBytes / plan->step;
    plan->lanes = (plan->windows + 3) & ~3u;
    const uint64_t tables = 256ull * plan->firstBytes + 256ull * plan->step * plan->lanes + HQ_BLOCK + 64;
    for (uint32_t k = 0; k < plan->bands; k++) {
        plan->band[k].pairs = (plan->band[k].length + 1) / 4;
        perChannel += 2 * HQ_BLOCK + 2 * plan->band[k].pairs + 8;
    }
    *bytes = sizeof(HqState) + (tables + perChannel * channels) * sizeof(int32_t);
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
    int32_t *next = reinterpret_cast<int32_t *>(hq + 1);
    hq->tables = reinterpret_cast<int32_t(*)[256]>(next);
    next += 256 * plan.firstBytes;
    hq->rows = next, next += 256 * plan.step * plan.lanes;
    hq->scratch = next, next += HQ_BLOCK + 64;
    const size_t block = static_cast<size_t>(HQ_BLOCK) * channels;
    hq->work[0] = next, next += block;
    hq->work[1] = next, next += block;
    hq->held = next, next += block;
    for (uint32_t k = 0; k < plan.bands; k++) {
        /* Q31 taps, rounded to nearest (|tap| <= 0.5: exact products, no overflow). */
        HqBand *b = &hq->band[k];
        for (uint32_t t = 0; t <= b->pairs; t++)
            b->q31[t] = static_cast<int32_t>(floor(ldexp(b->taps[t], 31) + 0.5));
        hq->band[k].evens = next, next += static_cast<size_t>(HQ_BLOCK + 4) * channels;
        hq->band[k].odds = next,
        next += static_cast<size_t>(HQ_BLOCK + 2 * plan.band[k].pairs + 4) * channels;
    }

    /* An output depends on first-stage outputs up to `reach` away (in first-stage samples);
       a restart that far back, and one sample more, leaves the linear decode's state. */
    uint64_t reach = 0;
    for (uint32_t k = 0; k < plan.bands; k++)
        reach += static_cast<uint64_t>((plan.band[k].length - 1) / 2) << k;
    hq->warmup = static_cast<uint32_t>((reach + (1ull << plan.bands) - 1) >> plan.bands) + 1;
    hq->kernel = HqBestKernel();
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

/* The sound byte the first window of restart sample `from` begins with. */
static uint64_t RestartByte(const HqState *hq, uint64_t from)
{
    return from == 0 ? 0 : (from << hq->bands) * hq->step - hq->firstBytes / 2;
}

uint64_t HqRestartByte(const HqState *hq, uint64_t target)
{
    return RestartByte(hq, RestartSample(hq, target));
}

void HqRestart(HqState *hq, uint64_t target)
{
    uint64_t from = RestartSample(hq, target);
    for (uint32_t k = 0; k < hq->bands; k++) {
        HqBand *b = &hq->band[k];
        /* Nothing before the restart: the pairs of its first output see zeros. */
        memset(b->odds, 0, static_cast<size_t>(HQ_BLOCK + 2 * b->pairs + 4) * hq->channels * sizeof(int32_t));
        b->odd = 0;
        b->evenCount = 0;
        b->oddCount = b->pairs;
    }
    hq->heldCount = 0;
    hq->firstNext = from << hq->bands;
    hq->inPos = RestartByte(hq, from);
    hq->outNext = from;
    hq->skipBefore = target;
    hq->endOut = HQ_END_UNKNOWN;
}

/* The most any first-stage output can reach, over the gain and the scale: the sum of the taps'
   magnitudes. */
static double WorstGain(const HqState *hq)
{
    const uint32_t taps = 8 * hq->firstBytes;
    double worst = 0.0;
    for (uint32_t n = 0; n < taps; n++)
        worst = worst + fabs(hq->first[n <= taps / 2 ? n : taps - n]);
    return worst;
}

void HqBuildTables(DsdStream *stream)
{
    HqState *hq = stream->hq;
    const uint32_t taps = 8 * hq->firstBytes;
    const uint32_t centre = taps / 2;
    const double gain = pow(10.0, static_cast<double>(stream->gainDb) * 0.05);
    /* The largest scale 2^shift at which every first-stage output stays within 32 bits, with a
       margin for the tables' roundings, whatever the bits. Full scale after the gain then lies
       2^28 to 2^30 from zero: the roundings sit near -170 dB. */
    int exponent;
    frexp(0.999 * 2147483648.0 / (gain * WorstGain(hq)), &exponent);
    hq->shift = exponent - 1;
    const double scale = ldexp(gain, hq->shift);
    for (uint32_t g = 0; g < hq->firstBytes; g++) {
        int32_t *table = hq->tables[g];
        double tap[8];
        for (uint32_t k = 0; k < 8; k++) {
            uint32_t n = 8 * g + k;
            tap[k] = scale * hq->first[n <= centre ? n : taps - n];
        }
        /* Entry 255 - b inverts every bit of b, so it is exactly -entry b. */
        for (int b = 0; b < 128; b++) {
            double acc = 0.0;
            for (int k = 0; k < 8; k++) {
                int bit = stream->lsbFirst ? (b >> k) & 1 : (b >> (7 - k)) & 1;
                acc = acc + (bit ? tap[k] : -tap[k]);
            }
            const double r = floor(fabs(acc) + 0.5);
            table[b] = static_cast<int32_t>(acc < 0.0 ? -r : r);
            table[255 - b] = -table[b];
        }
    }
    /* Byte b at place p + step x j of a window: row (p, b), lane windows - 1 - j. */
    for (uint32_t p = 0; p < hq->step; p++)
        for (uint32_t b = 0; b < 256; b++) {
            int32_t *row = hq->rows + (256 * p + b) * hq->lanes;
            for (uint32_t i = 0; i < hq->lanes; i++)
                row[i] = i < hq->windows ? hq->tables[p + hq->step * (hq->windows - 1 - i)][b] : 0;
        }
}

typedef int32_t Lanes4 __attribute__((vector_size(16)));

static inline Lanes4 Load4(const int32_t *p)
{
    Lanes4 v;
    memcpy(&v, p, sizeof v);
    return v;
}

/*
 * The first stage byte by byte: `blocks` blocks of `step` bytes of one channel (`channels`
 * apart), each block's rows (one per byte, by its phase) added up and then onto acc[q..q +
 * lanes) for block q. First-stage output m (of windows `step` bytes apart from the first block
 * on) is then complete in acc[m + windows - 1] once block m + windows - 1 is in. Exact sums: any
 * order gives these values. STEP, VECTORS (lanes / 4) and CHANNELS known at compile time (0: at
 * run time) unroll the loops.
 */
template <uint32_t STEP, uint32_t VECTORS, uint32_t CHANNELS>
static void FirstStageRows(const int32_t *rows, uint32_t step, uint32_t vectors, const uint8_t *in,
                           size_t channels, uint32_t blocks, int32_t *acc)
{
    if (STEP != 0)
        step = STEP, vectors = VECTORS;
    if (CHANNELS != 0)
        channels = CHANNELS;
    const size_t row = 4 * vectors;
    for (uint32_t q = 0; q < blocks; q++, in += step * channels, acc++) {
        Lanes4 sum[VECTORS != 0 ? VECTORS : 6];
        const int32_t *r = rows + in[0] * row;
        for (uint32_t v = 0; v < vectors; v++)
            sum[v] = Load4(r + 4 * v);
        for (uint32_t p = 1; p < step; p++) {
            r = rows + (256 * p + in[p * channels]) * row;
            for (uint32_t v = 0; v < vectors; v++)
                sum[v] += Load4(r + 4 * v);
        }
        for (uint32_t v = 0; v < vectors; v++) {
            const Lanes4 x = Load4(acc + 4 * v) + sum[v];
            memcpy(acc + 4 * v, &x, sizeof x);
        }
    }
}

#if defined(__ARM_NEON)
/* FirstStageRows with NEON, 8 lanes at a time: each 8 lanes of a row and of the sums in one
   de-interleaving load (the even lanes in one register, the odd in the other: the same for every
   operand, so lane-wise sums are unchanged) and one store. */
template <uint32_t STEP, uint32_t EIGHTS, uint32_t CHANNELS> __attribute__((noinline)) static void
FirstStageRows8(const int32_t *rows, const uint8_t *in, size_t channels, uint32_t blocks, int32_t *acc)
{
    if (CHANNELS != 0)
        channels = CHANNELS;
    const int32_t *base[STEP];
    for (uint32_t p = 0; p < STEP; p++)
        base[p] = rows + 256 * 8 * EIGHTS * p;
    for (uint32_t q = 0; q < blocks; q++, in += STEP * channels, acc++) {
        int32x4x2_t sum[EIGHTS];
        for (uint32_t k = 0; k < EIGHTS; k++)
            sum[k] = vld2q_s32(acc + 8 * k);
#pragma GCC unroll 4
        for (uint32_t p = 0; p < STEP; p++) {
            const int32_t *r = base[p] + in[p * channels] * 8 * EIGHTS;
            for (uint32_t k = 0; k < EIGHTS; k++) {
                const int32x4x2_t x = vld2q_s32(r + 8 * k);
                sum[k].val[0] = vaddq_s32(sum[k].val[0], x.val[0]);
                sum[k].val[1] = vaddq_s32(sum[k].val[1], x.val[1]);
            }
        }
        for (uint32_t k = 0; k < EIGHTS; k++)
            vst2q_s32(acc + 8 * k, sum[k]);
    }
}
#endif

#if defined(__ARM_NEON)
/* Rows of 12 lanes: 8 as FirstStageRows8 does, then 4 in plain loads and stores. Out of line, as
   FirstStageRows8 is: inlined, both made the other shapes' loops longer. */
template <uint32_t STEP, uint32_t CHANNELS> __attribute__((noinline)) static void
FirstStageRows12(const int32_t *rows, const uint8_t *in, size_t channels, uint32_t blocks, int32_t *acc)
{
    if (CHANNELS != 0)
        channels = CHANNELS;
    for (uint32_t q = 0; q < blocks; q++, in += STEP * channels, acc++) {
        int32x4x2_t sum = vld2q_s32(acc);
        int32x4_t tail = vld1q_s32(acc + 8);
#pragma GCC unroll 4
        for (uint32_t p = 0; p < STEP; p++) {
            const int32_t *r = rows + (256 * p + in[p * channels]) * 12;
            const int32x4x2_t x = vld2q_s32(r);
            sum.val[0] = vaddq_s32(sum.val[0], x.val[0]);
            sum.val[1] = vaddq_s32(sum.val[1], x.val[1]);
            tail = vaddq_s32(tail, vld1q_s32(r + 8));
        }
        vst2q_s32(acc, sum);
        vst1q_s32(acc + 8, tail);
    }
}
#endif

/* `count` first-stage outputs of one channel from `in` (the first window's first byte) on, windows
   `step` bytes apart, into hq->scratch + windows - 1. */
static void FirstStageRun(const HqState *hq, const uint8_t *in, uint32_t count)
{
    int32_t *acc = hq->scratch;
    const uint32_t step = hq->step, vectors = hq->lanes / 4, blocks = count + hq->windows - 1;
    const size_t channels = hq->channels;
    memset(acc, 0, (blocks + hq->lanes) * sizeof(int32_t));
    if (count == 0)
        return;
    const int32_t *rows = hq->rows;
    /* The plans' shapes (step, lanes / 4) in stereo, and those of ratios 8 and 16 in mono and 6
       channels. */
#if defined(__ARM_NEON)
    if (step == 2 && vectors == 3 && channels == 2)
        return FirstStageRows12<2, 2>(rows, in, channels, blocks, acc);
    if (step == 2 && vectors == 3)
        return FirstStageRows12<2, 0>(rows, in, channels, blocks, acc);
    if (step == 2 && vectors == 2 && channels == 2)
        return FirstStageRows8<2, 1, 2>(rows, in, channels, blocks, acc);
    if (step == 4 && vectors == 2 && channels == 2)
        return FirstStageRows8<4, 1, 2>(rows, in, channels, blocks, acc);
    if (step == 2 && vectors == 2)
        return FirstStageRows8<2, 1, 0>(rows, in, channels, blocks, acc);
    if (step == 4 && vectors == 2)
        return FirstStageRows8<4, 1, 0>(rows, in, channels, blocks, acc);
    if (step == 1 && vectors == 6)
        return FirstStageRows8<1, 3, 0>(rows, in, channels, blocks, acc);
    if (step == 1 && vectors == 4)
        return FirstStageRows8<1, 2, 0>(rows, in, channels, blocks, acc);
    if (step == 2 && vectors == 4)
        return FirstStageRows8<2, 2, 0>(rows, in, channels, blocks, acc);
#endif
    if (step == 2 && vectors == 2 && channels == 2)
        FirstStageRows<2, 2, 2>(rows, step, vectors, in, channels, blocks, acc);
    else if (step == 4 && vectors == 2 && channels == 2)
        FirstStageRows<4, 2, 2>(rows, step, vectors, in, channels, blocks, acc);
    else if (step == 1 && vectors == 6 && channels == 2)
        FirstStageRows<1, 6, 2>(rows, step, vectors, in, channels, blocks, acc);
    else if (step == 1 && vectors == 4 && channels == 2)
        FirstStageRows<1, 4, 2>(rows, step, vectors, in, channels, blocks, acc);
    else if (step == 2 && vectors == 3 && channels == 2)
        FirstStageRows<2, 3, 2>(rows, step, vectors, in, channels, blocks, acc);
    else if (step == 2 && vectors == 4 && channels == 2)
        FirstStageRows<2, 4, 2>(rows, step, vectors, in, channels, blocks, acc);
    else if (step == 2 && vectors == 2 && channels == 1)
        FirstStageRows<2, 2, 1>(rows, step, vectors, in, channels, blocks, acc);
    else if (step == 2 && vectors == 2 && channels == 6)
        FirstStageRows<2, 2, 6>(rows, step, vectors, in, channels, blocks, acc);
    else if (step == 2 && vectors == 3 && channels == 1)
        FirstStageRows<2, 3, 1>(rows, step, vectors, in, channels, blocks, acc);
    else if (step == 2 && vectors == 3 && channels == 6)
        FirstStageRows<2, 3, 6>(rows, step, vectors, in, channels, blocks, acc);
    else
        FirstStageRows<0, 0, 0>(rows, step, vectors, in, channels, blocks, acc);
}

/* Appends `count` values to a half-band's inputs, even-index ones to e, odd ones to o;
   `odd`: the first value has an odd index. */
static void Split(const int32_t *x, uint32_t count, uint32_t odd, int32_t *e, int32_t *o)
{
    uint32_t n = 0;
    if (odd && count != 0)
        *o++ = x[n++];
#if defined(__SSE2__)
    for (; n + 7 < count; n += 8, e += 4, o += 4) {
        /* Each half's evens to its low 64 bits, odds to its high. */
        const __m128i a = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(x + n)), 0xD8);
        const __m128i b =
            _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(x + n + 4)), 0xD8);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(e), _mm_unpacklo_epi64(a, b));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(o), _mm_unpackhi_epi64(a, b));
    }
#else
    for (; n + 7 < count; n += 8, e += 4, o += 4) {
        const Lanes4 a = Load4(x + n), b = Load4(x + n + 4);
        const Lanes4 even = __builtin_shufflevector(a, b, 0, 2, 4, 6),
                     odd = __builtin_shufflevector(a, b, 1, 3, 5, 7);
        memcpy(e, &even, sizeof even);
        memcpy(o, &odd, sizeof odd);
    }
#endif
    for (; n + 1 < count; n += 2) {
        *e++ = x[n];
        *o++ = x[n + 1];
    }
    if (n < count)
        *e = x[n];
}

/*
 * Up to HQ_BLOCK first-stage outputs per channel into work[0]: zeros for windows that begin
 * before the data (the stream's very start) or, once the data has ended, reach past it; none
 * beyond a window that waits for data. Returns how many.
 */
static uint32_t FirstStageBlock(DsdStream *s, uint64_t avail, bool ended)
{
    HqState *hq = s->hq;
    const int64_t half = hq->firstBytes / 2, step = hq->step, inPos = static_cast<int64_t>(hq->inPos);
    const int64_t m0 = static_cast<int64_t>(hq->firstNext);
    uint32_t before = 0, inside = 0, after = 0;
    bool waiting = false;
    /* Windows that begin before the data: only at the stream's very start. */
    for (; before < HQ_BLOCK && (m0 + before) * step - half < inPos; before++) {
        /* Its centre byte must be there: without stages after this one the output is final,
           and the data may hold no sample at all. */
        if (!ended && static_cast<uint64_t>((m0 + before) * step) >= hq->inPos + avail) {
            waiting = true;
            break;
        }
    }
    /* Window m lies within the data while m x step - half + firstBytes <= inPos + avail. */
    const int64_t first = m0 + before;
    const int64_t lastFit = inPos + static_cast<int64_t>(avail) + half - hq->firstBytes;
    if (!waiting && lastFit >= 0 && lastFit / step >= first) {
        const int64_t fits = lastFit / step - first + 1;
        inside = fits < HQ_BLOCK - before ? static_cast<uint32_t>(fits) : HQ_BLOCK - before;
    }
    if (!waiting && ended)
        after = HQ_BLOCK - before - inside;
    const uint64_t offset0 = inside != 0 ? static_cast<uint64_t>(first * step - half - inPos) : 0;
    const uint32_t count = before + inside + after;
    const size_t channels = hq->channels;
    const HqBand *b = &hq->band[0];
    const int32_t *sums = hq->scratch + hq->windows - 1;
    for (size_t c = 0; c < channels; c++) {
        const uint8_t *in = s->buffer + offset0 * channels + c;
        FirstStageRun(hq, in, inside);
        if (hq->bands == 0) {
            int32_t *out = hq->work[0] + c * HQ_BLOCK;
            for (uint32_t n = 0; n < before; n++)
                out[n] = 0;
            memcpy(out + before, sums, inside * sizeof(int32_t));
            for (uint32_t n = before + inside; n < count; n++)
                out[n] = 0;
            continue;
        }
        /* Straight into the first half-band's inputs: output n of the block goes to line
           q = (n + odd) & 1 (evens, odds), whose first output in the block is n = (q + odd) & 1. */
        int32_t *line[2] = {b->evens + c * (HQ_BLOCK + 4) + b->evenCount,
                            b->odds + c * (HQ_BLOCK + 2 * b->pairs + 4) + b->oddCount};
        auto place = [&](uint32_t n) {
            const uint32_t q = (n + b->odd) & 1;
            return line[q] + (n - ((q + b->odd) & 1)) / 2;
        };
        for (uint32_t n = 0; n < before; n++)
            *place(n) = 0;
        for (uint32_t n = before + inside; n < count; n++)
            *place(n) = 0;
        if (inside != 0) {
            /* Output `before` and the one after it start the two lines' runs. */
            const uint32_t q = (before + b->odd) & 1;
            int32_t *first = place(before), *second = place(before + 1);
            Split(sums, inside, q, q == 0 ? first : second, q == 0 ? second : first);
        }
    }
    hq->firstNext += count;
    return count;
}

uint32_t HqBestKernel(void)
{
    return ConvertKernelCount() - 1;
}

/* HqHalfBandRun with the kernel looked up already (null: the plain loop only). */
static inline void HalfBandRun(HqHalfBandKernel *vector, const int32_t *taps, uint32_t pairs,
                               const int32_t *odds, const int32_t *evens, int32_t *y, uint32_t outputs)
{
    uint32_t i = vector != nullptr ? vector(taps, pairs, odds, evens, y, outputs) : 0;
    for (; i < outputs; i++)
        y[i] = HqHalfBand(taps, pairs, odds + i, evens + i);
}

void HqHalfBandRun(uint32_t kernel, const int32_t *taps, uint32_t pairs, const int32_t *odds,
                   const int32_t *evens, int32_t *y, uint32_t outputs)
{
    HalfBandRun(ConvertKernelAt(kernel)->hqHalfBand, taps, pairs, odds, evens, y, outputs);
}

/* Feeds `count` values per channel from `in` through half-band k (`in` null: the values are in
   its inputs already); its outputs go to `out`. Returns how many per channel. */
static uint32_t HalfBandBlock(HqState *hq, uint32_t k, const int32_t *in, uint32_t count, int32_t *out)
{
    HqBand *b = &hq->band[k];
    const uint32_t pairs = b->pairs;
    const size_t evenStride = HQ_BLOCK + 4, oddStride = HQ_BLOCK + 2 * pairs + 4;
    const uint32_t odd = b->odd;
    const uint32_t evens = b->evenCount + (count + 1 - odd) / 2;
    const uint32_t odds = b->oddCount + (count + odd) / 2;
    /* An output needs its centre and 2 x pairs odd inputs from `pairs` before it on. */
    const uint32_t outputs =
        odds + 1 < 2 * pairs ? 0 : (evens < odds + 1 - 2 * pairs ? evens : odds + 1 - 2 * pairs);
    /* The kernel looked up once for the block's channels. */
    HqHalfBandKernel *vector = ConvertKernelAt(hq->kernel)->hqHalfBand;
    for (size_t c = 0; c < hq->channels; c++) {
        int32_t *e = b->evens + c * evenStride, *o = b->odds + c * oddStride;
        if (in != nullptr)
            Split(in + c * HQ_BLOCK, count, odd, e + b->evenCount, o + b->oddCount);
        HalfBandRun(vector, b->q31, pairs, o, e, out + c * HQ_BLOCK, outputs);
        memmove(e, e + outputs, (evens - outputs) * sizeof(int32_t));
        memmove(o, o + outputs, (odds - outputs) * sizeof(int32_t));
    }
    b->odd = (odd + count) & 1;
    b->evenCount = evens - outputs;
    b->oddCount = odds - outputs;
    return outputs;
}

/* HqToInt16(x / 2^k) for k >= 1, in integers: the magnitude's quotient plus the bit below it
   (half away from zero), clamped. */
static inline int16_t ToInt16Shifted(int32_t x, uint32_t k)
{
    const uint64_t u = x < 0 ? 0 - static_cast<uint64_t>(static_cast<int64_t>(x)) : static_cast<uint64_t>(x);
    uint64_t r = k < 64 ? (u >> k) + ((u >> (k - 1)) & 1) : 0;
    const uint64_t most = x < 0 ? 32768 : 32767;
    r = r < most ? r : most;
    return static_cast<int16_t>(x < 0 ? -static_cast<int32_t>(r) : static_cast<int32_t>(r));
}

typedef uint32_t Unsigned4 __attribute__((vector_size(16)));
typedef float Float4 __attribute__((vector_size(16)));
typedef float Float8 __attribute__((vector_size(32)));
typedef int32_t Lanes8 __attribute__((vector_size(32)));
typedef int16_t Short8 __attribute__((vector_size(16)));

/* ToInt16Shifted of four lanes, 1 <= k <= 31, as 32-bit lanes. */
static inline Lanes4 ToInt16Lanes(Lanes4 x, uint32_t k)
{
    const Unsigned4 sign = reinterpret_cast<Unsigned4>(x >> 31);
    const Unsigned4 u = (reinterpret_cast<Unsigned4>(x) ^ sign) - sign;
    Unsigned4 r = (u >> k) + ((u >> (k - 1)) & 1);
    const Unsigned4 most = 32767 - sign; /* 32768 below zero */
    const Unsigned4 below = reinterpret_cast<Unsigned4>(r < most);
    r = (r & below) | (most & ~below);
    return reinterpret_cast<Lanes4>((r ^ sign) - sign);
}

void HqStoreFrames(const int32_t *v, uint32_t channels, uint32_t frames, bool floatOutput, int32_t shift,
                   void *out, uint32_t at)
{
    /* A float is the value rounded to float, times 2^-shift: exact (a power of two, and 2^-shift
       is far from the subnormals), so the same as the value times 2^-shift rounded. */
    const float scale = ldexpf(1.0f, -shift);
    const uint32_t k = static_cast<uint32_t>(shift - 15);
    uint32_t i = 0;
    if (channels == 2 && (floatOutput || (k >= 1 && k <= 31))) {
        /* Stereo four frames at a time: the two channels' lanes interleaved. */
        const int32_t *x0 = v, *x1 = v + HQ_BLOCK;
        for (; i + 3 < frames; i += 4) {
            const Lanes4 a = Load4(x0 + i), b = Load4(x1 + i);
            if (floatOutput) {
                const Float4 fa = __builtin_convertvector(a, Float4) * scale;
                const Float4 fb = __builtin_convertvector(b, Float4) * scale;
                const Float8 f = __builtin_shufflevector(fa, fb, 0, 4, 1, 5, 2, 6, 3, 7);
                memcpy(static_cast<float *>(out) + at + 2 * i, &f, sizeof f);
            } else {
                const Lanes8 w =
                    __builtin_shufflevector(ToInt16Lanes(a, k), ToInt16Lanes(b, k), 0, 4, 1, 5, 2, 6, 3, 7);
                const Short8 s = __builtin_convertvector(w, Short8);
                memcpy(static_cast<int16_t *>(out) + at + 2 * i, &s, sizeof s);
            }
        }
    }
    const uint32_t from = i;
    for (uint32_t c = 0; c < channels; c++) {
        const int32_t *x = v + static_cast<size_t>(c) * HQ_BLOCK;
        if (floatOutput) {
            float *o = static_cast<float *>(out) + at + c;
            for (i = from; i < frames; i++)
                o[static_cast<size_t>(i) * channels] = static_cast<float>(x[i]) * scale;
        } else {
            int16_t *o = static_cast<int16_t *>(out) + at + c;
            for (i = from; i < frames; i++)
                o[static_cast<size_t>(i) * channels] = ToInt16Shifted(x[i], k);
        }
    }
}

/* Delivers held samples first, as many frames as the output takes. */
static uint32_t DeliverHeld(HqState *hq, void *out, uint32_t done, uint32_t want, bool floatOutput)
{
    const uint32_t channels = hq->channels;
    uint32_t n = (want - done) / channels;
    if (n > hq->heldCount)
        n = hq->heldCount;
    if (n != 0) {
        HqStoreFrames(hq->held, channels, n, floatOutput, hq->shift, out, done);
        for (uint32_t c = 0; c < channels; c++)
            memmove(hq->held + c * HQ_BLOCK, hq->held + c * HQ_BLOCK + n,
                    (hq->heldCount - n) * sizeof(int32_t));
        hq->heldCount -= n;
    }
    return done + n * channels;
}

uint32_t HqProduce(DsdStream *s, int32_t fill, void *out, uint32_t done, uint32_t want, bool floatOutput,
                   bool ended, uint64_t *consumed)
{
    HqState *hq = s->hq;
    const uint32_t channels = hq->channels;
    const uint64_t avail = fill > 0 ? static_cast<uint64_t>(fill) / channels : 0;
    done = DeliverHeld(hq, out, done, want, floatOutput);
    while (hq->heldCount == 0 && hq->outNext < hq->endOut && want - done >= channels) {
        uint32_t count = FirstStageBlock(s, avail, ended);
        if (count == 0)
            break; /* wait for more data */
        const int32_t *v = hq->work[0];
        for (uint32_t k = 0; k < hq->bands; k++) {
            int32_t *next = hq->work[(k + 1) & 1];
            count = HalfBandBlock(hq, k, k == 0 ? nullptr : v, count, next);
            v = next;
        }
        /* Samples before a seek's target are dropped, those beyond the data's end never made,
           those the output has no room for held for the next call. */
        uint64_t n = count;
        if (n > hq->endOut - hq->outNext)
            n = hq->endOut - hq->outNext;
        uint64_t i = hq->skipBefore > hq->outNext ? hq->skipBefore - hq->outNext : 0;
        if (i > n)
            i = n;
        uint64_t frames = (want - done) / channels;
        if (frames > n - i)
            frames = n - i;
        HqStoreFrames(v + i, channels, static_cast<uint32_t>(frames), floatOutput, hq->shift, out, done);
        done += static_cast<uint32_t>(frames) * channels;
        i += frames;
        for (uint32_t c = 0; c < channels; c++)
            memcpy(hq->held + c * HQ_BLOCK, v + c * HQ_BLOCK + i, (n - i) * sizeof(int32_t));
        hq->heldCount = static_cast<uint32_t>(n - i);
        hq->outNext += n;
    }
    /* Bytes before the next window are no longer needed. */
    const int64_t next = static_cast<int64_t>(hq->firstNext * hq->step) - hq->firstBytes / 2;
    uint64_t drop = 0;
    if (next > static_cast<int64_t>(hq->inPos)) {
        drop = static_cast<uint64_t>(next) - hq->inPos;
        hq->inPos = static_cast<uint64_t>(next);
    }
    *consumed = drop * channels;
    return done;
}
