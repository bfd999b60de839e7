/*
 * hq_filters.h - the filters of the high-quality PCM converter.
 *
 * A first stage of 8 x `bytes` taps runs on the DSD bits through byte tables;
 * only taps 0 to 4 x bytes are stored, the rest mirror them about tap 4 x bytes
 * (tap 0 is zero, so the filter has odd length and a centre on a byte boundary).
 * A half-band of n = 4k - 1 taps stores its k nonzero taps at even offsets from
 * its start, then its centre tap; the other half mirrors them.
 * The constants come from tools/hq/design_hq_filters.py.
 */
#ifndef VELMDSD_HQ_FILTERS_H
#define VELMDSD_HQ_FILTERS_H

extern const double hqFirstRatio1[97];   /* 24 bytes, step 1: output rate = dsdRate / 8 */
extern const double hqFirstRatio2[65];   /* 16 bytes, step 1: to twice the output rate */
extern const double hqFirstRatio4[129];  /* 32 bytes, step 2: to twice the output rate (ratio 4) */
extern const double hqFirstRatio8[81];   /* 20 bytes, step 2: to dsdRate / 16 (ratio 8) */
extern const double hqFirstRatio16[65];  /* 16 bytes, step 2: to 8 x the output rate (ratio 16) */
extern const double hqFirstRatio32[129]; /* 32 bytes, step 4: to 8 x the output rate (ratio 32) */
extern const double hqFirstRatio64[97];  /* 24 bytes, step 4: to dsdRate / 32 (ratio 64 and above) */
extern const double hqHalfBand119A[31];  /* last stage for ratio 2 */
extern const double hqHalfBand127A[33];  /* last stage for ratio 4 */
extern const double hqHalfBand111[29];   /* last stage for ratio 8 and above */
extern const double hqHalfBand39[11];    /* the stage after the first at ratios 8 and 16 */
extern const double hqHalfBand31[9];     /* the other stages of the two before the last */
extern const double hqHalfBand19[6];     /* maximally flat: 16 to 8 x the output rate */
extern const double hqHalfBand15[5];     /* maximally flat: from 32 x the output rate on */

#endif /* VELMDSD_HQ_FILTERS_H */
