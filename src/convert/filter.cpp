#include "convert/filter.h"

#include <float.h>
#include <math.h>

#include "convert/kernels.h"
#include "host/host_api.h"

/* The filter's roundings need float and double arithmetic in their own precision: x87 keeps
 * excess precision and changes the last bits, so 32-bit x86 builds use -msse2 -mfpmath=sse. */
static_assert(FLT_EVAL_METHOD == 0, "float and double arithmetic must round to their own precision");

uint8_t bitReverse[256];

void BuildBitReverse(void)
{
    /* A counter that counts in reversed bit order: carry runs from bit 7 down. */
    uint32_t v = 0;
    for (int i = 0; i < 256; i++) {
        bitReverse[i] = static_cast<uint8_t>(v);
        for (uint32_t mask = 0x80; mask != 0; mask >>= 1) {
            v ^= mask;
            if (v & mask)
                break;
        }
    }
}

/*
 * Every step below is fixed to the last bit: double precision unless a
 * rounding to float is written, each product rounded before the following
 * addition (the library is built with -ffp-contract=off).
 */
double FilterCutoff(uint32_t dsdRate, int32_t ratio)
{
    /* 25 kHz, or 0.44 times the output rate when that is lower; as a fraction of dsdRate / 2. */
    double fc = 50000.0 / static_cast<double>(dsdRate);
    double d = 0.11 / static_cast<double>(ratio);
    if (fc > d)
        fc = d;
    return static_cast<double>(static_cast<float>(fc));
}

void DesignFilterTaps(uint32_t dsdRate, int32_t ratio, float taps[FILTER_TAPS])
{
    const double fc = FilterCutoff(dsdRate, ratio);

    float h[FILTER_TAPS / 2];
    double x = -312.58846903218443; /* -99.5 pi */
    double sum = 0.0;
    for (int n = 0; n < FILTER_TAPS / 2; n++) {
        double theta = 3.141592653589793 + x * 0.01;
        double w = (0.41999998688697815 + cos(theta + theta) * 0.07999999821186066) - cos(theta) * 0.5;
        double k = sin(x * fc) / x;
        h[n] = static_cast<float>(w * k);
        sum = sum + static_cast<double>(h[n]);
        x = x + 3.141592653589793;
    }

    double scale = 1.0 / (sum + sum);
    for (int n = 0; n < FILTER_TAPS / 2; n++) {
        float t = static_cast<float>(static_cast<double>(h[n]) * scale);
        taps[n] = t;
        taps[FILTER_TAPS - 1 - n] = t;
    }
}

float FilterGain(float gainDb, bool floatOutput)
{
    double amplitude = pow(10.0, static_cast<double>(gainDb) * 0.05);
    return static_cast<float>(amplitude * (floatOutput ? 1.0 : 32768.0));
}

void BuildFilterTables(DsdStream *stream)
{
    float taps[FILTER_TAPS];
    DesignFilterTaps(stream->dsdRate, stream->ratio, taps);
    float g = FilterGain(stream->gainDb, (stream->flags & STREAM_FLOAT) != 0);
    const float sign[2] = {-g, g};

    for (int group = 0; group < FILTER_GROUPS; group++) {
        float *table = stream->filterTables[group];
        const float *tap = taps + 8 * group;
        /* Entry 255 - b inverts every bit of b, so it is exactly -entry b. */
        for (int b = 0; b < 128; b++) {
            double acc = 0.0;
            for (int k = 0; k < 8; k++) {
                int bit = stream->lsbFirst ? (b >> k) & 1 : (b >> (7 - k)) & 1;
                float p = sign[bit] * tap[k];
                acc = acc + static_cast<double>(p);
            }
            table[b] = static_cast<float>(acc);
            table[255 - b] = -table[b];
        }
    }
    /* The set chosen once here, for the stream's reads too: no look-up per read. */
    stream->kernels = ConvertKernelsBest();
    PcmPrepare *prepare = stream->kernels->pcmPrepare;
    stream->laneTables.ratio = 0;
    if (prepare != nullptr)
        prepare(stream->filterTables, static_cast<uint32_t>(stream->ratio), &stream->laneTables);
}
