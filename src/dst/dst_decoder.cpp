#include "dst/dst_decoder.h"

#include <stdlib.h>
#include <string.h>

/* Bits the arithmetic decoder may take past the frame's last byte, read as zeros: an encoder
   that ends its code with fewer bits than the decoder's 12-bit register holds leaves the rest
   to be implied. More than this means the frame is cut or corrupt. */
#define DST_AC_SLACK 16

/* A filter's taps in groups of 8: whole bytes of past bits, up to 16 of them. */
#define DST_TAP_GROUPS (DST_MAX_TAPS / 8)

/* One sum for each of the 8 positions of a bit in the byte being decoded. */
typedef int16_t DstPositionSums __attribute__((vector_size(16)));

/* The prediction of the bit at position k of a byte (k bits of that byte decoded) is the sum of
   two parts: the share of its k + 1 most recent bits, from recentSums, and the shares of the
   whole bytes before, from byteSums, summed once a byte for all 8 positions at once. */
struct DstDecoder {
    /* filter element -> bytes back g (0 the byte just decoded) -> that byte (its most recent bit
       in bit 0) -> at each position k, the byte's share: each bit's coefficient for its lag
       (k + 8g + 1 for bit 0 up to k + 8g + 8 for bit 7), + for a set bit and - for a clear one,
       bit 0 of the last byte left out (recentSums has it). At most 127 taps: the sums fit. */
    DstPositionSums byteSums[DST_MAX_CHANNELS][DST_TAP_GROUPS][256];
    /* filter element -> at 2^(k+1) + the k + 1 most recent bits (the most recent in bit 0): their
       share at position k */
    int16_t recentSums[DST_MAX_CHANNELS][512];
    /* filter element -> coefficient of lag 1, 2, ...; zeros past the filter's length up to the
       last lag a byte of byteSums reaches */
    int16_t coefficients[DST_MAX_CHANNELS][DST_MAX_TAPS + 16];
    uint32_t filterLength[DST_MAX_CHANNELS];
    uint8_t probabilities[DST_MAX_CHANNELS][DST_MAX_TABLE];
    uint32_t tableLength[DST_MAX_CHANNELS];
    uint32_t channels;
    uint32_t frameBits; /* per channel */
};

/* Reads a frame's bits from the most significant bit of its first byte on. Past the last byte
   it yields zeros and counts them. */
struct BitReader {
    const uint8_t *data;
    size_t size;
    size_t next;    /* the next byte to load */
    uint64_t cache; /* the bits not yet taken, first in bit 63 */
    uint32_t count; /* how many of them are the frame's */
    uint32_t past;  /* zeros taken past the end */
};

static void ReaderInit(BitReader *r, const uint8_t *data, size_t size)
{
    r->data = data;
    r->size = size;
    r->next = 0;
    r->cache = 0;
    r->count = 0;
    r->past = 0;
}

static inline void ReaderFill(BitReader *r)
{
    if (r->next + 8 <= r->size) {
        /* Eight bytes at once: the whole bytes that fit are taken; the top bits of a byte that
           does not fit whole land in the cache too, but they are that byte's own bits, which the
           next fill writes again over them. */
        const uint8_t *b = r->data + r->next;
        const uint64_t w = static_cast<uint64_t>(b[0]) << 56 | static_cast<uint64_t>(b[1]) << 48 |
                           static_cast<uint64_t>(b[2]) << 40 | static_cast<uint64_t>(b[3]) << 32 |
                           static_cast<uint64_t>(b[4]) << 24 | static_cast<uint64_t>(b[5]) << 16 |
                           static_cast<uint64_t>(b[6]) << 8 | static_cast<uint64_t>(b[7]);
        const uint32_t take = (64 - r->count) / 8;
        r->cache |= w >> r->count;
        r->next += take;
        r->count += 8 * take;
        return;
    }
    while (r->count <= 56 && r->next < r->size) {
        r->cache |= static_cast<uint64_t>(r->data[r->next++]) << (56 - r->count);
        r->count += 8;
    }
}

/* n from 1 to 32. */
static inline uint32_t ReadBits(BitReader *r, uint32_t n)
{
    if (r->count < n)
        ReaderFill(r);
    uint32_t v = static_cast<uint32_t>(r->cache >> (64 - n));
    r->cache <<= n;
    if (r->count >= n) {
        r->count -= n;
    } else {
        r->past += n - r->count;
        r->count = 0;
    }
    return v;
}

static inline int32_t ReadSigned(BitReader *r, uint32_t n)
{
    uint32_t v = ReadBits(r, n);
    return static_cast<int32_t>(v ^ (1u << (n - 1))) - static_cast<int32_t>(1u << (n - 1));
}

/* The arithmetic decoder's code register c (12 bits) at the top of a 64-bit word, the code
   bits that follow it below: a decision compares and subtracts at the top, and the range's
   renormalisation shifts the whole word, so that the next bits move into c with no reading of
   their own. The word is refilled when fewer than the 11 bits one renormalisation may take are
   left. Past the frame's bytes come zeros, which are counted. */
struct CodeWindow {
    const uint8_t *data;
    size_t size;
    size_t next;     /* the next byte to load */
    uint64_t word;   /* c in bits 63 to 52, then `avail` code bits from bit 51 down */
    uint32_t avail;  /* code bits loaded below c and not yet moved into it */
    uint32_t zeros;  /* zero bits loaded past the end */
    uint32_t before; /* zero bits the header and c took past the end */
};

static inline void WindowFill(CodeWindow *w)
{
    if (w->next + 4 <= w->size) {
        const uint8_t *b = w->data + w->next;
        const uint64_t v = static_cast<uint64_t>(b[0]) << 24 | static_cast<uint64_t>(b[1]) << 16 |
                           static_cast<uint64_t>(b[2]) << 8 | static_cast<uint64_t>(b[3]);
        w->word |= v << (20 - w->avail);
        w->avail += 32;
        w->next += 4;
        return;
    }
    while (w->avail <= 44) {
        if (w->next < w->size)
            w->word |= static_cast<uint64_t>(w->data[w->next++]) << (44 - w->avail);
        else
            w->zeros += 8;
        w->avail += 8;
    }
}

/* The window after the bits the reader r has taken, c being the last 12 of them. */
static void WindowInit(CodeWindow *w, const BitReader *r, uint32_t c)
{
    w->data = r->data;
    w->size = r->size;
    w->word = static_cast<uint64_t>(c) << 52;
    w->avail = 0;
    w->zeros = 0;
    w->before = r->past;
    const size_t at = r->past ? 8 * r->size : 8 * r->next - r->count; /* the first bit after c */
    w->next = at / 8;
    if (at % 8 != 0) {
        w->avail = 8 - static_cast<uint32_t>(at % 8);
        w->word |= static_cast<uint64_t>(static_cast<uint8_t>(r->data[w->next++] << (at % 8))) << 44;
    }
    WindowFill(w);
}

/* Zero bits taken past the end so far. */
static inline uint32_t WindowPast(const CodeWindow *w)
{
    return w->before + (w->zeros > w->avail ? w->zeros - w->avail : 0);
}

uint32_t DstFrameBits(uint32_t dsdRate)
{
    return static_cast<uint32_t>(588ull * dsdRate / 44100u);
}

int DstDecoderAccepts(uint32_t channels, uint32_t dsdRate)
{
    return channels != 0 && channels <= DST_MAX_CHANNELS && dsdRate != 0 && dsdRate <= DST_MAX_RATE &&
           dsdRate % (44100u * 8u) == 0;
}

DstDecoder *DstDecoderCreate(uint32_t channels, uint32_t dsdRate)
{
    if (!DstDecoderAccepts(channels, dsdRate))
        return NULL;
    /* Aligned for the vectors of byteSums, which malloc does not promise on every target. */
    void *memory = NULL;
    if (posix_memalign(&memory, 64, sizeof(DstDecoder)) != 0)
        return NULL;
    DstDecoder *d = static_cast<DstDecoder *>(memory);
    memset(d, 0, sizeof *d);
    d->channels = channels;
    d->frameBits = DstFrameBits(dsdRate);
    return d;
}

void DstDecoderFree(DstDecoder *decoder)
{
    free(decoder);
}

uint32_t DstFrameBytes(const DstDecoder *decoder)
{
    return decoder->frameBits / 8 * decoder->channels;
}

int DstFrameIsCoded(const uint8_t *data, size_t size)
{
    return size > 0 && (data[0] & 0x80) != 0;
}

/* A channel-to-element map: one bit "all channels use element 0", otherwise for channels 1 on
   the element's number in as many bits as the count so far needs, the count itself meaning a
   new element. Returns the number of elements, 0 on bad syntax. */
static uint32_t ReadMap(BitReader *r, uint32_t channels, uint8_t *map)
{
    uint32_t elements = 1;
    map[0] = 0;
    if (ReadBits(r, 1)) {
        for (uint32_t ch = 1; ch < channels; ch++)
            map[ch] = 0;
        return 1;
    }
    for (uint32_t ch = 1; ch < channels; ch++) {
        uint32_t width = 32 - static_cast<uint32_t>(__builtin_clz(elements));
        uint32_t e = ReadBits(r, width);
        if (e > elements)
            return 0;
        if (e == elements)
            elements++;
        map[ch] = static_cast<uint8_t>(e);
    }
    return elements;
}

/* A Rice code: zeros then a one (the high part), `lsbs` low bits, then a sign bit when the value
   is not 0. Values beyond `limit` in size are bad syntax (returns 0 there). */
static bool ReadRice(BitReader *r, uint32_t lsbs, int32_t limit, int32_t *value)
{
    uint32_t high = 0;
    while (ReadBits(r, 1) == 0) {
        if (++high > static_cast<uint32_t>(limit >> lsbs) + 1 || r->past)
            return false;
    }
    int32_t v = static_cast<int32_t>(high << lsbs);
    if (lsbs)
        v |= static_cast<int32_t>(ReadBits(r, lsbs));
    if (v > limit)
        return false;
    if (v && ReadBits(r, 1))
        v = -v;
    *value = v;
    return true;
}

/* The rounded prediction a coded coefficient is the difference from: the weighted sum of the
   previous ones over 8, rounded half up away from zero's side as the format has it. */
static inline int32_t CoefficientPrediction(int32_t x)
{
    return x >= 0 ? (x + 4) / 8 : -((-x + 3) / 8);
}

static const int8_t kFilterPredictors[3][3] = {{-8, 0, 0}, {-16, 8, 0}, {-9, -5, 6}};
static const int8_t kTablePredictors[3][3] = {{-8, 0, 0}, {-16, 8, 0}, {-24, 24, -8}};

/* One filter or probability table: its length, then either every value plainly or the first
   1 to 3 plainly and the rest Rice-coded against a prediction from the ones before. Values are
   `bits` wide, signed for filters, 1 + the plain number for tables. */
static bool ReadValues(BitReader *r, bool isFilter, int32_t *values, uint32_t *length)
{
    const uint32_t lengthBits = isFilter ? 7 : 6;
    const uint32_t bits = isFilter ? 9 : 7;
    const int32_t low = isFilter ? -256 : 1, high = isFilter ? 255 : 128;
    uint32_t n = ReadBits(r, lengthBits) + 1;
    *length = n;
    uint32_t plain = n;
    uint32_t method = 0;
    if (ReadBits(r, 1)) {
        method = ReadBits(r, 2);
        if (method == 3)
            return false;
        plain = method + 1 < n ? method + 1 : n;
    }
    for (uint32_t j = 0; j < plain; j++)
        values[j] = isFilter ? ReadSigned(r, bits) : static_cast<int32_t>(ReadBits(r, bits)) + 1;
    if (plain < n) {
        const int8_t *weights = isFilter ? kFilterPredictors[method] : kTablePredictors[method];
        uint32_t lsbs = ReadBits(r, 3);
        for (uint32_t j = plain; j < n; j++) {
            int32_t x = 0;
            for (uint32_t k = 0; k <= method; k++)
                x += weights[k] * values[j - k - 1];
            int32_t residual;
            if (!ReadRice(r, lsbs, 4096, &residual))
                return false;
            int32_t v = residual - CoefficientPrediction(x);
            if (v < low || v > high)
                return false;
            values[j] = v;
        }
    }
    return r->past == 0;
}

/* The tables of filter `element` for this frame (see DstDecoder), from its coefficients. Each
   sum is built from the one of the pattern with its lowest set bit cleared. */
static void BuildFilterSums(DstDecoder *d, uint32_t element)
{
    const int16_t *c = d->coefficients[element];
    int16_t *recent = d->recentSums[element];
    recent[0] = recent[1] = 0; /* no position uses them */
    for (uint32_t k = 0; k < 8; k++) {
        const uint32_t patterns = 2u << k;
        int16_t *r = recent + patterns;
        int32_t base = 0;
        for (uint32_t m = 0; m <= k; m++)
            base -= c[m];
        r[0] = static_cast<int16_t>(base);
        for (uint32_t h = 1; h < patterns; h++)
            r[h] = static_cast<int16_t>(r[h & (h - 1)] + 2 * c[__builtin_ctz(h)]);
    }
    const uint32_t groups = (d->filterLength[element] + 7) / 8;
    for (uint32_t g = 0; g < groups; g++) {
        DstPositionSums step[8], base = {};
        for (uint32_t t = 0; t < 8; t++) {
            for (uint32_t k = 0; k < 8; k++) {
                const int16_t v = g == 0 && t == 0 ? 0 : c[k + 8 * g + t];
                step[t][k] = static_cast<int16_t>(2 * v);
                base[k] = static_cast<int16_t>(base[k] - v);
            }
        }
        DstPositionSums *sums = d->byteSums[element][g];
        sums[0] = base;
        for (uint32_t b = 1; b < 256; b++)
            sums[b] = sums[b & (b - 1)] + step[__builtin_ctz(b)];
    }
}

/* Per channel: its filter's and table's parts, the sums of the bytes before the one being
   decoded, and its last bits. */
struct Lane {
    DstPositionSums now;  /* the whole bytes' share at each position of the byte being decoded */
    DstPositionSums next; /* that of the next byte, all but its last byte */
    const DstPositionSums (*sums)[256];
    const int16_t *recent;
    const uint8_t *table;
    uint32_t groups;
    uint32_t lastIndex;
    uint32_t halfUntil; /* bits decoded at probability 1/2 */
    uint32_t history;   /* the last bits, the most recent in bit 0 */
    /* The last 16 bytes, twice over: byte n at [(15 - n) % 16] and 16 after, so that before byte
       n the 16 before it are ring[(16 - n) % 16 ...] from the most recent on. */
    uint8_t ring[32];
};

/* The arithmetic decoder's state: its range and its window on the code. */
struct Coder {
    uint32_t a;
    CodeWindow w;
};

/* One binary decision of probability p / 256 for 0: the range's top bits times p is the share
   of 0; then the range is doubled back to 2048 or more, taking that many code bits. Written
   without branches but the fill's. */
static inline uint32_t Decide(Coder &coder, uint32_t p)
{
    uint32_t a = coder.a;
    const uint32_t q = ((a >> 8) | ((a >> 7) & 1)) * p;
    const uint32_t rest = a - q;
    const uint32_t one = static_cast<uint32_t>(coder.w.word >> 52) < rest ? 1u : 0u;
    a = one ? rest : q;
    coder.w.word = one ? coder.w.word : coder.w.word - (static_cast<uint64_t>(rest) << 52);
    const uint32_t n = static_cast<uint32_t>(__builtin_clz(a)) - 20;
    coder.a = a << n;
    coder.w.word <<= n;
    coder.w.avail -= n;
    if (coder.w.avail < 11)
        WindowFill(&coder.w);
    return one;
}

/* Bytes [from, to) of every channel into out, checking the half-probability bits when asked.
   False when the code overreads. */
template <bool kHalf> static bool DecodeBytes(Coder &coder, Lane *lanes, uint32_t channels, uint32_t from,
                                              uint32_t to, uint8_t *out)
{
    for (uint32_t n = from; n < to; n++) {
        const uint32_t s = (16 - n) % 16;
        for (uint32_t ch = 0; ch < channels; ch++) {
            Lane &l = lanes[ch];
            const DstPositionSums(*sums)[256] = l.sums;
            const uint8_t *r = l.ring + s;
            l.now = l.next + sums[0][r[0]];
            /* The bytes before the next one but the one being decoded, the oldest first. */
            DstPositionSums next = {};
            switch (l.groups) {
            case 16:
                next += sums[15][r[14]];
            /* fall through */
            case 15:
                next += sums[14][r[13]];
            /* fall through */
            case 14:
                next += sums[13][r[12]];
            /* fall through */
            case 13:
                next += sums[12][r[11]];
            /* fall through */
            case 12:
                next += sums[11][r[10]];
            /* fall through */
            case 11:
                next += sums[10][r[9]];
            /* fall through */
            case 10:
                next += sums[9][r[8]];
            /* fall through */
            case 9:
                next += sums[8][r[7]];
            /* fall through */
            case 8:
                next += sums[7][r[6]];
            /* fall through */
            case 7:
                next += sums[6][r[5]];
            /* fall through */
            case 6:
                next += sums[5][r[4]];
            /* fall through */
            case 5:
                next += sums[4][r[3]];
            /* fall through */
            case 4:
                next += sums[3][r[2]];
            /* fall through */
            case 3:
                next += sums[2][r[1]];
            /* fall through */
            case 2:
                next += sums[1][r[0]];
            /* fall through */
            default:
                break;
            }
            l.next = next;
        }
#pragma GCC unroll 8
        for (uint32_t k = 0; k < 8; k++) {
            for (uint32_t ch = 0; ch < channels; ch++) {
                Lane &l = lanes[ch];
                const uint32_t mask = (2u << k) - 1;
                const int32_t predict = l.now[k] + l.recent[mask + 1 + (l.history & mask)];
                const uint32_t magnitude = static_cast<uint32_t>(predict < 0 ? -predict : predict) >> 3;
                const uint32_t index = magnitude < l.lastIndex ? magnitude : l.lastIndex;
                const uint32_t p = kHalf && 8 * n + k < l.halfUntil ? 128u : l.table[index];
                const uint32_t bit = (static_cast<uint32_t>(predict) >> 31) ^ Decide(coder, p);
                l.history = (l.history << 1) | bit;
            }
        }
        uint8_t *o = out + static_cast<size_t>(n) * channels;
        const uint32_t at = (15 - n) % 16;
        for (uint32_t ch = 0; ch < channels; ch++) {
            Lane &l = lanes[ch];
            const uint8_t byte = static_cast<uint8_t>(l.history);
            o[ch] = byte;
            l.ring[at] = l.ring[at + 16] = byte;
        }
        /* Checked once a byte: a frame that overreads is broken wherever it is found. */
        if (WindowPast(&coder.w) > DST_AC_SLACK)
            return false;
    }
    return true;
}

static enum DstFrameResult DecodeCoded(DstDecoder *d, const uint8_t *data, size_t size, uint8_t *out)
{
    const uint32_t channels = d->channels;
    BitReader r;
    ReaderInit(&r, data, size);
    ReadBits(&r, 1); /* the coded flag */

    /* Segmentation: the same for filters and tables, the same for every channel, and one
       segment per channel are the only ones taken. */
    if (!ReadBits(&r, 1) || !ReadBits(&r, 1) || !ReadBits(&r, 1))
        return r.past ? DST_FRAME_BAD_SYNTAX : DST_FRAME_UNSUPPORTED;

    uint8_t filterOf[DST_MAX_CHANNELS], tableOf[DST_MAX_CHANNELS];
    const bool sameMap = ReadBits(&r, 1) != 0;
    const uint32_t filters = ReadMap(&r, channels, filterOf);
    if (filters == 0)
        return DST_FRAME_BAD_SYNTAX;
    uint32_t tables = filters;
    if (sameMap) {
        memcpy(tableOf, filterOf, sizeof tableOf);
    } else {
        tables = ReadMap(&r, channels, tableOf);
        if (tables == 0)
            return DST_FRAME_BAD_SYNTAX;
    }
    bool halfProbability[DST_MAX_CHANNELS];
    for (uint32_t ch = 0; ch < channels; ch++)
        halfProbability[ch] = ReadBits(&r, 1) != 0;

    int32_t values[DST_MAX_TAPS];
    for (uint32_t f = 0; f < filters; f++) {
        if (!ReadValues(&r, true, values, &d->filterLength[f]))
            return DST_FRAME_BAD_SYNTAX;
        int16_t *c = d->coefficients[f];
        for (uint32_t j = 0; j < d->filterLength[f]; j++)
            c[j] = static_cast<int16_t>(values[j]);
        for (uint32_t j = d->filterLength[f]; j < DST_MAX_TAPS + 16; j++)
            c[j] = 0;
    }
    for (uint32_t t = 0; t < tables; t++) {
        if (!ReadValues(&r, false, values, &d->tableLength[t]))
            return DST_FRAME_BAD_SYNTAX;
        for (uint32_t j = 0; j < d->tableLength[t]; j++)
            d->probabilities[t][j] = static_cast<uint8_t>(values[j]);
    }
    /* A zero bit, then the arithmetic decoder's first 12 bits. */
    if (ReadBits(&r, 1) != 0 || r.past)
        return DST_FRAME_BAD_SYNTAX;
    Coder coder;
    coder.a = 4095;
    const uint32_t c = ReadBits(&r, 12);
    if (c >= coder.a)
        return DST_FRAME_BAD_SYNTAX;
    for (uint32_t f = 0; f < filters; f++)
        BuildFilterSums(d, f);
    WindowInit(&coder.w, &r, c);

    /* One decision with a probability taken from filter 0's first coefficient comes before the
       sound; its value is not used. */
    {
        const uint32_t c0 = static_cast<uint32_t>(d->coefficients[0][0]) & 127;
        uint32_t reversed = 0;
        for (uint32_t b = 0; b < 7; b++)
            reversed |= ((c0 >> b) & 1) << (6 - b);
        Decide(coder, reversed + 1);
    }

    /* Every channel's bits before the frame are alternating ones and zeros, the most recent 0. */
    Lane lanes[DST_MAX_CHANNELS];
    uint32_t halfBits = 0;
    for (uint32_t ch = 0; ch < channels; ch++) {
        Lane &l = lanes[ch];
        const uint32_t length = d->filterLength[filterOf[ch]];
        l.groups = (length + 7) / 8;
        l.halfUntil = halfProbability[ch] ? length : 0;
        halfBits = l.halfUntil > halfBits ? l.halfUntil : halfBits;
        l.sums = d->byteSums[filterOf[ch]];
        l.recent = d->recentSums[filterOf[ch]];
        l.table = d->probabilities[tableOf[ch]];
        l.lastIndex = d->tableLength[tableOf[ch]] - 1;
        l.history = 0xAAAAAAAAu;
        memset(l.ring, 0xAA, sizeof l.ring);
        l.next = DstPositionSums{};
        for (uint32_t g = 1; g < l.groups; g++)
            l.next += l.sums[g][0xAA];
    }
    const uint32_t bytes = d->frameBits / 8;
    const uint32_t halfBytes = (halfBits + 7) / 8 < bytes ? (halfBits + 7) / 8 : bytes;
    if (!DecodeBytes<true>(coder, lanes, channels, 0, halfBytes, out) ||
        !DecodeBytes<false>(coder, lanes, channels, halfBytes, bytes, out))
        return DST_FRAME_OVERREAD;
    return DST_FRAME_OK;
}

enum DstFrameResult DstDecodeFrame(DstDecoder *decoder, const uint8_t *data, size_t size, uint8_t *out)
{
    const size_t frameBytes = DstFrameBytes(decoder);
    enum DstFrameResult result;
    if (size == 0) {
        result = DST_FRAME_BAD_SYNTAX;
    } else if (!DstFrameIsCoded(data, size)) {
        /* Stored: one header byte (the flag, a bit of no meaning, six zero bits), the bytes. */
        if ((data[0] & 0x3F) != 0) {
            result = DST_FRAME_BAD_SYNTAX;
        } else if (size - 1 < frameBytes) {
            result = DST_FRAME_TOO_SHORT;
        } else {
            memcpy(out, data + 1, frameBytes);
            result = DST_FRAME_OK;
        }
    } else {
        result = DecodeCoded(decoder, data, size, out);
    }
    if (result != DST_FRAME_OK)
        memset(out, DST_SILENCE, frameBytes);
    return result;
}
