#include "dsdsignal/dst.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
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

// One channel's bits of a frame, 64 to a word with the earliest in the top bit, after two
// words of the alternating pattern the decoder's history starts from: position q of the array
// is the frame's bit q - 128.
struct PackedChannel {
    std::vector<uint64_t> words;
    uint32_t bits = 0; // the frame's

    // The 64 bits from position q on, q's in the top bit.
    uint64_t Window(size_t q) const
    {
        const size_t w = q / 64, shift = q % 64;
        return shift == 0 ? words[w] : (words[w] << shift) | (words[w + 1] >> (64 - shift));
    }
    uint32_t Bit(uint32_t t) const
    {
        const size_t q = static_cast<size_t>(t) + 128;
        return static_cast<uint32_t>(words[q / 64] >> (63 - q % 64)) & 1;
    }
    // The decoder's history before bit t: the last 64 bits (bit t - 1 in bit 0) and the 64
    // before them.
    uint64_t Recent(uint32_t t) const { return Window(static_cast<size_t>(t) + 64); }
    uint64_t Older(uint32_t t) const { return Window(t); }
};

PackedChannel Pack(const uint8_t *interleaved, uint32_t channels, uint32_t ch, uint32_t frameBits)
{
    PackedChannel p;
    p.bits = frameBits;
    const size_t bytes = frameBits / 8;
    p.words.assign(2 + (bytes + 7) / 8 + 1, 0);
    p.words[0] = p.words[1] = 0xAAAAAAAAAAAAAAAAull;
    for (size_t b = 0; b < bytes; b++)
        p.words[2 + b / 8] |= static_cast<uint64_t>(interleaved[b * channels + ch]) << (56 - 8 * (b % 8));
    return p;
}

// A filter as the decoder applies it: per group of 8 taps, the sum of +-coefficient for each
// pattern of the group's 8 past bits (a set bit counts +c, the most recent in bit 0).
struct FastFilter {
    uint32_t groups = 0;
    std::vector<int32_t> sums; // groups x 256

    explicit FastFilter(const std::vector<int32_t> &c)
        : groups(static_cast<uint32_t>((c.size() + 7) / 8)), sums(static_cast<size_t>(groups) * 256)
    {
        for (uint32_t g = 0; g < groups; g++)
            for (uint32_t pattern = 0; pattern < 256; pattern++) {
                int32_t sum = 0;
                for (uint32_t l = 0; l < 8 && g * 8 + l < c.size(); l++)
                    sum += (pattern >> l) & 1 ? c[g * 8 + l] : -c[g * 8 + l];
                sums[g * 256 + pattern] = sum;
            }
    }
    int32_t Predict(const PackedChannel &p, uint32_t t) const
    {
        const uint64_t lo = p.Recent(t), hi = groups > 8 ? p.Older(t) : 0;
        int32_t sum = 0;
        for (uint32_t g = 0; g < groups; g++)
            sum += sums[g * 256 + ((g < 8 ? lo >> (8 * g) : hi >> (8 * (g - 8))) & 0xFF)];
        return sum;
    }
};

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

// How one filter (9-bit signed values, 7-bit length) or table (7-bit values less one, 6-bit
// length) is coded: in the coding asked for, or the smaller one; and its size in bits.
struct ValueCoding {
    bool rice = false;
    uint32_t method = 0, lsbs = 0;
    size_t bits = 0;
};

ValueCoding ChooseValueCoding(const std::vector<int32_t> &v, bool isFilter, DstValueCoding coding)
{
    const uint32_t lengthBits = isFilter ? 7 : 6, bits = isFilter ? 9 : 7;
    const size_t plainBits = v.size() * bits;
    ValueCoding choice;
    size_t best = SIZE_MAX;
    for (uint32_t method = 0; method < 3 && method + 1 < v.size(); method++) {
        const std::vector<int32_t> r = Residuals(v, method, isFilter);
        for (uint32_t lsbs = 0; lsbs < 8; lsbs++) {
            const size_t n = 2 + (method + 1) * bits + 3 + RiceBits(r, lsbs);
            if (n < best) {
                best = n;
                choice.method = method;
                choice.lsbs = lsbs;
            }
        }
    }
    choice.rice = best != SIZE_MAX && (coding == DstValueCoding::kRice ||
                                       (coding == DstValueCoding::kSmallest && best < plainBits));
    choice.bits = lengthBits + 1 + (choice.rice ? best : plainBits);
    return choice;
}

// Writes one filter or table as ChooseValueCoding has it.
void PutValues(BitWriter &w, const std::vector<int32_t> &v, bool isFilter, DstValueCoding coding)
{
    const uint32_t lengthBits = isFilter ? 7 : 6, bits = isFilter ? 9 : 7;
    const ValueCoding choice = ChooseValueCoding(v, isFilter, coding);
    w.Put(static_cast<uint32_t>(v.size() - 1), lengthBits);
    w.Put(choice.rice ? 1 : 0, 1);
    auto plain = [&](int32_t x) {
        if (isFilter)
            w.PutSigned(x, bits);
        else
            w.Put(static_cast<uint32_t>(x - 1), bits);
    };
    if (!choice.rice) {
        for (int32_t x : v)
            plain(x);
        return;
    }
    w.Put(choice.method, 2);
    for (uint32_t j = 0; j <= choice.method; j++)
        plain(v[j]);
    w.Put(choice.lsbs, 3);
    for (int32_t x : Residuals(v, choice.method, isFilter)) {
        const uint32_t m = static_cast<uint32_t>(std::abs(x));
        for (uint32_t z = m >> choice.lsbs; z > 0; z--)
            w.Put(0, 1);
        w.Put(1, 1);
        if (choice.lsbs)
            w.Put(m & ((1u << choice.lsbs) - 1), choice.lsbs);
        if (m)
            w.Put(x < 0 ? 1 : 0, 1);
    }
}

// The bits PutValues writes for v.
size_t ValueBits(const std::vector<int32_t> &v, bool isFilter, DstValueCoding coding)
{
    return ChooseValueCoding(v, isFilter, coding).bits;
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

// The covariance of a channel's +-1 signal s over the frame's bits from kMaxTaps on (before
// them the history still holds bits from before the frame, the decoder's starting pattern,
// which would only mislead the fit): c[i][j] = sum over those t of s[t - i] s[t - j] for
// i, j = 0 .. lags, added to c, (lags + 1) x (lags + 1). The first row comes from counting
// the bits that differ from the one j before; the rest follows from
// c[i + 1][j + 1] = c[i][j] + s[t0 - 1 - i] s[t0 - 1 - j] - s[n - 1 - i] s[n - 1 - j].
void AddCovariance(const PackedChannel &p, uint32_t lags, std::vector<double> &c)
{
    const uint32_t n = p.bits, t0 = std::min(kMaxTaps, n), size = lags + 1;
    auto s = [&](int64_t t) {
        const size_t q = static_cast<size_t>(t + 128);
        return (p.words[q / 64] >> (63 - q % 64)) & 1 ? 1.0 : -1.0;
    };
    std::vector<double> row(size, 0.0);
    for (uint32_t k = 0; k <= lags; k++) {
        uint64_t differ = 0;
        for (uint32_t t = t0; t < n; t += 64) {
            uint64_t x = p.Window(static_cast<size_t>(t) + 128) ^ p.Window(static_cast<size_t>(t) + 128 - k);
            if (n - t < 64)
                x &= ~0ull << (64 - (n - t));
            differ += static_cast<uint64_t>(__builtin_popcountll(x));
        }
        row[k] = static_cast<double>(n - t0) - 2.0 * static_cast<double>(differ);
    }
    std::vector<double> m(static_cast<size_t>(size) * size);
    for (uint32_t j = 0; j < size; j++)
        m[j] = m[static_cast<size_t>(j) * size] = row[j];
    for (uint32_t i = 0; i < lags; i++)
        for (uint32_t j = i; j < lags; j++) {
            const double v = m[static_cast<size_t>(i) * size + j] +
                             s(int64_t{t0} - 1 - i) * s(int64_t{t0} - 1 - j) -
                             s(int64_t{n} - 1 - i) * s(int64_t{n} - 1 - j);
            m[static_cast<size_t>(i + 1) * size + j + 1] = m[static_cast<size_t>(j + 1) * size + i + 1] = v;
        }
    for (size_t k = 0; k < m.size(); k++)
        c[k] += m[k];
}

// Least-squares predictors of s[t] from s[t-1 .. t-order] for each of `orders` (ascending),
// from the covariance c of AddCovariance (lags at least orders.back()): the normal equations of the
// largest order factored once (Cholesky), each order solved with the leading part of the factor.
// `ridge` (a share of c[0] added to the diagonal) shrinks the coefficients: a predictor whose
// coefficients are large gets a coarse scale in 9 bits.
std::vector<std::vector<double>> DesignPredictors(const std::vector<double> &c, uint32_t lags,
                                                  const std::vector<uint32_t> &orders, double ridge = 1e-9)
{
    const uint32_t n = orders.back(), size = lags + 1;
    std::vector<std::vector<double>> out;
    // a[i][j] = c[i + 1][j + 1], b[i] = c[0][i + 1]
    std::vector<double> l(static_cast<size_t>(n) * n, 0.0), z(n, 0.0);
    const double added = ridge * c[0] + 1e-12, least = 1e-9 * c[0] + 1e-12;
    uint32_t rank = n;
    for (uint32_t j = 0; j < n && rank == n; j++) {
        double d = c[static_cast<size_t>(j + 1) * size + j + 1] + added;
        for (uint32_t k = 0; k < j; k++)
            d -= l[static_cast<size_t>(j) * n + k] * l[static_cast<size_t>(j) * n + k];
        if (!(d > least)) {
            rank = j;
            break;
        }
        d = std::sqrt(d);
        l[static_cast<size_t>(j) * n + j] = d;
        for (uint32_t i = j + 1; i < n; i++) {
            double t = c[static_cast<size_t>(i + 1) * size + j + 1];
            for (uint32_t k = 0; k < j; k++)
                t -= l[static_cast<size_t>(i) * n + k] * l[static_cast<size_t>(j) * n + k];
            l[static_cast<size_t>(i) * n + j] = t / d;
        }
        double t = c[j + 1];
        for (uint32_t k = 0; k < j; k++)
            t -= l[static_cast<size_t>(j) * n + k] * z[k];
        z[j] = t / d;
    }
    for (uint32_t order : orders) {
        // An order past a singular point keeps the predictor of the largest order solvable.
        const uint32_t m = std::min(order, rank);
        std::vector<double> a(order, 0.0);
        for (uint32_t i = m; i-- > 0;) {
            double t = z[i];
            for (uint32_t k = i + 1; k < m; k++)
                t -= l[static_cast<size_t>(k) * n + i] * a[k];
            a[i] = t / l[static_cast<size_t>(i) * n + i];
        }
        out.push_back(a);
    }
    return out;
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

// The predictor a in the format's 9-bit coefficients: a x scale, rounded.
std::vector<int32_t> QuantiseFilter(const std::vector<double> &a, double scale)
{
    std::vector<int32_t> c(a.size());
    for (size_t l = 0; l < a.size(); l++)
        c[l] = std::clamp(static_cast<int32_t>(std::lround(a[l] * scale)), -256, 255);
    return c;
}

// How often the prediction's sign is wrong, by the table index its size picks.
struct SignStats {
    uint64_t total[kMaxTable] = {};
    uint64_t wrong[kMaxTable] = {};

    void Add(int32_t prediction, uint32_t bit)
    {
        const uint32_t index =
            std::min<uint32_t>(static_cast<uint32_t>(std::abs(prediction)) >> 3, kMaxTable - 1);
        total[index]++;
        wrong[index] += (bit ^ (prediction < 0 ? 1u : 0u)) ? 0 : 1;
    }
};

// A table entry for `wrong` wrong signs of `total`: p / 256 of a wrong sign, 1 to 128.
int32_t TableEntry(uint64_t wrong, uint64_t total)
{
    const double p = 256.0 * (static_cast<double>(wrong) + 0.4) / (static_cast<double>(total) + 0.8);
    return std::clamp(static_cast<int32_t>(std::lround(p)), 1, 128);
}

// The probability table up to the last index met; an index never met takes the entry before it.
std::vector<int32_t> TableFrom(const SignStats &s)
{
    uint32_t used = 1;
    for (uint32_t b = 0; b < kMaxTable; b++)
        if (s.total[b])
            used = b + 1;
    std::vector<int32_t> t(used);
    int32_t last = 128;
    for (uint32_t b = 0; b < used; b++)
        t[b] = last = s.total[b] == 0 ? last : TableEntry(s.wrong[b], s.total[b]);
    return t;
}

// Bits the arithmetic coder spends on `wrong` wrong signs of `total` at table entry `entry`.
double EntryBits(uint64_t wrong, uint64_t total, int32_t entry)
{
    const double p = entry / 256.0;
    return -(static_cast<double>(wrong) * std::log2(p) +
             static_cast<double>(total - wrong) * std::log2(1.0 - p));
}

// Bits the arithmetic coder spends on what s counted, coded with table t (an index past its end
// takes its last entry).
double CodedBits(const SignStats &s, const std::vector<int32_t> &t)
{
    double bits = 0;
    for (size_t b = 0; b < kMaxTable; b++)
        if (s.total[b])
            bits += EntryBits(s.wrong[b], s.total[b], t[std::min(b, t.size() - 1)]);
    return bits;
}

// The table for what s counted whose length gives the fewest bits, its own and the coded
// ones: the indices from the last entry on are counted together into it, the entries before
// it are those of the full table.
std::vector<int32_t> ChooseTable(const SignStats &s, DstValueCoding coding, double *bits)
{
    const std::vector<int32_t> full = TableFrom(s);
    std::vector<double> head(full.size() + 1, 0.0); // head[b]: the bits of indices below b
    for (size_t b = 0; b < full.size(); b++)
        head[b + 1] = head[b] + (s.total[b] ? EntryBits(s.wrong[b], s.total[b], full[b]) : 0.0);
    // The table's own bits (as ChooseValueCoding counts them) for each length: a shorter table
    // has the full one's Rice residuals but for its last, so their sizes are summed once.
    auto riceLength = [](int32_t x, uint32_t lsbs) {
        const uint32_t m = static_cast<uint32_t>(std::abs(x));
        return static_cast<size_t>((m >> lsbs) + 1 + lsbs + (m ? 1 : 0));
    };
    auto residual = [&](const std::vector<int32_t> &v, uint32_t method, size_t j) {
        int32_t x = 0;
        for (uint32_t k = 0; k <= method; k++)
            x += kTablePredictors[method][k] * v[j - k - 1];
        return v[j] + CoefficientPrediction(x);
    };
    const size_t n = full.size();
    std::vector<size_t> prefix(3 * 8 * (n + 1), 0); // [method][lsbs][j]: residuals method+1 .. j-1
    for (uint32_t method = 0; method < 3; method++)
        for (uint32_t lsbs = 0; lsbs < 8; lsbs++) {
            size_t *row = &prefix[(method * 8 + lsbs) * (n + 1)];
            for (size_t j = 0; j < n; j++)
                row[j + 1] = row[j] + (j > method ? riceLength(residual(full, method, j), lsbs) : 0);
        }
    auto tableBits = [&](const std::vector<int32_t> &t) {
        const size_t length = t.size(), plainBits = length * 7;
        size_t best = SIZE_MAX;
        for (uint32_t method = 0; method < 3 && method + 1 < length; method++) {
            const int32_t last = residual(t, method, length - 1);
            for (uint32_t lsbs = 0; lsbs < 8; lsbs++)
                best = std::min(best, 2 + (method + 1) * 7 + 3 +
                                          prefix[(method * 8 + lsbs) * (n + 1) + length - 1] +
                                          riceLength(last, lsbs));
        }
        const bool rice = best != SIZE_MAX && (coding == DstValueCoding::kRice ||
                                               (coding == DstValueCoding::kSmallest && best < plainBits));
        return 6 + 1 + (rice ? best : plainBits);
    };
    std::vector<int32_t> best;
    double bestBits = 0;
    uint64_t tailWrong = 0, tailTotal = 0; // from index length - 1 on (past full's end nothing)
    for (size_t length = full.size(); length >= 1; length--) {
        tailWrong += s.wrong[length - 1];
        tailTotal += s.total[length - 1];
        std::vector<int32_t> t(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
        if (tailTotal)
            t[length - 1] = TableEntry(tailWrong, tailTotal);
        const double size = head[length - 1] +
                            (tailTotal ? EntryBits(tailWrong, tailTotal, t[length - 1]) : 0.0) +
                            static_cast<double>(tableBits(t));
        if (best.empty() || size < bestBits) {
            best = std::move(t);
            bestBits = size;
        }
    }
    if (bits)
        *bits = bestBits;
    return best;
}

// A filter design: its length, the share of the widest scale and the ridge it was made with.
struct Design {
    uint32_t order = 0;
    double share = 0, ridge = 0;
};

// The filter for a group of channels: least-squares predictors of the lengths worth trying
// (only `taps` when it is forced) at a few scales, and the one whose coded size (the sign
// statistics of every 4th bit, the table they give, the coefficients' bits) is smallest. The
// search: every length at 0.8 of the widest scale, the two best lengths at other scales, then
// the best one with its coefficients shrunk. Given a design `like`, only that design is made.
// The estimate is the size; `chosen` (if given) the design.
std::vector<int32_t> DesignFilter(const std::vector<const PackedChannel *> &members, uint32_t taps,
                                  const DstEncodeOptions &options, double *estimate,
                                  const Design *like = nullptr, Design *chosen = nullptr)
{
    std::vector<uint32_t> orders;
    if (like)
        orders.push_back(like->order);
    else if (taps != 0)
        orders.push_back(taps);
    else
        for (uint32_t order = 16; order <= kMaxTaps; order += 16)
            orders.push_back(order);
    const size_t size = orders.back() + 1;
    std::vector<double> c(size * size, 0.0);
    for (const PackedChannel *p : members)
        AddCovariance(*p, orders.back(), c);
    constexpr double kRidge = 1e-9, kShrunk = 1e-5;
    const std::vector<std::vector<double>> predictors =
        DesignPredictors(c, orders.back(), orders, like ? like->ridge : kRidge);

    constexpr uint32_t kStride = 4;
    std::vector<int32_t> best;
    double bestBits = 0;
    Design bestDesign;
    // The size predictor a codes to at `share` of the widest scale its coefficients allow.
    auto evaluate = [&](const std::vector<double> &a, double share, double ridge) {
        double largest = 0;
        for (double x : a)
            largest = std::max(largest, std::fabs(x));
        const double widest = largest > 0 ? std::min(255.0 / largest, 2048.0) : 256.0;
        const std::vector<int32_t> q = QuantiseFilter(a, widest * share);
        const FastFilter f(q);
        SignStats stats;
        // The bits before the filter has its length of the frame's own history are counted
        // at 1/2 (the half-probability flag).
        const uint32_t start = static_cast<uint32_t>(q.size());
        double half = 0;
        for (const PackedChannel *p : members) {
            for (uint32_t t = start; t < p->bits; t += kStride)
                stats.Add(f.Predict(*p, t), p->Bit(t));
            half += std::min(start, p->bits);
        }
        const double bits = kStride * CodedBits(stats, TableFrom(stats)) + half +
                            static_cast<double>(ValueBits(q, true, options.filterCoding));
        if (best.empty() || bits < bestBits) {
            best = q;
            bestBits = bits;
            bestDesign = Design{static_cast<uint32_t>(a.size()), share, ridge};
        }
        return bits;
    };
    if (like) {
        evaluate(predictors[0], like->share, like->ridge);
    } else if (taps != 0) {
        for (double share : {1.0, 0.8, 0.64, 0.5})
            evaluate(predictors[0], share, kRidge);
    } else {
        std::vector<double> byOrder;
        for (const std::vector<double> &a : predictors)
            byOrder.push_back(evaluate(a, 0.8, kRidge));
        size_t first = 0, second = predictors.size() > 1 ? 1 : 0;
        for (size_t k = 0; k < byOrder.size(); k++)
            if (byOrder[k] < byOrder[first])
                first = k;
        for (size_t k = 0; k < byOrder.size(); k++)
            if (k != first && (second == first || byOrder[k] < byOrder[second]))
                second = k;
        std::vector<size_t> better = {first};
        if (second != first)
            better.push_back(second);
        for (size_t k : better)
            for (double share : {1.0, 0.64, 0.5})
                evaluate(predictors[k], share, kRidge);
        const std::vector<double> shrunk = DesignPredictors(c, orders.back(), {orders[first]}, kShrunk)[0];
        for (double share : {1.0, 0.8})
            evaluate(shrunk, share, kShrunk);
    }
    *estimate = bestBits;
    if (chosen)
        *chosen = bestDesign;
    return best;
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
    const uint32_t taps = options.filterTaps == 0 ? 0 : std::min(options.filterTaps, kMaxTaps);

    std::vector<PackedChannel> signal;
    for (uint32_t ch = 0; ch < channels; ch++)
        signal.push_back(Pack(interleaved, channels, ch, frameBits));

    // Filters: as the options map them, or (by default) each channel its own or one for all,
    // whichever the design estimates smaller.
    // The one for all is made as the first channel's own was (its length, scale and ridge).
    Design first;
    auto designFilters = [&](uint32_t perFilter, double *estimate, const Design *like) {
        std::vector<std::vector<int32_t>> made;
        *estimate = 0;
        for (const Group &g : Groups(channels, perFilter)) {
            std::vector<const PackedChannel *> members;
            for (uint32_t ch : g.channels)
                members.push_back(&signal[ch]);
            double bits = 0;
            made.push_back(
                DesignFilter(members, taps, options, &bits, like, made.empty() ? &first : nullptr));
            *estimate += bits;
        }
        return made;
    };
    uint32_t perFilter = options.channelsPerFilter == 0 ? 1 : options.channelsPerFilter;
    double estimate = 0;
    std::vector<std::vector<int32_t>> filters = designFilters(perFilter, &estimate, nullptr);
    if (options.channelsPerFilter == 0 && channels > 1) {
        double shared = 0;
        const Design like = first;
        std::vector<std::vector<int32_t>> one = designFilters(channels, &shared, &like);
        if (shared < estimate) {
            filters = std::move(one);
            perFilter = channels;
        }
    }
    std::vector<uint32_t> filterOf(channels), tableOf(channels);
    for (uint32_t ch = 0; ch < channels; ch++)
        filterOf[ch] = ch / perFilter;
    // The decoder takes filter 0's first coefficient, as its low 7 bits reversed, for the
    // probability of one decision before the sound; coded as the likelier outcome.
    const uint32_t c0 = static_cast<uint32_t>(filters[0][0]) & 127;
    uint32_t firstP = 0;
    for (uint32_t b = 0; b < 7; b++)
        firstP |= ((c0 >> b) & 1) << (6 - b);
    firstP += 1;

    // Predictions exactly as the decoder computes them.
    std::vector<std::vector<int32_t>> predictions(channels, std::vector<int32_t>(frameBits));
    for (uint32_t ch = 0; ch < channels; ch++) {
        const FastFilter f(filters[filterOf[ch]]);
        for (uint32_t i = 0; i < frameBits; i++)
            predictions[ch][i] = f.Predict(signal[ch], i);
    }
    // With the half-probability flag, the bits before a channel's filter has its length of
    // the frame's own history are coded at 1/2. Forced by the options, or else set on a
    // channel whose first bits would cost more by the table than one bit each (their history
    // is mostly the decoder's starting pattern).
    std::vector<uint8_t> half(channels, 1);
    auto halfAt = [&](uint32_t ch, uint32_t i) { return half[ch] && i < filters[filterOf[ch]].size(); };
    // e = 1 where the prediction's sign is right: a bit of 1 is predicted by a prediction >= 0.
    auto outcome = [&](uint32_t ch, uint32_t i) {
        return signal[ch].Bit(i) ^ (predictions[ch][i] < 0 ? 1u : 0u);
    };
    // Tables: as the options map them, or (by default) each channel its own or one for all,
    // whichever codes smaller; each of the length that codes smallest.
    std::vector<std::vector<int32_t>> tables;
    // Each channel's sign statistics apart for the bits the half-probability flag may take
    // (head) and the rest (body).
    std::vector<SignStats> head(channels), body(channels);
    for (uint32_t ch = 0; ch < channels; ch++) {
        const uint32_t start =
            std::min<uint32_t>(static_cast<uint32_t>(filters[filterOf[ch]].size()), frameBits);
        for (uint32_t i = 0; i < frameBits; i++)
            (i < start ? head : body)[ch].Add(predictions[ch][i], signal[ch].Bit(i));
    }
    auto makeTables = [&] {
        std::vector<SignStats> stats = body;
        for (uint32_t ch = 0; ch < channels; ch++)
            if (!half[ch])
                for (uint32_t b = 0; b < kMaxTable; b++) {
                    stats[ch].total[b] += head[ch].total[b];
                    stats[ch].wrong[b] += head[ch].wrong[b];
                }
        auto make = [&](uint32_t perTable, double *bits) {
            std::vector<std::vector<int32_t>> made;
            *bits = 0;
            for (const Group &g : Groups(channels, perTable)) {
                SignStats sum;
                for (uint32_t ch : g.channels)
                    for (uint32_t b = 0; b < kMaxTable; b++) {
                        sum.total[b] += stats[ch].total[b];
                        sum.wrong[b] += stats[ch].wrong[b];
                    }
                double n = 0;
                made.push_back(ChooseTable(sum, options.tableCoding, &n));
                *bits += n;
            }
            return made;
        };
        uint32_t perTable = options.channelsPerTable == 0 ? 1 : options.channelsPerTable;
        double bits = 0;
        tables = make(perTable, &bits);
        if (options.channelsPerTable == 0 && channels > 1) {
            double shared = 0;
            std::vector<std::vector<int32_t>> one = make(channels, &shared);
            if (shared < bits) {
                tables = std::move(one);
                perTable = channels;
            }
        }
        for (uint32_t ch = 0; ch < channels; ch++)
            tableOf[ch] = ch / perTable;
    };
    makeTables();
    if (!options.halfProbability) {
        bool changed = false;
        for (uint32_t ch = 0; ch < channels; ch++) {
            const std::vector<int32_t> &t = tables[tableOf[ch]];
            const uint32_t start =
                std::min<uint32_t>(static_cast<uint32_t>(filters[filterOf[ch]].size()), frameBits);
            double bits = 0;
            for (uint32_t i = 0; i < start; i++) {
                const uint32_t index =
                    std::min<uint32_t>(static_cast<uint32_t>(std::abs(predictions[ch][i])) >> 3,
                                       static_cast<uint32_t>(t.size() - 1));
                const double p = t[index] / 256.0;
                bits -= std::log2(outcome(ch, i) ? 1.0 - p : p);
            }
            if (bits < start) {
                half[ch] = 0;
                changed = true;
            }
        }
        if (changed)
            makeTables();
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
        w.Put(half[ch], 1);
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
