/* The decode command and the decoding engine the demo shares. */
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__ARM_NEON)
#include <arm_neon.h>
#endif

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <string>
#include <vector>

#ifdef VELMDSD_HAVE_SOXR
#include <soxr.h>
#endif

#include "cli.h"
#include "output.h"
#include "segments.h"
#include "source.h"
#include "velmdsd.h"

namespace cli {

/* Every stream the tool opens only decodes: the host then waits for a source that is still
   arriving instead of answering with nothing. */
uint32_t FormFlags(Form form)
{
    switch (form) {
    case Form::kPcm16:
        return VELM_STREAM_DECODE;
    case Form::kPcmFloat:
        return VELM_SAMPLE_FLOAT | VELM_STREAM_DECODE;
    case Form::kDop:
        return VELM_DSD_DOP | VELM_SAMPLE_FLOAT | VELM_STREAM_DECODE;
    case Form::kRaw:
        return VELM_DSD_RAW | VELM_STREAM_DECODE;
    }
    return VELM_STREAM_DECODE;
}

const char *FormName(Form form)
{
    switch (form) {
    case Form::kPcm16:
        return "PCM 16-bit";
    case Form::kPcmFloat:
        return "PCM float";
    case Form::kDop:
        return "DoP";
    case Form::kRaw:
        return "raw DSD";
    }
    return "?";
}

uint32_t FormSampleBytes(Form form)
{
    switch (form) {
    case Form::kPcm16:
        return 2;
    case Form::kRaw:
        return 1;
    default:
        return 4;
    }
}

const char *ErrorName(int code)
{
    switch (code) {
    case VELM_OK:
        return "OK";
    case VELM_ERROR_MEM:
        return "ERROR_MEMORY";
    case VELM_ERROR_FILEOPEN:
        return "ERROR_FILEOPEN";
    case VELM_ERROR_HANDLE:
        return "ERROR_HANDLE";
    case VELM_ERROR_POSITION:
        return "ERROR_POSITION";
    case VELM_ERROR_ILLTYPE:
        return "ERROR_TYPE";
    case VELM_ERROR_ILLPARAM:
        return "ERROR_PARAM";
    case VELM_ERROR_NOTAVAIL:
        return "ERROR_NOT_AVAILABLE";
    case VELM_ERROR_FILEFORM:
        return "ERROR_FORMAT";
    case VELM_ERROR_VERSION:
        return "ERROR_VERSION";
    case VELM_ERROR_ENDED:
        return "ERROR_ENDED";
    case VELM_ERROR_TIMEOUT:
        return "ERROR_TIMEOUT";
    case VELM_ERROR_SOURCE:
        return "ERROR_SOURCE";
    case VELM_ERROR_JAVA_CLASS:
        return "ERROR_JAVA_CLASS";
    case VELM_ERROR_JAVA_TYPE:
        return "ERROR_JAVA_TYPE";
    default:
        return "ERROR_UNKNOWN";
    }
}

bool ParseDouble(const char *text, double *value)
{
    char *end = nullptr;
    double v = strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(v))
        return false;
    *value = v;
    return true;
}

bool ParseUint(const char *text, uint32_t *value)
{
    char *end = nullptr;
    unsigned long long v = strtoull(text, &end, 10);
    if (end == text || *end != '\0' || text[0] == '-' || v > 0xFFFFFFFFull)
        return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

uint32_t ClampToU32(double v)
{
    if (!(v > 0.0))
        return 0;
    return v >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(v);
}

namespace {

/* PCM floats to 16 or 24-bit words: rounded, optionally with TPDF dither of +-1 LSB, clamped;
   clipped samples and the peak are counted for the warning. */
struct Quantizer {
    double scale = 32768.0;
    int32_t lo = -32768, hi = 32767;
    bool dither = false;
    uint32_t seed = 0x9E3779B9u;
    uint64_t clipped = 0;
    float peak = 0.0f;

    double Uniform()
    {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        return seed * (1.0 / 4294967296.0);
    }

    int32_t Word(float x)
    {
        float a = std::fabs(x);
        if (a > peak)
            peak = a;
        double v = static_cast<double>(x) * scale;
        if (dither)
            v += Uniform() - Uniform();
        v = std::nearbyint(v);
        if (!(v >= lo && v <= hi)) {
            clipped++;
            return v > 0 ? hi : lo;
        }
        return static_cast<int32_t>(v);
    }
};

/* Turns the stream's samples into output bytes and writes them. */
struct Sink {
    Form form = Form::kPcm16;
    SampleKind kind = SampleKind::kInt16;
    uint32_t channels = 0;
    Output out;
    bool writing = false;
    Quantizer quant;
    uint64_t clipped16 = 0; /* the add-on's own 16-bit stream: samples at full scale */
    std::vector<uint8_t> bytes;
    std::vector<float> *keep = nullptr;
#ifdef VELMDSD_HAVE_SOXR
    soxr_t resampler = nullptr;
    std::vector<float> resampled;
#endif

    bool Floats(const float *x, size_t n)
    {
        if (keep != nullptr)
            keep->insert(keep->end(), x, x + n);
        if (!writing)
            return true;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        if (kind == SampleKind::kFloat32) /* already the WAV's bytes */
            return OutputWrite(&out, x, n * 4);
#endif
        bytes.resize(n * SampleBytes(kind)); /* the capacity stays from block to block */
        uint8_t *p = bytes.data();
        for (size_t i = 0; i < n; i++) {
            if (kind == SampleKind::kFloat32) {
                memcpy(p, &x[i], 4);
                p += 4;
                continue;
            }
            /* DoP words times 2^23 are exact 24-bit integers. */
            int32_t w = form == Form::kDop ? static_cast<int32_t>(x[i] * 8388608.0f) : quant.Word(x[i]);
            *p++ = static_cast<uint8_t>(w);
            *p++ = static_cast<uint8_t>(w >> 8);
            if (kind == SampleKind::kInt24)
                *p++ = static_cast<uint8_t>(w >> 16);
        }
        return OutputWrite(&out, bytes.data(), bytes.size());
    }

    uint32_t dsdWord = 1; /* raw DSD in words of this many bytes of one channel */
    bool dsdLittle = false;
    std::vector<uint8_t> pending; /* raw DSD frames short of a whole word */

    /* Raw DSD frames (a byte of each channel) as words of dsdWord bytes of one channel, channel
       after channel: the earliest byte first in memory, or last for the little-endian forms. */
    bool Words(const uint8_t *b, size_t n, bool last)
    {
        pending.insert(pending.end(), b, b + n);
        const size_t group = size_t{dsdWord} * channels;
        if (last && pending.size() % group != 0)
            pending.resize((pending.size() / group + 1) * group, 0x69); /* DSD silence pattern */
        const size_t whole = pending.size() / group * group;
        bytes.resize(whole);
        uint8_t *p = bytes.data();
        for (size_t at = 0; at < whole; at += group)
            for (uint32_t c = 0; c < channels; c++)
                for (uint32_t k = 0; k < dsdWord; k++) {
                    uint32_t byte = dsdLittle ? dsdWord - 1 - k : k;
                    *p++ = pending[at + size_t{byte} * channels + c];
                }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(whole));
        return whole == 0 || OutputWrite(&out, bytes.data(), whole);
    }

    /* n bytes of the stream's own samples. */
    bool Stream(const uint8_t *b, size_t n)
    {
        if (form == Form::kRaw && dsdWord > 1)
            return !writing || Words(b, n, false);
        if (form == Form::kRaw)
            return !writing || OutputWrite(&out, b, n);
        if (form == Form::kPcm16) {
            size_t i = 0;
#if defined(__SSE2__)
            /* Eight samples at a time: each one at full scale sets two bits of the mask. */
            const __m128i top = _mm_set1_epi16(32767), bottom = _mm_set1_epi16(-32768);
            for (; i + 16 <= n; i += 16) {
                __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + i));
                __m128i full = _mm_or_si128(_mm_cmpeq_epi16(v, top), _mm_cmpeq_epi16(v, bottom));
                int mask = _mm_movemask_epi8(full); /* rarely anything */
                if (mask != 0)
                    clipped16 += static_cast<uint32_t>(__builtin_popcount(mask)) / 2;
            }
#elif defined(__ARM_NEON)
            /* Eight samples at a time: each one at full scale sets sixteen bits of the two words. */
            const int16x8_t top = vdupq_n_s16(32767), bottom = vdupq_n_s16(-32768);
            for (; i + 16 <= n; i += 16) {
                const int16x8_t v = vreinterpretq_s16_u8(vld1q_u8(b + i));
                const uint64x2_t full =
                    vreinterpretq_u64_u16(vorrq_u16(vceqq_s16(v, top), vceqq_s16(v, bottom)));
                const uint64_t low = vgetq_lane_u64(full, 0), high = vgetq_lane_u64(full, 1);
                if ((low | high) != 0) /* rarely anything */
                    clipped16 +=
                        static_cast<uint32_t>(__builtin_popcountll(low) + __builtin_popcountll(high)) / 16;
            }
#endif
            for (; i + 1 < n; i += 2) {
                int16_t v;
                memcpy(&v, b + i, 2);
                clipped16 += v == 32767 || v == -32768;
            }
            if (keep != nullptr)
                for (size_t i = 0; i + 1 < n; i += 2) {
                    int16_t v;
                    memcpy(&v, b + i, 2);
                    keep->push_back(v / 32768.0f);
                }
            return !writing || OutputWrite(&out, b, n);
        }
        const float *x = reinterpret_cast<const float *>(b);
        size_t count = n / 4;
#ifdef VELMDSD_HAVE_SOXR
        if (resampler != nullptr)
            return Resample(x, count / channels);
#endif
        return Floats(x, count);
    }

#ifdef VELMDSD_HAVE_SOXR
    /* Feeds frames to the resampler (null: the end) and writes what comes out. */
    bool Resample(const float *x, size_t frames)
    {
        const size_t cap = 4096;
        resampled.resize(cap * channels);
        for (;;) {
            size_t used = 0, made = 0;
            if (soxr_process(resampler, x, frames, &used, resampled.data(), cap, &made) != nullptr)
                return false;
            if (made != 0 && !Floats(resampled.data(), made * channels))
                return false;
            if (x != nullptr) {
                x += used * channels;
                frames -= used;
                if (frames == 0 && made < cap)
                    return true;
            } else if (made == 0) {
                return true;
            }
        }
    }
#endif
};

void ShowProgress(uint64_t done, uint64_t total, bool final)
{
    const int width = 40;
    double frac =
        total != 0 && total != UINT64_MAX ? static_cast<double>(done) / static_cast<double>(total) : 0.0;
    if (frac > 1.0)
        frac = 1.0;
    int filled = static_cast<int>(frac * width);
    fprintf(stderr, "\r[%.*s%*s] %3d%%", filled, "########################################", width - filled,
            "", static_cast<int>(frac * 100.0));
    if (final)
        fputs("\r\033[K", stderr);
    fflush(stderr);
}

/* The gain a stream really uses (the add-on clamps a configured gain out of range at creation). */
double StreamGainDb(uint32_t h)
{
    float gain = 0.0f;
    return VELM_ChannelGetAttribute(h, VELM_DSD_ATTRIB_GAIN, &gain) ? gain : 0.0;
}

/* The largest float sample of a file's PCM at the request's gain, times `scale`; 0 when unknown.
   `gainDb` is the gain the stream used. */
double FloatPeak(const DecodeRequest &req, double scale, double *gainDb)
{
    uint32_t h = VELM_DSD_StreamCreateFile(
        0, req.input.c_str(), 0, 0, VELM_SAMPLE_FLOAT | (req.highQuality ? VELM_DSD_PCM_HQ : 0), req.rate);
    if (h == 0)
        return 0.0;
    if (req.hasGain)
        VELM_ChannelSetAttribute(h, VELM_DSD_ATTRIB_GAIN, req.gainDb);
    *gainDb = StreamGainDb(h);
    static float buf[16384];
    float peak = 0.0f;
    for (uint32_t idle = 0; idle < kStallCalls;) {
        uint32_t n = VELM_ChannelGetData(h, buf, sizeof buf);
        if (n == 0xFFFFFFFFu)
            break;
        idle = n == 0 ? idle + 1 : 0;
        for (uint32_t i = 0; i < n / 4; i++)
            peak = std::max(peak, std::fabs(buf[i]));
    }
    VELM_StreamFree(h);
    return peak * scale;
}

/* "cannot write OUT: <the system's reason>" for a failed write to an output. */
std::string WriteFailure(const Output &out)
{
    return "cannot write " + (out.path == "-" ? std::string("standard output") : out.path) + ": " +
           strerror(out.errorNumber != 0 ? out.errorNumber : EIO);
}

} // namespace

double AutoGainDb(const DecodeRequest &req)
{
    DecodeRequest first = req;
    first.hasGain = false;
    const double full = req.form != Form::kPcm16 || req.bits == 32 ? 1.0
                        : req.bits == 24                           ? 8388608.0 / 8388607.0
                                                                   : 32768.0 / 32767.0;
    double gain = 0.0;
    double peak = FloatPeak(first, full, &gain);
    if (!(peak > 0.0))
        return std::nan("");
    gain = std::floor((gain - 20.0 * std::log10(peak) - 0.05) * 10.0) / 10.0;
    return std::min(60.0, std::max(-100.0, gain));
}

namespace {

std::string Seconds(double s)
{
    char text[32];
    snprintf(text, sizeof text, "%.2f s", s);
    return text;
}

/* The stream form to ask for: the add-on's own 16-bit samples when nothing else is asked and no
   resampling follows, floats for other PCM. `resample`: the stream's rate will not be the rate asked. */
Form StreamForm(const DecodeRequest &req, bool resample)
{
    const uint32_t bits = req.form == Form::kPcmFloat ? 32 : req.bits;
    if (req.form != Form::kPcm16 && req.form != Form::kPcmFloat)
        return req.form;
    return bits == 16 && !req.dither && !resample ? Form::kPcm16 : Form::kPcmFloat;
}

/* Output bytes between the places a seek of the unread stream reaches exactly; 0: none known. */
uint64_t SeekStep(uint32_t h, uint64_t frame)
{
    const uint64_t step = VELM_ChannelGetLength(h, VELM_DSD_POS_STEP);
    return step != UINT64_MAX && frame != 0 && step % frame == 0 ? step : 0;
}

/* Seeks to the latest place at or before output frame `target` from which the output matches a
   decode from the start (the stream's seek step); `reached` is that frame, 0 where no such place
   lies after the start. False when the seek fails. */
bool SeekNearStart(uint32_t h, uint64_t frame, uint64_t target, uint64_t *reached)
{
    const uint64_t step = SeekStep(h, frame);
    if (step == 0)
        return true;
    uint64_t position = target * frame;
    position -= position % step;
    if (position == 0)
        return true;
    if (!VELM_ChannelSetPosition(h, position, VELM_POS_BYTE))
        return false;
    *reached = position / frame;
    return true;
}

/* The segments of a decode on several threads, from frame `first` to `last` (or the end), each
   starting at a multiple of the seek step (`stepFrames`). */
SegmentPlan PlanSegments(const DecodeRequest &req, uint32_t flags, uint64_t stepFrames, uint64_t frame,
                         uint64_t first, uint64_t last, uint64_t totalFrames)
{
    SegmentPlan plan;
    plan.name = req.input;
    plan.flags = flags;
    plan.freq = req.rate;
    plan.hasGain = req.hasGain;
    plan.gainDb = req.gainDb;
    plan.frameBytes = frame;
    plan.first = first;
    plan.toEnd = last >= totalFrames;
    plan.end = plan.toEnd ? totalFrames : last;
    plan.alignFrames = stepFrames;
    plan.threads = req.threads;
    return plan;
}

/* How the stream's pulling ended. */
struct Pumped {
    uint64_t done = 0; /* output bytes after the skipped ones */
    bool ended = false;
    int sourceFailure = VELM_OK; /* the host's time-out or broken source that ended the stream */
};

/* Pulls the stream (or its segments) into the sink: `skip` bytes dropped first, then up to
   `limit` bytes written, to the end signal. `outcomeError` holds why it stopped on a failure. */
void Pump(uint32_t h, SegmentDecoder *segments, uint8_t *buf, uint32_t readBytes, uint64_t skip,
          uint64_t limit, uint64_t expected, const DecodeRequest &req,
          std::chrono::steady_clock::time_point started, Sink *sinkOut, Pumped *pumped,
          std::string *outcomeErrorOut)
{
    Sink &sink = *sinkOut;
    std::string &outcomeError = *outcomeErrorOut;
    uint64_t &done = pumped->done;
    bool &ended = pumped->ended;
    int &sourceFailure = pumped->sourceFailure;
    uint32_t zeroCalls = 0;
    auto lastShown = started;
    while (outcomeError.empty() && done < limit) {
        uint64_t want = skip != 0 ? skip : limit - done;
        if (want > readBytes)
            want = readBytes;
        const uint8_t *data = buf;
        int code = VELM_OK;
        uint32_t n = segments != nullptr ? segments->Next(&data, static_cast<uint32_t>(want), &code)
                                         : VELM_ChannelGetData(h, buf, static_cast<uint32_t>(want));
        if (n == 0xFFFFFFFFu) {
            if (segments == nullptr)
                code = VELM_ErrorGetCode();
            if (code == VELM_ERROR_ENDED || code == VELM_ERROR_TIMEOUT || code == VELM_ERROR_SOURCE) {
                ended = true;
                sourceFailure = code == VELM_ERROR_ENDED ? VELM_OK : code;
            } else {
                outcomeError = std::string(ErrorName(code)) + ": cannot decode: " + req.input;
            }
            break;
        }
        auto now = std::chrono::steady_clock::now();
        if (n == 0) {
            /* Nothing for now is not the end: only the end signal ends a stream. Waiting is the
               host's: it times a URL out after its network time-out, and a pipe's read waits for
               its writer as long as it lives. Calls that keep giving nothing without waiting are
               taken as stalled. */
            if (++zeroCalls >= kStallCalls) {
                ended = true;
                break;
            }
            continue;
        }
        zeroCalls = 0;
        uint32_t dropped = 0;
        if (skip != 0) {
            dropped = skip < n ? static_cast<uint32_t>(skip) : n;
            skip -= dropped;
        }
        if (n > dropped && !sink.Stream(data + dropped, n - dropped)) {
            outcomeError = WriteFailure(sink.out);
            break;
        }
        done += n - dropped;
        if (req.progress && now - lastShown > std::chrono::milliseconds(100)) {
            ShowProgress(done, expected, false);
            lastShown = now;
        }
    }
}

/* "source ended early: GOT of PROMISED", for a failed source with the reason the host gave. */
std::string ShortfallText(int sourceFailure, double gotSeconds, double promisedSeconds)
{
    const std::string got = Seconds(gotSeconds);
    const std::string of = promisedSeconds > 0.0 ? " of " + Seconds(promisedSeconds) : "";
    if (sourceFailure == VELM_ERROR_TIMEOUT)
        return "source ended early (timed out, " + std::string(ErrorName(sourceFailure)) + "): " + got + of;
    if (sourceFailure != VELM_OK)
        return "source ended early (cut off, " + std::string(ErrorName(sourceFailure)) + "): " + got + of;
    return "source ended early: " + got + of;
}

/* Opens the stream the request needs. A URL is opened once: any rate asked is resampled from
   floats. Otherwise the stream says whether its rate is the one asked; when it is not, the 16-bit
   stream is made again as floats. */
bool OpenDecodeStream(const DecodeRequest &req, Input *in, Form *form, uint32_t *flags,
                      VELM_CHANNELINFO *info, std::string *error)
{
    if (!PrepareInput(req.input, in, error))
        return false;
    *form = StreamForm(req, req.rate != 0 && IsUrl(req.input));
    const bool pcm = *form == Form::kPcm16 || *form == Form::kPcmFloat;
    *flags = FormFlags(*form) | (pcm && req.highQuality ? VELM_DSD_PCM_HQ : 0);
    if (!OpenStream(req.input, *flags, req.rate, in, error))
        return false;
    memset(info, 0, sizeof *info);
    VELM_ChannelGetInfo(in->handle, info);
    if (*form == Form::kPcm16 && req.rate != 0 && info->freq != req.rate) {
        *form = StreamForm(req, true);
        *flags = FormFlags(*form) | (req.highQuality ? VELM_DSD_PCM_HQ : 0);
        if (!ReopenStream(req.input, *flags, req.rate, in, error))
            return false;
        memset(info, 0, sizeof *info);
        VELM_ChannelGetInfo(in->handle, info);
    }
    return true;
}

/* The sink for the stream's form and the request's sample format. */
void SetUpSink(const DecodeRequest &req, Form form, uint32_t channels, bool pcm, DecodeSummary *summary,
               Sink *sink)
{
    const uint32_t bits = req.form == Form::kPcmFloat ? 32 : req.bits;
    sink->form = form;
    sink->channels = channels;
    sink->kind = form == Form::kRaw   ? SampleKind::kRawBytes
                 : form == Form::kDop ? SampleKind::kInt24
                 : bits == 24         ? SampleKind::kInt24
                 : bits == 32         ? SampleKind::kFloat32
                                      : SampleKind::kInt16;
    sink->quant.dither = req.dither;
    sink->dsdWord = form == Form::kRaw ? req.dsdWord : 1;
    sink->dsdLittle = req.dsdLittle;
    if (sink->kind == SampleKind::kInt24) {
        sink->quant.scale = 8388608.0;
        sink->quant.lo = -8388608;
        sink->quant.hi = 8388607;
    }
    if (req.keepSamples && pcm)
        sink->keep = &summary->samples;
    sink->writing = !req.output.empty();
}

/* Which output frames the decode covers, in stream bytes. */
struct Span {
    uint64_t totalFrames = UINT64_MAX; /* the stream's length; UINT64_MAX when unknown */
    uint64_t target = 0;               /* the first frame asked for */
    uint64_t reached = 0;              /* the frame the seek landed on */
    uint64_t skip = 0;                 /* bytes from there to the target */
    uint64_t limit = UINT64_MAX;       /* bytes to write at most (--duration) */
    uint64_t expected = 0;             /* bytes the progress counts on */
};

/* Where to start: seek to a place from which the output matches a decode from the start (a DSF
   seek lands on a block group; DoP needs an even frame for its marker), then skip the frames up
   to the one asked for. A pipe only skips. False with `error` saying why. */
bool PlanSpan(const DecodeRequest &req, uint32_t h, bool pipe, uint64_t frame, uint32_t freq, Span *span,
              std::string *error)
{
    const uint64_t length = VELM_ChannelGetLength(h, VELM_POS_BYTE);
    span->totalFrames = length != UINT64_MAX ? length / frame : UINT64_MAX;
    const double startFrames = std::nearbyint(req.start * freq);
    if (startFrames >= 9007199254740992.0 ||
        (span->totalFrames != UINT64_MAX && startFrames >= static_cast<double>(span->totalFrames) &&
         req.start > 0)) {
        *error =
            "--start " + Seconds(req.start) + " is past the end (" +
            Seconds(span->totalFrames != UINT64_MAX ? static_cast<double>(span->totalFrames) / freq : 0.0) +
            "): " + req.input;
        return false;
    }
    span->target = static_cast<uint64_t>(startFrames);
    if (span->target != 0 && !pipe && !SeekNearStart(h, frame, span->target, &span->reached)) {
        *error = std::string(ErrorName(VELM_ErrorGetCode())) + ": cannot start at " + Seconds(req.start) +
                 ": " + req.input;
        return false;
    }
    span->skip = (span->target - span->reached) * frame;
    if (req.duration >= 0.0) {
        double frames = std::nearbyint(req.duration * freq);
        span->limit = frames < 9.0e15 ? static_cast<uint64_t>(frames) * frame : UINT64_MAX;
    }
    span->expected = span->totalFrames != UINT64_MAX && span->totalFrames > span->target
                         ? (span->totalFrames - span->target) * frame
                         : 0;
    if (span->limit < span->expected || span->totalFrames == UINT64_MAX)
        span->expected = span->limit;
    return true;
}

/* Several threads: the PCM of a named local file of known length, in segments from the place
   reached that start where a seek lands exactly (the same points as for --start). DoP and raw DSD
   only move bytes: one thread does that faster than segments of streams of their own. DST decodes
   on one thread, whose stream counts its broken frames once each (segments decode the frames at
   their ends twice). Null: one thread. */
std::unique_ptr<SegmentDecoder> PlanThreads(const DecodeRequest &req, uint32_t h, bool pcm, bool pipe,
                                            uint32_t flags, uint64_t frame, const Span &span)
{
    const uint64_t step = SeekStep(h, frame);
    if (req.threads <= 1 || !pcm || pipe || IsUrl(req.input) || step == 0 || StreamCompression(h).dst ||
        span.totalFrames == UINT64_MAX || span.reached > span.totalFrames)
        return nullptr;
    const uint64_t last = span.limit != UINT64_MAX ? span.target + span.limit / frame : UINT64_MAX;
    return std::make_unique<SegmentDecoder>(
        PlanSegments(req, flags, step / frame, frame, span.reached, last, span.totalFrames));
}

/* Float PCM at another rate than the stream's goes through libsoxr. Empty, or why it cannot. */
std::string StartResampler(const DecodeRequest &req, Sink *sink, uint32_t from, uint32_t to)
{
    if (sink->form != Form::kPcmFloat || to == from)
        return "";
#ifdef VELMDSD_HAVE_SOXR
    soxr_error_t e = nullptr;
    soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    soxr_quality_spec_t q = soxr_quality_spec(SOXR_VHQ, 0);
    soxr_runtime_spec_t rt = soxr_runtime_spec(1);
    sink->resampler = soxr_create(from, to, sink->channels, &e, &io, &q, &rt);
    return sink->resampler == nullptr ? "cannot resample to " + std::to_string(to) + " Hz: " + req.input : "";
#else
    (void)from;
    return "this build cannot resample (built without libsoxr): --rate " + std::to_string(req.rate);
#endif
}

/* Writes what the resampler and the raw DSD words still hold; sets `outcomeError` when that fails
   (and keeps an earlier failure). Frees the resampler. */
void DrainSink(Sink *sink, std::string *outcomeError)
{
#ifdef VELMDSD_HAVE_SOXR
    if (sink->resampler != nullptr) {
        if (outcomeError->empty() && !sink->Resample(nullptr, 0))
            *outcomeError = WriteFailure(sink->out);
        soxr_delete(sink->resampler);
        sink->resampler = nullptr;
    }
#endif
    if (outcomeError->empty() && sink->writing && sink->dsdWord > 1 && !sink->Words(nullptr, 0, true))
        *outcomeError = WriteFailure(sink->out);
}

/* Clipped samples, counted in the same pass, and the gain that would avoid them. The add-on's
   16-bit samples stop at full scale and hide the peak, so they suggest no number (--gain auto
   reads the file twice to find it). */
void CountClipping(const Sink &sink, double gainDb, DecodeSummary *summary)
{
    summary->clipped = sink.form == Form::kPcm16 ? sink.clipped16 : sink.quant.clipped;
    summary->suggestedGainDb = std::nan("");
    if (summary->clipped == 0)
        return;
    double peak = sink.form == Form::kPcm16 ? 0.0 : sink.quant.peak * sink.quant.scale / sink.quant.hi;
    if (peak > 0.0)
        summary->suggestedGainDb = std::floor((gainDb - 20.0 * std::log10(peak) - 0.05) * 10.0) / 10.0;
}

} // namespace

Outcome Decode(const DecodeRequest &req, DecodeSummary *summary, std::string *error)
{
    auto started = std::chrono::steady_clock::now();
    Input in;
    Form form = Form::kPcm16;
    uint32_t flags = 0;
    VELM_CHANNELINFO info;
    if (!OpenDecodeStream(req, &in, &form, &flags, &info, error)) {
        CloseInput(&in);
        return Outcome::kFailed;
    }
    const uint32_t h = in.handle;
    const bool pcm = form == Form::kPcm16 || form == Form::kPcmFloat;
    const bool pipe = in.pipe != nullptr;
    const uint64_t frame = uint64_t{info.chans} * FormSampleBytes(form);
    summary->channels = info.chans;
    summary->streamRate = info.freq;
    summary->outputRate = pcm && req.rate != 0 && req.rate != info.freq ? req.rate : info.freq;

    uint8_t *buf = nullptr;
    auto fail = [&](const std::string &why) {
        *error = why;
        free(buf);
        CloseInput(&in);
        return Outcome::kFailed;
    };
    if (req.hasGain && !VELM_ChannelSetAttribute(h, VELM_DSD_ATTRIB_GAIN, req.gainDb))
        return fail(std::string(ErrorName(VELM_ErrorGetCode())) + ": cannot set the gain: " + req.input);

    Sink sink;
    SetUpSink(req, form, info.chans, pcm, summary, &sink);
    OutputFormat of;
    of.kind = sink.kind;
    of.rate = summary->outputRate;
    of.channels = info.chans;
    of.channelMask = SpeakerMask(h);
    if (sink.writing && of.kind != SampleKind::kRawBytes) {
        std::string refusal = WavRefusal(of);
        if (!refusal.empty())
            return fail(refusal + ": " + req.input);
    }
    /* About 256 KiB per call: few calls and few writes, whatever the channel count, in a buffer
       that stays in the cache and costs few page faults (a megabyte cost 10% more CPU time). */
    uint64_t framesPerRead = frame != 0 ? (uint64_t{1} << 18) / frame : 0;
    framesPerRead = framesPerRead == 0 ? 1 : framesPerRead;
    if (frame == 0 || frame * framesPerRead > 0xFFFFFFFFu)
        return fail("cannot decode " + std::to_string(info.chans) + " channels: " + req.input);
    const uint32_t readBytes = static_cast<uint32_t>(frame * framesPerRead);
    buf = static_cast<uint8_t *>(malloc(readBytes));
    if (buf == nullptr)
        return fail("cannot allocate " + std::to_string(readBytes) + " bytes for " +
                    std::to_string(info.chans) + " channels: " + req.input);

    Span span;
    std::string why;
    if (!PlanSpan(req, h, pipe, frame, info.freq, &span, &why))
        return fail(why);
    std::unique_ptr<SegmentDecoder> segments = PlanThreads(req, h, pcm, pipe, flags, frame, span);
    if (sink.writing && !OutputOpen(&sink.out, req.output, of, error)) {
        free(buf);
        CloseInput(&in);
        return Outcome::kFailed;
    }
    std::string outcomeError = StartResampler(req, &sink, info.freq, summary->outputRate);
    Pumped pumped;
    if (outcomeError.empty())
        Pump(h, segments.get(), buf, readBytes, span.skip, span.limit, span.expected, req, started, &sink,
             &pumped, &outcomeError);
    const uint64_t done = pumped.done;
    free(buf);
    segments.reset();
    DrainSink(&sink, &outcomeError);
    if (req.progress)
        ShowProgress(done, span.expected, true);

    /* What the header promised from the start on (the stream's declared length, whatever the
       source), against what came. */
    const uint64_t gotFrames = span.target + done / frame;
    const uint64_t declared = VELM_ChannelGetLength(h, VELM_DSD_POS_DECLARED);
    uint64_t promised = declared != UINT64_MAX ? declared / frame : span.totalFrames;
    summary->promisedSeconds = promised != UINT64_MAX && promised > span.target
                                   ? static_cast<double>(promised - span.target) / info.freq
                                   : 0.0;
    const bool early = outcomeError.empty() && pumped.ended &&
                       (pumped.sourceFailure != VELM_OK || (promised != UINT64_MAX && gotFrames < promised));
    const std::string readFailure = PipeReadFailure(in);
    CountClipping(sink, StreamGainDb(h), summary);
    summary->brokenDstFrames = BrokenDstFrames(h);
    CloseInput(&in);

    summary->outputBytes = sink.writing ? sink.out.dataBytes : done;
    summary->audioSeconds = static_cast<double>(done / frame) / info.freq;
    if (sink.writing) {
        if (outcomeError.empty()) {
            if (!OutputFinish(&sink.out, &outcomeError))
                outcomeError += " (nothing written)";
        } else {
            OutputAbort(&sink.out);
        }
    }
    summary->elapsedSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!outcomeError.empty()) {
        *error = outcomeError;
        return Outcome::kFailed;
    }
    if (early) {
        *error = ShortfallText(pumped.sourceFailure, static_cast<double>(done / frame) / info.freq,
                               summary->promisedSeconds);
        if (!readFailure.empty())
            *error += " (cannot read standard input: " + readFailure + ")";
        if (sink.writing)
            *error += "; " + std::string(req.output == "-" ? "standard output" : req.output) +
                      " is kept with what was decoded";
        return Outcome::kEndedEarly;
    }
    return Outcome::kOk;
}

std::string SummaryLine(const DecodeRequest &req, const DecodeSummary &s)
{
    char line[640];
    double speed = s.elapsedSeconds > 0 ? s.audioSeconds / s.elapsedSeconds : 0.0;
    std::string form = FormName(req.form);
    if (req.form == Form::kPcm16 && req.bits != 16)
        form = req.bits == 32 ? "PCM float" : "PCM " + std::to_string(req.bits) + "-bit";
    if (req.dither)
        form += " dithered";
    if (req.highQuality)
        form += " (high quality)";
    char rate[64];
    if (s.outputRate != s.streamRate)
        snprintf(rate, sizeof rate, "%u Hz (resampled from %u Hz)", s.outputRate, s.streamRate);
    else
        snprintf(rate, sizeof rate, "%u Hz", s.outputRate);
    snprintf(line, sizeof line, "%s: %.2f s of audio, %s %s, %u channel%s, %.3f s, %.0fx real time -> %s",
             req.input == "-" ? "standard input" : req.input.c_str(), s.audioSeconds, form.c_str(), rate,
             s.channels, s.channels == 1 ? "" : "s", s.elapsedSeconds, speed,
             req.output == "-" ? "standard output" : req.output.c_str());
    return line;
}

} // namespace cli

namespace cli {
namespace {

int Usage(const std::string &line)
{
    fprintf(stderr, "velmdsd: %s (see velmdsd --help)\n", line.c_str());
    return 2;
}

/* The output names in OUTDIR, one per input: the input's name with its extension changed to
   .wav (.dsd for raw DSD). Names that would collide keep the source extension (song.dsf.wav,
   song.dff.wav); names that still collide (the same name in several folders) are numbered in
   the order given: song.dsf.wav, song.dsf-2.wav, ... */
std::vector<std::string> OutputNames(const std::string &dir, const std::vector<std::string> &inputs, bool raw)
{
    const char *ext = raw ? ".dsd" : ".wav";
    std::vector<std::string> full, bare;
    for (const std::string &input : inputs) {
        size_t slash = input.rfind('/');
        std::string base = slash == std::string::npos ? input : input.substr(slash + 1);
        size_t dot = base.rfind('.');
        full.push_back(base);
        bare.push_back(dot != std::string::npos && dot != 0 ? base.substr(0, dot) : base);
    }
    std::vector<std::string> names(inputs.size());
    for (size_t i = 0; i < inputs.size(); i++)
        names[i] = std::count(bare.begin(), bare.end(), bare[i]) > 1 ? full[i] : bare[i];
    const std::string prefix = dir + (dir.empty() || dir.back() == '/' ? "" : "/");
    std::vector<std::string> out;
    for (size_t i = 0; i < inputs.size(); i++) {
        size_t earlier = static_cast<size_t>(std::count(names.begin(), names.begin() + i, names[i]));
        out.push_back(prefix + names[i] + (earlier != 0 ? "-" + std::to_string(earlier + 1) : "") + ext);
    }
    return out;
}

/* Creates a folder and those above it, as mkdir -p does; false with the reason. */
bool MakeFolder(const std::string &dir, std::string *error)
{
    for (size_t at = 1; at <= dir.size(); at++) {
        if (at != dir.size() && dir[at] != '/')
            continue;
        std::string part = dir.substr(0, at);
        struct stat st;
        if (stat(part.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            continue;
        if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
            *error = "cannot create the folder " + part + ": " + strerror(errno);
            return false;
        }
    }
    return true;
}

} // namespace

int CmdDecode(int argc, char **argv)
{
    DecodeRequest req;
    req.highQuality = true; /* the tool's default PCM converter; --quality designed: the add-on's default */
    bool hasQuality = false, autoGain = false, hasDsdFormat = false;
    std::vector<std::string> inputs;
    std::string outDir;
    bool dop = false, raw = false, asFloat = false, hasBits = false, hasRate = false;
    for (int i = 0; i < argc; i++) {
        const std::string a = argv[i];
        const bool takesValue = a == "-o" || a == "-d" || a == "--rate" || a == "--gain" || a == "--start" ||
                                a == "--duration" || a == "--bits" || a == "--quality" || a == "--threads" ||
                                a == "--dsd-format";
        if (takesValue && i + 1 >= argc)
            return Usage(a + " needs a value");
        const char *v = takesValue ? argv[++i] : nullptr;
        double d = 0.0;
        if (a == "-o") {
            req.output = v;
        } else if (a == "-d") {
            outDir = v;
        } else if (a == "--rate") {
            if (!ParseUint(v, &req.rate) || req.rate < 1000)
                return Usage(std::string("--rate wants a rate of 1000 Hz or more, not '") + v + "'");
            hasRate = true;
        } else if (a == "--bits") {
            if (!ParseUint(v, &req.bits) || (req.bits != 16 && req.bits != 24 && req.bits != 32))
                return Usage(std::string("--bits wants 16, 24 or 32, not '") + v + "'");
            hasBits = true;
        } else if (a == "--gain" && strcmp(v, "auto") == 0) {
            autoGain = true;
        } else if (a == "--gain") {
            if (!ParseDouble(v, &d) || d < -100.0 || d > 60.0)
                return Usage(std::string("--gain wants decibels from -100 to 60, not '") + v + "'");
            req.hasGain = true;
            req.gainDb = static_cast<float>(d);
        } else if (a == "--start" || a == "--duration") {
            if (!ParseDouble(v, &d) || d < 0.0 || d > 1.0e9)
                return Usage(a + " wants seconds from 0 to 1e9, not '" + v + "'");
            (a == "--start" ? req.start : req.duration) = d;
        } else if (a == "--quality") {
            if (strcmp(v, "high") != 0 && strcmp(v, "designed") != 0)
                return Usage(std::string("--quality wants high or designed, not '") + v + "'");
            req.highQuality = strcmp(v, "high") == 0;
            hasQuality = true;
        } else if (a == "--threads") {
            if (!ParseUint(v, &req.threads) || req.threads < 1 || req.threads > 64)
                return Usage(std::string("--threads wants 1 to 64, not '") + v + "'");
        } else if (a == "--dsd-format") {
            static const struct {
                const char *name;
                uint32_t word;
                bool little;
            } kPackings[] = {{"u8", 1, false},
                             {"u16le", 2, true},
                             {"u16be", 2, false},
                             {"u32le", 4, true},
                             {"u32be", 4, false}};
            bool known = false;
            for (const auto &k : kPackings)
                if (strcmp(v, k.name) == 0) {
                    req.dsdWord = k.word;
                    req.dsdLittle = k.little;
                    known = true;
                }
            if (!known)
                return Usage(std::string("--dsd-format wants u8, u16le, u16be, u32le or u32be, not '") + v +
                             "'");
            hasDsdFormat = true;
        } else if (a == "--float") {
            asFloat = true;
        } else if (a == "--dither") {
            req.dither = true;
        } else if (a == "--dop") {
            dop = true;
        } else if (a == "--raw") {
            raw = true;
        } else if (a.size() > 1 && a[0] == '-') {
            return Usage("unknown option '" + a + "'");
        } else {
            inputs.push_back(a);
        }
    }
    if (inputs.empty())
        return Usage("decode needs an input file (or - for standard input)");
    if (req.output.empty() == outDir.empty())
        return Usage("decode needs -o OUT (or -o - for standard output) or -d OUTDIR");
    if (!req.output.empty() && inputs.size() > 1)
        return Usage("-o takes one input; use -d OUTDIR for several");
    if (!outDir.empty() && std::count(inputs.begin(), inputs.end(), "-") != 0)
        return Usage("-d OUTDIR needs named inputs, not -");
    if (std::count(inputs.begin(), inputs.end(), "-") > 1)
        return Usage("standard input can be read once");
    if (dop + raw + asFloat > 1)
        return Usage("--float, --dop and --raw exclude each other");
    if (asFloat && hasBits && req.bits != 32)
        return Usage("--float is --bits 32");
    if (autoGain && req.hasGain)
        return Usage("--gain auto and --gain DB exclude each other");
    if (autoGain && std::any_of(inputs.begin(), inputs.end(),
                                [](const std::string &in) { return in == "-" || IsUrl(in); }))
        return Usage("--gain auto reads each input twice: it needs named files, not - or a URL");
    if ((dop || raw) && (hasBits || hasRate || req.hasGain || autoGain || req.dither))
        return Usage("--bits, --rate, --gain and --dither apply to PCM only");
    if ((dop || raw) && hasQuality && req.highQuality)
        return Usage("--quality high applies to PCM only (DoP and raw DSD carry the DSD bits unchanged)");
    if (hasDsdFormat && !raw)
        return Usage("--dsd-format applies to --raw only");
    if (asFloat)
        req.bits = 32;
    if (req.dither && req.bits == 32)
        return Usage("--dither applies to 16 and 24 bits");
    req.form = raw ? Form::kRaw : dop ? Form::kDop : Form::kPcm16;
    if (dop || raw)
        req.highQuality = false;
    req.progress = isatty(STDERR_FILENO) != 0 && inputs.size() == 1;

    /* Nothing is written when an output would replace an input. */
    const std::vector<std::string> outputs =
        outDir.empty() ? std::vector<std::string>{req.output} : OutputNames(outDir, inputs, raw);
    for (const std::string &output : outputs)
        for (const std::string &input : inputs)
            if (SameFile(input, output)) {
                fprintf(stderr, "velmdsd: %s is the input %s: refused, nothing written\n", output.c_str(),
                        input.c_str());
                return 1;
            }
    std::string folderError;
    if (!outDir.empty() && !MakeFolder(outDir, &folderError)) {
        fprintf(stderr, "velmdsd: %s\n", folderError.c_str());
        return 1;
    }
    OutputCatchSignals();
    int status = 0;
    for (size_t k = 0; k < inputs.size(); k++) {
        const std::string &input = inputs[k];
        req.input = input;
        req.output = outputs[k];
        DecodeSummary summary;
        std::string error;
        if (autoGain) {
            /* A first pass finds the peak; the gain puts it just below full scale. */
            double gain = AutoGainDb(req);
            req.hasGain = !std::isnan(gain);
            req.gainDb = req.hasGain ? static_cast<float>(gain) : 0.0f;
            if (req.hasGain)
                fprintf(stderr, "velmdsd: --gain auto: %.1f dB for %s\n", gain, input.c_str());
        }
        Outcome outcome = Decode(req, &summary, &error);
        if (outcome == Outcome::kFailed) {
            fprintf(stderr, "velmdsd: %s\n", error.c_str());
            status = 1;
            continue;
        }
        fprintf(stderr, "%s\n", SummaryLine(req, summary).c_str());
        if (summary.clipped != 0 && std::isnan(summary.suggestedGainDb))
            fprintf(stderr,
                    "velmdsd: warning: %llu samples clipped; a lower --gain would avoid it (--gain auto "
                    "finds it in a second pass)\n",
                    static_cast<unsigned long long>(summary.clipped));
        else if (summary.clipped != 0)
            fprintf(stderr, "velmdsd: warning: %llu samples clipped; --gain %.1f would avoid it\n",
                    static_cast<unsigned long long>(summary.clipped), summary.suggestedGainDb);
        if (summary.brokenDstFrames != 0) {
            fprintf(stderr, "velmdsd: %llu broken DST frame%s decoded as silence (1/75 s each): %s%s\n",
                    static_cast<unsigned long long>(summary.brokenDstFrames),
                    summary.brokenDstFrames == 1 ? "" : "s", input.c_str(),
                    req.output.empty()  ? ""
                    : req.output == "-" ? "; standard output has the rest"
                                        : ("; " + req.output + " is kept").c_str());
            status = 1;
        }
        if (outcome == Outcome::kEndedEarly) {
            fprintf(stderr, "velmdsd: %s\n", error.c_str());
            status = 1;
        }
    }
    return status;
}

} // namespace cli
