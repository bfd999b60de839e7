#include "dsdsignal/dst.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace dsdsignal {
namespace {

constexpr uint32_t kMaxChannels = 6;
constexpr uint32_t kMaxTaps = 128;
constexpr uint32_t kMaxTable = 64;

class BitWriter {
public:
    void Put(uint32_t value, uint32_t bits)
    {
        for (uint32_t b = bits; b-- > 0;)
            bits_.push_back(static_cast<uint8_t>((value >> b) & 1));
    }
    void PutSigned(int32_t value, uint32_t bits)
    {
        Put(static_cast<uint32_t>(value) & ((1u << bits) - 1), bits);
    }
    void Append(const std::vector<uint8_t> &bits) { bits_.insert(bits_.end(), bits.begin(), bits.end()); }
    size_t Size() const { return bits_.size(); }
    std::vector<uint8_t> Bytes() const
    {
        std::vector<uint8_t> out((bits_.size() + 7) / 8, 0);
        for (size_t i = 0; i < bits_.size(); i++)
            if (bits_[i])
                out[i / 8] |= static_cast<uint8_t>(0x80u >> (i % 8));
        return out;
    }

private:
    std::vector<uint8_t> bits_; // one bit an entry
};

// The coder the decoder mirrors: a 12-bit range a and the low end of the interval, whose
// bits leave at the top as a is doubled back to 2048 or more; a carry out of the low end runs
// back into the bits already sent.
class ArithmeticEncoder {
public:
    void Code(uint32_t p, uint32_t e)
    {
        const uint32_t k = (a_ >> 8) | ((a_ >> 7) & 1);
        const uint32_t q = k * p;
        const uint32_t rest = a_ - q;
        if (e) {
            a_ = rest;
        } else {
            low_ += rest;
            a_ = q;
            if (low_ >= 4096) {
                low_ -= 4096;
                size_t j = bits_.size();
                while (j > 0 && bits_[j - 1] == 1)
                    bits_[--j] = 0;
                if (j > 0)
                    bits_[j - 1] = 1;
            }
        }
        while (a_ < 2048) {
            a_ <<= 1;
            bits_.push_back(static_cast<uint8_t>((low_ >> 11) & 1));
            low_ = (low_ << 1) & 4095;
        }
    }
    // The low end in full: the decoder then reads exactly the bits sent.
    std::vector<uint8_t> Finish()
    {
        for (int b = 11; b >= 0; b--)
            bits_.push_back(static_cast<uint8_t>((low_ >> b) & 1));
        return bits_;
    }

private:
    uint32_t a_ = 4095;
    uint32_t low_ = 0;
    std::vector<uint8_t> bits_;
};

// One channel's past as the decoder keeps it: 128 bits, the most recent in bit 0 of recent.
struct History {
    uint64_t recent = 0xAAAAAAAAAAAAAAAAull;
    uint64_t older = 0xAAAAAAAAAAAAAAAAull;
    int Bit(uint32_t delay) const // 1 for the previous bit
    {
        const uint32_t d = delay - 1;
        return static_cast<int>(((d < 64 ? recent >> d : older >> (d - 64))) & 1);
    }
    void Push(uint32_t bit)
    {
        older = (older << 1) | (recent >> 63);
        recent = (recent << 1) | bit;
    }
};

int32_t Predict(const History &h, const int32_t *c, uint32_t taps)
{
    int32_t sum = 0;
    for (uint32_t l = 0; l < taps; l++)
        sum += h.Bit(l + 1) ? c[l] : -c[l];
    return sum;
}

int32_t CoefficientPrediction(int32_t x)
{
    return x >= 0 ? (x + 4) / 8 : -((-x + 3) / 8);
}

const int32_t kFilterPredictors[3][3] = {{-8, 0, 0}, {-16, 8, 0}, {-9, -5, 6}};
const int32_t kTablePredictors[3][3] = {{-8, 0, 0}, {-16, 8, 0}, {-24, 24, -8}};

// Residuals of the Rice coding with `method` (1 to 3 values plainly first).
std::vector<int32_t> Residuals(const std::vector<int32_t> &v, uint32_t method, bool isFilter)
{
    std::vector<int32_t> r;
    const int32_t(*w)[3] = isFilter ? kFilterPredictors : kTablePredictors;
    for (size_t j = method + 1; j < v.size(); j++) {
        int32_t x = 0;
        for (uint32_t k = 0; k <= method; k++)
            x += w[method][k] * v[j - k - 1];
        r.push_back(v[j] + CoefficientPrediction(x));
    }
    return r;
}

size_t RiceBits(const std::vector<int32_t> &r, uint32_t lsbs)
{
    size_t n = 0;
    for (int32_t x : r) {
        const uint32_t m = static_cast<uint32_t>(std::abs(x));
        n += (m >> lsbs) + 1 + lsbs + (m ? 1 : 0);
    }
    return n;
}

// Writes one filter (9-bit signed values, 7-bit length) or table (7-bit values less one, 6-bit
// length) in the coding asked for, or the smaller one.
void PutValues(BitWriter &w, const std::vector<int32_t> &v, bool isFilter, DstValueCoding coding)
{
    const uint32_t lengthBits = isFilter ? 7 : 6, bits = isFilter ? 9 : 7;
    const size_t plainBits = v.size() * bits;
    uint32_t bestMethod = 0, bestLsbs = 0;
    size_t best = SIZE_MAX;
    for (uint32_t method = 0; method < 3 && method + 1 < v.size(); method++) {
        const std::vector<int32_t> r = Residuals(v, method, isFilter);
        for (uint32_t lsbs = 0; lsbs < 8; lsbs++) {
            const size_t n = 2 + (method + 1) * bits + 3 + RiceBits(r, lsbs);
            if (n < best) {
                best = n;
                bestMethod = method;
                bestLsbs = lsbs;
            }
        }
    }
    const bool rice = best != SIZE_MAX && (coding == DstValueCoding::kRice ||
                                           (coding == DstValueCoding::kSmallest && best < plainBits));
    w.Put(static_cast<uint32_t>(v.size() - 1), lengthBits);
    w.Put(rice ? 1 : 0, 1);
    auto plain = [&](int32_t x) {
        if (isFilter)
            w.PutSigned(x, bits);
        else
            w.Put(static_cast<uint32_t>(x - 1), bits);
    };
    if (!rice) {
        for (int32_t x : v)
            plain(x);
        return;
    }
    w.Put(bestMethod, 2);
    for (uint32_t j = 0; j <= bestMethod; j++)
        plain(v[j]);
    w.Put(bestLsbs, 3);
    for (int32_t x : Residuals(v, bestMethod, isFilter)) {
        const uint32_t m = static_cast<uint32_t>(std::abs(x));
        for (uint32_t z = m >> bestLsbs; z > 0; z--)
            w.Put(0, 1);
        w.Put(1, 1);
        if (bestLsbs)
            w.Put(m & ((1u << bestLsbs) - 1), bestLsbs);
        if (m)
            w.Put(x < 0 ? 1 : 0, 1);
    }
}

// A channel-to-element map: "one for all" when every entry is 0, otherwise each entry after
// the first in as many bits as the element count so far needs.
void PutMap(BitWriter &w, const std::vector<uint32_t> &map)
{
    const bool allZero = std::all_of(map.begin(), map.end(), [](uint32_t e) { return e == 0; });
    w.Put(allZero ? 1 : 0, 1);
    if (allZero)
        return;
    uint32_t elements = 1;
    for (size_t ch = 1; ch < map.size(); ch++) {
        uint32_t width = 32 - static_cast<uint32_t>(__builtin_clz(elements));
        w.Put(map[ch], width);
        if (map[ch] == elements)
            elements++;
    }
}

// Least-squares predictor of s[t] from s[t-1..t-taps] over the channels given (Levinson's
// recursion on their summed autocorrelation), as doubles.
std::vector<double> DesignPredictor(const std::vector<std::vector<int8_t>> &signals, uint32_t taps)
{
    std::vector<double> r(taps + 1, 0.0);
    for (const std::vector<int8_t> &s : signals) {
        const size_t n = s.size();
        for (uint32_t k = 0; k <= taps && k < n; k++) {
            int64_t sum = 0;
            for (size_t t = k; t < n; t++)
                sum += s[t] * s[t - k];
            r[k] += static_cast<double>(sum);
        }
    }
    std::vector<double> a(taps + 1, 0.0), prev(taps + 1, 0.0);
    if (r[0] <= 0)
        return std::vector<double>(taps, 0.0);
    r[0] *= 1.0 + 1e-9; // keeps the recursion stable on a constant signal
    double err = r[0];
    for (uint32_t i = 1; i <= taps; i++) {
        double acc = r[i];
        for (uint32_t j = 1; j < i; j++)
            acc -= prev[j] * r[i - j];
        const double k = acc / err;
        a[i] = k;
        for (uint32_t j = 1; j < i; j++)
            a[j] = prev[j] - k * prev[i - j];
        err *= 1.0 - k * k;
        if (err <= 0)
            break;
        prev = a;
    }
    return std::vector<double>(a.begin() + 1, a.end());
}

struct Group {
    std::vector<uint32_t> channels;
};

// The channels that share element e of a map of c / perElement.
std::vector<Group> Groups(uint32_t channels, uint32_t perElement)
{
    std::vector<Group> groups((channels + perElement - 1) / perElement);
    for (uint32_t ch = 0; ch < channels; ch++)
        groups[ch / perElement].channels.push_back(ch);
    return groups;
}

std::vector<uint8_t> Uncoded(const uint8_t *interleaved, size_t bytes)
{
    std::vector<uint8_t> out(1 + bytes, 0);
    memcpy(out.data() + 1, interleaved, bytes);
    return out;
}

// The quantised filter: the predictor scaled so that predictions of the sizes that matter
// spread over the table, within the coefficients' range.
std::vector<int32_t> QuantiseFilter(const std::vector<double> &a)
{
    double largest = 0;
    for (double x : a)
        largest = std::max(largest, std::fabs(x));
    double scale = 256.0;
    if (largest * scale > 255.0)
        scale = 255.0 / largest;
    std::vector<int32_t> c(a.size());
    for (size_t l = 0; l < a.size(); l++)
        c[l] = std::clamp(static_cast<int32_t>(std::lround(a[l] * scale)), -256, 255);
    return c;
}

} // namespace

uint32_t DstFrameBitsAt(uint32_t dsdRate)
{
    return static_cast<uint32_t>(588ull * dsdRate / 44100u);
}

std::vector<uint8_t> EncodeDstFrame(const uint8_t *interleaved, uint32_t channels, uint32_t frameBits,
                                    const DstEncodeOptions &options)
{
    const size_t frameBytes = static_cast<size_t>(frameBits / 8) * channels;
    if (options.uncoded || channels == 0 || channels > kMaxChannels)
        return Uncoded(interleaved, frameBytes);
    const uint32_t taps = std::clamp(options.filterTaps, 1u, kMaxTaps);

    std::vector<std::vector<int8_t>> signal(channels, std::vector<int8_t>(frameBits));
    for (uint32_t ch = 0; ch < channels; ch++)
        for (uint32_t i = 0; i < frameBits; i++) {
            const uint8_t byte = interleaved[static_cast<size_t>(i / 8) * channels + ch];
            signal[ch][i] = ((byte >> (7 - i % 8)) & 1) ? 1 : -1;
        }

    const std::vector<Group> filterGroups = Groups(channels, std::max(1u, options.channelsPerFilter));
    const std::vector<Group> tableGroups = Groups(channels, std::max(1u, options.channelsPerTable));
    std::vector<uint32_t> filterOf(channels), tableOf(channels);
    for (uint32_t ch = 0; ch < channels; ch++) {
        filterOf[ch] = ch / std::max(1u, options.channelsPerFilter);
        tableOf[ch] = ch / std::max(1u, options.channelsPerTable);
    }

    std::vector<std::vector<int32_t>> filters;
    for (const Group &g : filterGroups) {
        std::vector<std::vector<int8_t>> member;
        for (uint32_t ch : g.channels)
            member.push_back(signal[ch]);
        filters.push_back(QuantiseFilter(DesignPredictor(member, taps)));
    }
    // The decoder takes filter 0's first coefficient, as its low 7 bits reversed, for the
    // probability of one decision before the sound; coded as the likelier outcome.
    const uint32_t c0 = static_cast<uint32_t>(filters[0][0]) & 127;
    uint32_t firstP = 0;
    for (uint32_t b = 0; b < 7; b++)
        firstP |= ((c0 >> b) & 1) << (6 - b);
    firstP += 1;

    // Predictions and whether their sign is right, exactly as the decoder computes them.
    std::vector<std::vector<int32_t>> predictions(channels, std::vector<int32_t>(frameBits));
    for (uint32_t ch = 0; ch < channels; ch++) {
        History h;
        const std::vector<int32_t> &c = filters[filterOf[ch]];
        for (uint32_t i = 0; i < frameBits; i++) {
            predictions[ch][i] = Predict(h, c.data(), taps);
            h.Push(signal[ch][i] > 0 ? 1 : 0);
        }
    }
    auto halfAt = [&](uint32_t, uint32_t i) { return options.halfProbability && i < taps; };
    auto bitOf = [&](uint32_t ch, uint32_t i) { return signal[ch][i] > 0 ? 1u : 0u; };
    // e = 1 where the prediction's sign is right: a bit of 1 is predicted by a prediction >= 0.
    auto outcome = [&](uint32_t ch, uint32_t i) { return bitOf(ch, i) ^ (predictions[ch][i] < 0 ? 1u : 0u); };

    std::vector<std::vector<int32_t>> tables;
    for (const Group &g : tableGroups) {
        std::vector<uint64_t> total(kMaxTable, 0), wrong(kMaxTable, 0);
        uint32_t used = 1;
        for (uint32_t ch : g.channels)
            for (uint32_t i = 0; i < frameBits; i++) {
                if (halfAt(ch, i))
                    continue;
                const uint32_t index = std::min<uint32_t>(
                    static_cast<uint32_t>(std::abs(predictions[ch][i])) >> 3, kMaxTable - 1);
                total[index]++;
                wrong[index] += outcome(ch, i) ? 0 : 1;
                used = std::max(used, index + 1);
            }
        std::vector<int32_t> t(used);
        int32_t last = 128;
        for (uint32_t b = 0; b < used; b++) {
            if (total[b] == 0) {
                t[b] = last;
                continue;
            }
            const double p =
                256.0 * (static_cast<double>(wrong[b]) + 0.4) / (static_cast<double>(total[b]) + 0.8);
            t[b] = last = std::clamp(static_cast<int32_t>(std::lround(p)), 1, 128);
        }
        tables.push_back(t);
    }

    BitWriter w;
    w.Put(1, 1);     // coded
    w.Put(0b111, 3); // one segment per channel, the same for filters and tables
    const bool sameMap = filterOf == tableOf;
    w.Put(sameMap ? 1 : 0, 1);
    PutMap(w, filterOf);
    if (!sameMap)
        PutMap(w, tableOf);
    for (uint32_t ch = 0; ch < channels; ch++)
        w.Put(options.halfProbability ? 1 : 0, 1);
    for (const std::vector<int32_t> &c : filters)
        PutValues(w, c, true, options.filterCoding);
    for (const std::vector<int32_t> &t : tables)
        PutValues(w, t, false, options.tableCoding);
    w.Put(0, 1);

    ArithmeticEncoder coder;
    coder.Code(firstP, 1);
    for (uint32_t i = 0; i < frameBits; i++)
        for (uint32_t ch = 0; ch < channels; ch++) {
            uint32_t p = 128;
            if (!halfAt(ch, i)) {
                const std::vector<int32_t> &t = tables[tableOf[ch]];
                const uint32_t index =
                    std::min<uint32_t>(static_cast<uint32_t>(std::abs(predictions[ch][i])) >> 3,
                                       static_cast<uint32_t>(t.size() - 1));
                p = static_cast<uint32_t>(t[index]);
            }
            coder.Code(p, outcome(ch, i));
        }
    w.Append(coder.Finish());
    std::vector<uint8_t> coded = w.Bytes();
    if (coded.size() >= 1 + frameBytes)
        return Uncoded(interleaved, frameBytes);
    return coded;
}

ChannelBytes PadToDstFrames(uint32_t dsdRate, const ChannelBytes &channels)
{
    const size_t perFrame = DstFrameBitsAt(dsdRate) / 8;
    ChannelBytes padded = channels;
    if (perFrame == 0)
        return padded;
    for (std::vector<uint8_t> &c : padded) {
        const size_t frames = (c.size() + perFrame - 1) / perFrame;
        c.resize(std::max<size_t>(frames, 1) * perFrame, 0x69);
    }
    return padded;
}

std::vector<std::vector<uint8_t>> EncodeDst(uint32_t dsdRate, const ChannelBytes &channels,
                                            const DstEncodeOptions &options)
{
    const uint32_t frameBits = DstFrameBitsAt(dsdRate);
    if (channels.empty() || channels.size() > kMaxChannels || frameBits == 0 || frameBits % 8 != 0)
        return {};
    for (const std::vector<uint8_t> &c : channels)
        if (c.size() != channels[0].size())
            return {};
    const std::vector<uint8_t> sound = Interleave(PadToDstFrames(dsdRate, channels));
    const size_t frameBytes = static_cast<size_t>(frameBits / 8) * channels.size();
    std::vector<std::vector<uint8_t>> frames;
    for (size_t at = 0; at + frameBytes <= sound.size(); at += frameBytes)
        frames.push_back(
            EncodeDstFrame(sound.data() + at, static_cast<uint32_t>(channels.size()), frameBits, options));
    return frames;
}

std::vector<uint8_t> MakeDffDstFromFrames(uint32_t dsdRate, uint16_t channels,
                                          const std::vector<std::vector<uint8_t>> &frames,
                                          const DffDstOptions &fileOptions)
{
    std::vector<DffChunk> chunks = DffChunks(dsdRate, channels, {}, fileOptions.tags);
    DffChunk sound{"DST ", {}, {}, std::nullopt, nullptr};
    DffChunk frte{"FRTE", {}, {}, std::nullopt, nullptr};
    const uint32_t count = static_cast<uint32_t>(frames.size());
    frte.data = {static_cast<uint8_t>(count >> 24),
                 static_cast<uint8_t>(count >> 16),
                 static_cast<uint8_t>(count >> 8),
                 static_cast<uint8_t>(count),
                 0,
                 75};
    sound.children.push_back(frte);
    for (const std::vector<uint8_t> &f : frames)
        sound.children.push_back(DffChunk{"DSTF", f, {}, std::nullopt, nullptr});
    for (DffChunk &c : chunks) {
        if (c.id == "DSD ")
            c = sound;
        if (c.id == "PROP")
            for (DffChunk &p : c.children)
                if (p.id == "CMPR")
                    p = DffCmpr("DST ", "DST Encoded");
    }
    std::vector<uint8_t> file = WriteDff(chunks);
    if (!fileOptions.index)
        return file;

    // Find every "DSTF" header by walking the "DST " chunk, then append the index.
    auto be = [&](size_t at, int bytes) {
        uint64_t v = 0;
        for (int i = 0; i < bytes; i++)
            v = v << 8 | file[at + i];
        return v;
    };
    DffChunk index{"DSTI", {}, {}, std::nullopt, nullptr};
    for (size_t at = 16; at + 12 <= file.size();) {
        const uint64_t size = be(at + 4, 8);
        if (memcmp(&file[at], "DST ", 4) == 0) {
            for (size_t in = at + 12; in + 12 <= at + 12 + size;) {
                const uint64_t s = be(in + 4, 8);
                if (memcmp(&file[in], "DSTF", 4) == 0)
                    for (int b = 0; b < 12; b++) {
                        const uint64_t v = b < 8 ? in >> (8 * (7 - b)) : s >> (8 * (11 - b));
                        index.data.push_back(static_cast<uint8_t>(v));
                    }
                in += 12 + s + (s & 1);
            }
        }
        at += 12 + size + (size & 1);
    }
    const std::vector<uint8_t> tail = WriteDffChunk(index);
    file.insert(file.end(), tail.begin(), tail.end());
    const uint64_t formSize = file.size() - 12;
    for (int b = 0; b < 8; b++)
        file[4 + b] = static_cast<uint8_t>(formSize >> (8 * (7 - b)));
    return file;
}

std::vector<uint8_t> MakeDffDst(uint32_t dsdRate, const ChannelBytes &channels,
                                const DstEncodeOptions &options, const DffDstOptions &fileOptions)
{
    const std::vector<std::vector<uint8_t>> frames = EncodeDst(dsdRate, channels, options);
    if (frames.empty())
        return {};
    return MakeDffDstFromFrames(dsdRate, static_cast<uint16_t>(channels.size()), frames, fileOptions);
}

} // namespace dsdsignal
