#include "dsdsignal/measure.h"

#include <cmath>
#include <complex>
#include <limits>

namespace dsdsignal {
namespace {

using Complex = std::complex<double>;
constexpr double kPi = 3.14159265358979323846;

// Minimum 7-term Blackman-Harris: w(n) = sum (-1)^k c_k cos(2 pi k n / N).
constexpr double kWindow[7] = {0.27105140069342, 0.43329793923448, 0.21812299954311, 0.06592544638803,
                               0.01081174209837, 0.00077658482522, 0.00001388721735};
constexpr double kMainLobeBins = 8.0; // half-width 7 bins, plus one for safety

// In-place iterative radix-2 FFT; a.size() is a power of two.
void Fft(std::vector<Complex> &a)
{
    const size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap(a[i], a[j]);
    }
    std::vector<Complex> twiddle(n / 2);
    for (size_t k = 0; k < n / 2; ++k)
        twiddle[k] = std::polar(1.0, -2.0 * kPi * double(k) / double(n));
    for (size_t len = 2; len <= n; len <<= 1) {
        const size_t half = len / 2, stride = n / len;
        for (size_t i = 0; i < n; i += len) {
            for (size_t k = 0; k < half; ++k) {
                const Complex u = a[i + k];
                const Complex v = a[i + k + half] * twiddle[k * stride];
                a[i + k] = u + v;
                a[i + k + half] = u - v;
            }
        }
    }
}

} // namespace

ToneMeasurement MeasureTone(const float *samples, size_t count, double sampleRate, double toneHz,
                            double bandLo, double bandHi, size_t stride)
{
    ToneMeasurement m;
    if (count < 64 || !(sampleRate > 0.0) || stride == 0) {
        m.signalDb = m.noiseDb = -std::numeric_limits<double>::infinity();
        m.snrDb = std::numeric_limits<double>::quiet_NaN();
        return m;
    }
    size_t padded = 2;
    while (padded < count)
        padded <<= 1;

    // Real FFT of length `padded` through a complex FFT of half the length: even samples
    // in the real part, odd ones in the imaginary part.
    const size_t half = padded / 2;
    std::vector<Complex> z(half);
    double windowEnergy = 0.0;
    auto windowed = [&](size_t n) -> double {
        if (n >= count)
            return 0.0;
        // cos(k t) by the Chebyshev recurrence from cos(t).
        const double c1 = std::cos(2.0 * kPi * double(n) / double(count));
        double prev = 1.0, cur = c1;
        double w = kWindow[0] - kWindow[1] * c1;
        for (int k = 2; k < 7; ++k) {
            const double next = 2.0 * c1 * cur - prev;
            prev = cur;
            cur = next;
            w += ((k & 1) ? -kWindow[k] : kWindow[k]) * cur;
        }
        windowEnergy += w * w;
        return w * double(samples[n * stride]);
    };
    for (size_t i = 0; i < half; ++i) {
        const double re = windowed(2 * i);
        const double im = windowed(2 * i + 1);
        z[i] = Complex(re, im);
    }
    Fft(z);

    const double binHz = sampleRate / double(padded);
    const double lobeHz = kMainLobeBins * sampleRate / double(count);
    double signal = 0.0, noise = 0.0;
    for (size_t k = 1; k < half; ++k) {
        const Complex a = z[k], b = std::conj(z[half - k]);
        const Complex even = 0.5 * (a + b);
        const Complex odd = Complex(0.0, -0.5) * (a - b);
        const Complex x = even + std::polar(1.0, -2.0 * kPi * double(k) / double(padded)) * odd;
        const double p = std::norm(x);
        const double f = double(k) * binHz;
        if (std::fabs(f - toneHz) <= lobeHz) {
            signal += p;
        } else if (f >= bandLo && f <= bandHi && f > lobeHz) {
            noise += p;
        }
    }
    // A component of amplitude A puts P * sum(w^2) * A^2 / 4 into the positive bins.
    const double scale = 4.0 / (double(padded) * windowEnergy);
    m.signalDb = 10.0 * std::log10(signal * scale);
    m.noiseDb = 10.0 * std::log10(noise * scale);
    m.snrDb = m.signalDb - m.noiseDb;
    return m;
}

double MeasureSnrDb(const float *samples, size_t count, double sampleRate, double toneHz, double bandLo,
                    double bandHi)
{
    return MeasureTone(samples, count, sampleRate, toneHz, bandLo, bandHi, 1).snrDb;
}

double MeasureChannelSnrDb(const float *interleaved, size_t frames, uint32_t channels, uint32_t channel,
                           double sampleRate, double toneHz, double bandLo, double bandHi)
{
    if (channels == 0 || channel >= channels)
        return std::numeric_limits<double>::quiet_NaN();
    return MeasureTone(interleaved + channel, frames, sampleRate, toneHz, bandLo, bandHi, channels).snrDb;
}

std::vector<float> DsdToFloat(const uint8_t *bytes, uint64_t bitCount)
{
    std::vector<float> out(bitCount);
    for (uint64_t i = 0; i < bitCount; ++i) {
        out[i] = ((bytes[i >> 3] >> (7 - (i & 7))) & 1u) ? 1.0f : -1.0f;
    }
    return out;
}

} // namespace dsdsignal
