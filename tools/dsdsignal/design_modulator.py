#!/usr/bin/env python3
"""Derives the loop-filter coefficients of the 7th-order sigma-delta modulator in
src/modulator.cpp. Pure Python (no third-party modules); run it and paste its output.

  python3 design_modulator.py [band_edge_hz] [max_ntf_gain]     (defaults: 20000 1.4)

Steps:
 1. NTF zeros: one at DC and three conjugate pairs at the Gauss-Legendre points of
    0..band edge (the placement that minimises in-band noise for a given order),
    for 2822400 Hz. The same coefficients serve every rate, so the zeros move with it.
 2. NTF poles: the maximally flat high-pass family; its one parameter is solved by
    bisection so that |NTF(-1)|, the largest gain, equals max_ntf_gain.
 3. Loop filter: a cascade of one integrator and three resonators (a delaying
    integrator followed by a non-delaying one, so the resonator poles sit exactly on
    the unit circle at the zero frequencies), with feedback a[i] of the output bit
    into every stage, unit coupling c[i] and input only into the first stage (b = a[0],
    unity gain in the band). The resonator coefficients g[i] = 2 - 2 cos(w_i) place the
    zeros; the seven a[i] are solved so that the loop filter's impulse response equals
    that of 1 - 1/NTF.
 4. Check: the NTF of the realised structure, evaluated from its state equations, is
    printed against the target at a few frequencies.
"""
import cmath
import math
import sys

FS = 2822400.0
ORDER = 7
GAUSS_LEGENDRE_7 = [0.0, 0.40584515137740, 0.74153118559939, 0.94910791234276]


def poly(roots):
    c = [1 + 0j]
    for r in roots:
        n = [0j] * (len(c) + 1)
        for i, a in enumerate(c):
            n[i] += a
            n[i + 1] -= a * r
        c = n
    return [x.real for x in c]


def evalp(c, z):
    s = 0j
    for a in c:
        s = s * z + a
    return s


def flat_poles(x):
    me2 = -0.5 * (x ** (2.0 / ORDER))
    p = []
    for k in range(1, ORDER + 1):
        w = (2 * k - 1) * math.pi / ORDER
        mb2 = 1 + me2 * cmath.exp(1j * w)
        q = mb2 - cmath.sqrt(mb2 * mb2 - 1)
        p.append(1 / q if abs(q) > 1 else q)
    return p


def synthesize(band_edge, hinf):
    zeros = []
    for r in GAUSS_LEGENDRE_7:
        w = 2 * math.pi * band_edge / FS * r
        zeros += [1 + 0j] if r == 0 else [cmath.exp(1j * w), cmath.exp(-1j * w)]
    num = poly(zeros)

    def excess(x):
        return abs(evalp(num, -1) / evalp(poly(flat_poles(x)), -1)) - hinf

    lo, hi = 1e-30, 1.0
    fhi = excess(hi)
    for _ in range(200):
        mid = math.sqrt(lo * hi)
        fm = excess(mid)
        if (fm > 0) == (fhi > 0):
            hi, fhi = mid, fm
        else:
            lo = mid
    den = poly(flat_poles(math.sqrt(lo * hi)))
    return zeros, num, den


def step(x, u, v, a, b1, c, g):
    """One sample of the loop filter; must match SigmaDeltaModulator's update."""
    n0 = x[0] + b1 * u - a[0] * v
    n1 = x[1] + c[0] * x[0] - a[1] * v - g[0] * x[2]
    n2 = x[2] + c[1] * n1 - a[2] * v
    n3 = x[3] + c[2] * x[2] - a[3] * v - g[1] * x[4]
    n4 = x[4] + c[3] * n3 - a[4] * v
    n5 = x[5] + c[4] * x[4] - a[5] * v - g[2] * x[6]
    n6 = x[6] + c[5] * n5 - a[6] * v
    return [n0, n1, n2, n3, n4, n5, n6]


def solve(m, r):
    n = len(r)
    m = [row[:] + [r[i]] for i, row in enumerate(m)]
    for i in range(n):
        p = max(range(i, n), key=lambda k: abs(m[k][i]))
        m[i], m[p] = m[p], m[i]
        for k in range(n):
            if k != i:
                f = m[k][i] / m[i][i]
                for j in range(i, n + 1):
                    m[k][j] -= f * m[i][j]
    return [m[i][n] / m[i][i] for i in range(n)]


def realize(zeros, num, den):
    ws = sorted({abs(cmath.phase(z)) for z in zeros if abs(cmath.phase(z)) > 0})
    g = [2 - 2 * math.cos(w) for w in ws]
    c = [1.0] * 6
    # impulse response of 1 - 1/NTF = (num - den) / num
    diff = [p - q for p, q in zip(num, den)]
    h = []
    for n in range(ORDER + 1):
        s = diff[n]
        for k in range(1, n + 1):
            s -= num[k] * h[n - k]
        h.append(s / num[0])
    resp = []
    for i in range(ORDER):
        a = [0.0] * ORDER
        a[i] = 1.0
        x = [0.0] * ORDER
        ys = []
        for n in range(ORDER + 1):
            ys.append(x[-1])
            x = step(x, 0.0, 1.0 if n == 0 else 0.0, a, 0.0, c, g)
        resp.append(ys)
    m = [[resp[i][n] for i in range(ORDER)] for n in range(1, ORDER + 1)]
    a = solve(m, h[1:ORDER + 1])
    return a, a[0], c, g


def realized_ntf(a, b1, c, g, f):
    z = cmath.exp(2j * math.pi * f / FS)
    bv = step([0.0] * ORDER, 0.0, 1.0, a, b1, c, g)
    cols = []
    for j in range(ORDER):
        e = [0.0] * ORDER
        e[j] = 1.0
        cols.append(step(e, 0.0, 0.0, a, b1, c, g))
    # x' = A x + bv v, y = x[6], v = y + e  ->  NTF = 1 + (zI - A - bv C)^-1 bv |_6
    m = [[(z if i == j else 0) - cols[j][i] - (bv[i] if j == ORDER - 1 else 0)
          for j in range(ORDER)] for i in range(ORDER)]
    return 1 + solve(m, bv[:])[ORDER - 1]


def main():
    band_edge = float(sys.argv[1]) if len(sys.argv) > 1 else 20000.0
    hinf = float(sys.argv[2]) if len(sys.argv) > 2 else 1.4
    zeros, num, den = synthesize(band_edge, hinf)
    a, b1, c, g = realize(zeros, num, den)
    print('// NTF check (realised vs target):')
    for f in (1000, 10000, 20000, 30000, 40000, 60000, 100000, 700000):
        got = abs(realized_ntf(a, b1, c, g, f))
        want = abs(evalp(num, cmath.exp(2j * math.pi * f / FS)) /
                   evalp(den, cmath.exp(2j * math.pi * f / FS)))
        print('//   %7.0f Hz: %8.2f dB (target %8.2f dB)' %
              (f, 20 * math.log10(got), 20 * math.log10(want)))
    fmt = lambda v: ', '.join('%.17g' % x for x in v)
    print('constexpr double kFeedback[7] = {%s};' % fmt(a))
    print('constexpr double kResonator[3] = {%s};' % fmt(g))


if __name__ == '__main__':
    main()
