#!/usr/bin/env python3
"""Designs the filters of the high-quality PCM converter and writes src/convert/hq_filters.cpp.

The converter decimates in one table-driven FIR on the DSD bits, then in linear-phase
half-band stages. Everything is normalised to the output rate Fo; the passband edge is
0.4535 Fo (20 kHz at 44.1 kHz). With `ratio` = DSD bytes per output sample:

  ratio 1:  first stage steps 1 byte  (to Fo),  no half-band
  ratio 2:  first stage steps 1 byte  (to 2 Fo), half-band HB119A (see below)
  ratio 4:  first stage steps 2 bytes (to 2 Fo) over 32 bytes, HB127A (24 bytes kept 1 to 5 dB
            more of the noise that folds onto the passband)
  ratio 8:  first stage steps 2 bytes (to 4 Fo), then HB39, HB111
  ratio 16: first stage steps 2 bytes, a design of its own (to 8 Fo), then HB39 HB31 HB111
  ratio 32: first stage steps 4 bytes, a design of its own (to 8 Fo), then HB31 HB31 HB111
  ratio 64: first stage steps 4 bytes (to 16 Fo), then MF19 HB31 HB31 HB111
  ratio 128+: the ratio-64 first stage, one MF15 more per further halving in front

Each byte enters (bytes in the window) / (step) first-stage windows: 16 at ratio 4, 10 at ratio
8, 8 at ratios 16 and 32, 6 at ratio 64. The longer step of ratios 32 and 64 drops the half-band at 16 or 32 Fo (80
multiplications an output) for no more table look-ups: the vector kernels add 8 lanes a byte
whether 6 or 8 of them are used. Shorter windows (12 or 14 bytes at ratio 16, 16 at 64) measured
0.5 to 3 dB further from the bits with the aggressive test modulator.

At ratios 16 and 32 the first HB31 after the first stage (at 8 Fo) is all that rejects the bands
at the odd multiples of 4 Fo, where a modulator's noise is 100 dB above its floor in the
passband and HB31's 122 dB are not enough: their designs also stop those bands (weight 1) from
12 Fo on. Ratio 32 once stepped 2 bytes (12 bytes to 16 Fo, then MF19); stepping 4 without those
bands, or with 28 bytes, the aggressive modulator's tone at DSD256 decoded 1 dB further from its
bits. The same bands cost ratio 8 (the half-band at 4 Fo, odd multiples of 2 Fo) 10 dB and more,
and ratio 4 gains nothing from them.

At ratios 8 and 16 the half-band right after the first stage is HB39 (153 dB) rather than HB31
(122 dB), and ratio 8's window has 20 bytes rather than 16: on a float64 model of the chain run on
the aggressive modulator's bits, DSD128 to 88.2 kHz went from 150.8 to 175.1 dB and DSD64 to
44.1 kHz from 145.9 to 155.1 (what the bits hold); 24 and 32 bytes gave no more at DSD64.

The designs for ratio 16 and above protect only 0.4535 Fo around the folding frequencies (the
ratio-8 design used there before protected its own, wider band), which takes fewer bytes, and
their stop bands weigh 100 times the passband. The half-bands that follow them on a high rate
keep a band that is small against their input rate: maximally flat half-bands (MF, a
zero of order 2k at the input's Nyquist frequency) of 15 and 19 taps reject it by 185 and
168 dB where a 31-tap Kaiser half-band was used before.

The last half-band of ratios 2 and 4 runs at twice an output rate of 176.4 or 88.2 kHz and more,
whose passband (0.4535 Fo) reaches far above 20 kHz. The modulator's own noise fills that band
already, tens of dB above anything folding into it, but below 20 kHz nothing should add to what the
bits hold. Those half-bands (A: weighted to the audio band) are equiripple designs whose stop band
weighs 3000 (HB119A, ratio 2) or 1000 (HB127A, ratio 4) times more where it folds onto 0 to 20 kHz
at the ratio's lowest output rate: 160 and 153 dB there, 90 and 93 dB at the stop band's edge. The
Kaiser HB159 and HB143 they replace reached 142 and 125 dB where it counts: on a float64 model of
the chain run on the aggressive modulator's bits, DSD128 to 352.8 and 176.4 kHz came 5.0 and 3.7
dB below what the bits hold, 1.1 and 0.6 with these, with fewer taps. The first stages of ratios 2
and 4 also weigh the middle of their own stop bands (what folds onto 0 to 20 kHz at DSD64) 100 and
10 times more: 0.3 and 0.2 dB from the bits then. The ratio-1 stage's stop bands weigh 100 times
its passband: at weight 1, DSD64 to 352.8 kHz came 0.7 dB from the bits, now 0.1.

Above 44.1 kHz a float output holds less than a pure tone's rounding suggests: the modulator's
ultrasonic noise, kept in the passband, makes the samples larger and their roundings coarser.

The first stage only has to reject the bands that fold onto the passband (m Fi +- the
protected width, Fi its output rate); a least-squares design with those stop bands is
far shorter than a plain low-pass. Needs numpy and scipy; run from the repository root:
    python3 tools/hq/design_hq_filters.py > src/convert/hq_filters.cpp
"""
import numpy as np
import scipy.signal as ss

PB = 0.4535  # passband edge over Fo
AUDIO = 20000 / 2822400  # 20 kHz over the DSD64 rate


def first_stage(taps_bytes, step, fp, width, fi, stop_weight=1.0, next_fold=None, audio=None):
    """Odd-length least-squares FIR of 8 * taps_bytes - 1 taps (rates over the DSD rate),
    a zero in front so that it fills whole bytes and its centre lies on a byte boundary.
    next_fold = (fn, m0): also stop bands of weight 1 at the odd multiples m fn +- width from
    m0 on, where the half-band after the stage (at 2 fn) folds onto the passband.
    audio = (a, w): the part of each of the stage's own stop bands that folds onto 0 to a
    weighs w."""
    n = 8 * taps_bytes - 1
    stops = []
    m = 1
    while m * fi - width < 0.5:
        c = m * fi
        if audio is None:
            stops.append((c - width, c + width, stop_weight))
        else:
            a, w = audio
            stops += [(c - width, c - a, stop_weight), (c - a, c + a, w), (c + a, c + width, stop_weight)]
        m += 1
    if next_fold is not None:
        fn, m = next_fold
        while m * fn - width < 0.5:
            stops.append((m * fn - width, m * fn + width, 1.0))
            m += 2
    bands, desired, weight = [0.0, fp], [1.0, 1.0], [1.0]
    for lo, hi, w in sorted(stops):
        if lo < 0.5:
            bands += [lo, min(0.5, hi)]
            desired += [0.0, 0.0]
            weight += [w]
    h = ss.firls(n, np.array(bands) * 2.0, desired, weight=weight)
    h = h / h.sum()
    return np.concatenate([[0.0], h])


def half_band(n, fp):
    """Kaiser-windowed half-band of n = 4k - 1 taps; the window's beta is the one that rejects
    most from 0.5 - fp on while the passband to fp stays within 0.01 dB."""
    best = None
    for beta in np.arange(3.0, 20.0, 0.25):
        c = (n - 1) // 2
        k = np.arange(n) - c
        h = 0.5 * np.sinc(k / 2.0) * np.kaiser(n, beta)
        h = h / h.sum()
        w, resp = ss.freqz(h, worN=2**15, fs=1.0)
        ripple = np.abs(20 * np.log10(np.abs(resp[w <= fp]))).max()
        stop = 20 * np.log10(np.abs(resp[w >= 0.5 - fp]).max())
        if ripple < 0.01 and (best is None or stop < best[1]):
            best = (beta, stop, h)
    return best


def half_band_audio(n, fp, audio, weight):
    """Half-band of n = 4k - 1 taps, H(f) = 1/2 + G(2f) / 2 with G an equiripple filter of 2k taps
    (type II: G(1/2) = 0) that is 1 on [0, 2 fp]. H's stop-band error at 1/2 - x is half G's
    passband error at 2x, so G's weight on [0, audio] (over the half-band's output rate) buys
    rejection where the stop band folds onto that band."""
    k = (n + 1) // 4
    g = ss.remez(2 * k, [0, audio, audio + 1e-4, 2 * fp], [1, 1], weight=[weight, 1], fs=1.0, maxiter=200)
    h = np.zeros(n)
    c = n // 2
    h[c] = 0.5
    for j in range(2 * k):
        h[c + 2 * j - 2 * k + 1] = g[j] / 2
    w, resp = ss.freqz(h, worN=2**16, fs=1.0)
    stop = 20 * np.log10(np.abs(resp[w >= 0.5 - fp]).max())
    folds = 20 * np.log10(np.abs(resp[w >= 0.5 - audio / 2]).max())
    return stop, folds, h


def max_flat(k):
    """Maximally flat half-band of 4k - 1 taps: centre 1/2, the taps at odd offsets half the
    Lagrange weights that interpolate the midpoint from its 2k neighbours."""
    xs = np.arange(-2 * k + 1, 2 * k, 2) / 2.0
    n = 4 * k - 1
    c = n // 2
    h = np.zeros(n)
    for xi in xs:
        h[c + int(2 * xi)] = np.prod([-xj / (xi - xj) for xj in xs if xj != xi]) / 2
    h[c] = 0.5
    return h


def emit(name, values, comment):
    print("/* %s */" % comment)
    print("const double %s[%d] = {" % (name, len(values)))
    for i in range(0, len(values), 3):
        print("    " + ", ".join("%.17g" % v for v in values[i:i + 3]) + ",")
    print("};\n")


def main():
    firsts = [  # name, bytes in the window, step in bytes, passband, protected width, Fi (over the DSD rate)
        ("hqFirstRatio1", 24, 1, 0.45 / 8, 0.0567 / 8, 1 / 8, 100.0),
        ("hqFirstRatio2", 16, 1, PB / 16, PB / 16, 1 / 8, 1.0, None, (AUDIO, 100.0)),
        ("hqFirstRatio4", 32, 2, PB / 32, PB / 32, 1 / 16, 1.0, None, (AUDIO, 10.0)),
        ("hqFirstRatio8", 20, 2, PB / 64, PB / 64, 1 / 16),
        ("hqFirstRatio16", 16, 2, PB / 128, PB / 128, 1 / 16, 100.0, (1 / 32, 3)),
        ("hqFirstRatio32", 32, 4, PB / 256, PB / 256, 1 / 32, 100.0, (1 / 64, 3)),
        ("hqFirstRatio64", 24, 4, PB / 512, PB / 512, 1 / 32, 100.0),
    ]
    halves = [("hqHalfBand111", 111, PB / 2), ("hqHalfBand31", 31, PB / 4), ("hqHalfBand39", 39, PB / 4)]
    audio = [  # name, taps, weight, audio band over the output rate (20 kHz at 176.4 and 88.2 kHz)
        ("hqHalfBand119A", 119, 3000.0, 20000 / 176400), ("hqHalfBand127A", 127, 1000.0, 20000 / 88200)]
    print("/* Generated by tools/hq/design_hq_filters.py: do not edit. */")
    print('#include "convert/hq_filters.h"\n')
    print("// clang-format off\n")
    for name, g, step, fp, width, fi, *weight in firsts:
        h = first_stage(g, step, fp, width, fi, *weight)
        emit(name, h[: 4 * g + 1], "first stage, %d bytes stepping %d: taps 0 to %d of %d (symmetric about %d)"
             % (g, step, 4 * g, 8 * g, 4 * g))
    for name, n, fp in halves:
        beta, stop, h = half_band(n, fp)
        c = (n - 1) // 2
        emit(name, h[0:c + 1:2].tolist() + [h[c]],
             "half-band of %d taps (Kaiser beta %.2f, %.0f dB from %.4f of its input rate): the taps "
             "at even offsets from the start, then the centre" % (n, beta, stop, 0.5 - fp))
    for name, n, weight, band in audio:
        stop, folds, h = half_band_audio(n, PB / 2, band, weight)
        c = (n - 1) // 2
        emit(name, h[0:c + 1:2].tolist() + [h[c]],
             "half-band of %d taps weighted to 0 to %.4f of its output rate (%.0f dB where it folds "
             "there, %.0f dB from %.4f of its input rate): the taps at even offsets from the start, "
             "then the centre" % (n, band, folds, stop, 0.5 - PB / 2))
    for name, k, fp in [("hqHalfBand15", 4, PB / 32), ("hqHalfBand19", 5, PB / 16)]:
        h = max_flat(k)
        n = 4 * k - 1
        c = (n - 1) // 2
        w, resp = ss.freqz(h, worN=2**16, fs=1.0)
        stop = 20 * np.log10(np.abs(resp[w >= 0.5 - fp]).max())
        emit(name, h[0:c + 1:2].tolist() + [h[c]],
             "maximally flat half-band of %d taps (%.0f dB from %.4f of its input rate): the taps at "
             "even offsets from the start, then the centre" % (n, stop, 0.5 - fp))


if __name__ == "__main__":
    main()
