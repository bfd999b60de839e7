/* The decode command and the decoding engine the demo shares. */
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli.h"
#include "dsdsignal/wav_stream.h"
#include "velmdsd.h"

namespace cli {

uint32_t FormFlags(Form form)
{
    switch (form) {
    case Form::kPcm16:
        return 0;
    case Form::kPcmFloat:
        return VELM_SAMPLE_FLOAT;
    case Form::kDop:
        return VELM_DSD_DOP | VELM_SAMPLE_FLOAT;
    case Form::kRaw:
        return VELM_DSD_RAW | VELM_STREAM_DECODE;
    }
    return 0;
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

namespace {

std::string Failure(const char *what, const std::string &file)
{
    int code = VELM_ErrorGetCode();
    return std::string(ErrorName(code)) + " (" + std::to_string(code) + "): " + what + ": " + file;
}

/* Where the decoded bytes go: a WAV file, or the raw bytes as they come. */
class Sink {
public:
    bool Open(const DecodeRequest &req, uint32_t rate, uint32_t channels)
    {
        toStdout_ = req.output == "-";
        if (req.form == Form::kRaw) {
            raw_ = toStdout_ ? stdout : fopen(req.output.c_str(), "wb");
            return raw_ != nullptr;
        }
        dsdsignal::WavFormat fmt;
        fmt.sampleRate = rate;
        fmt.channels = static_cast<uint16_t>(channels);
        fmt.format = req.form == Form::kPcm16   ? dsdsignal::WavSampleFormat::kPcm16
                     : req.form == Form::kDop   ? dsdsignal::WavSampleFormat::kPcm24
                                                : dsdsignal::WavSampleFormat::kFloat32;
        return toStdout_ ? wav_.Open(stdout, fmt) : wav_.Open(req.output, fmt);
    }

    bool Write(Form form, const uint8_t *bytes, size_t n)
    {
        if (form == Form::kRaw)
            return fwrite(bytes, 1, n, raw_) == n;
        if (form == Form::kPcm16)
            return wav_.Write(reinterpret_cast<const int16_t *>(bytes), n / 2);
        /* DoP floats times 2^23 are exact 24-bit words, which the 24-bit writer stores. */
        return wav_.Write(reinterpret_cast<const float *>(bytes), n / 4);
    }

    bool Close()
    {
        if (raw_ != nullptr) {
            bool ok = fflush(raw_) == 0 && !ferror(raw_);
            if (!toStdout_)
                ok = fclose(raw_) == 0 && ok;
            raw_ = nullptr;
            return ok;
        }
        return wav_.Close();
    }

    void Abort(const std::string &path)
    {
        if (raw_ != nullptr && !toStdout_) {
            fclose(raw_);
            remove(path.c_str());
        }
        raw_ = nullptr;
        if (wav_.IsOpen())
            wav_.Abort();
    }

private:
    bool toStdout_ = false;
    FILE *raw_ = nullptr;
    dsdsignal::WavStreamWriter wav_;
};

void ShowProgress(uint64_t done, uint64_t total, bool final)
{
    const int width = 40;
    double frac = total != 0 && total != UINT64_MAX ? static_cast<double>(done) / static_cast<double>(total) : 0.0;
    if (frac > 1.0)
        frac = 1.0;
    int filled = static_cast<int>(frac * width);
    fprintf(stderr, "\r[%.*s%*s] %3d%%", filled, "########################################", width - filled, "",
            static_cast<int>(frac * 100.0));
    if (final)
        fputs("\r\033[K", stderr);
    fflush(stderr);
}

} // namespace

bool Decode(const DecodeRequest &req, DecodeSummary *summary, std::string *error)
{
    auto started = std::chrono::steady_clock::now();
    uint32_t h = VELM_DSD_StreamCreateFile(0, req.input.c_str(), 0, 0, FormFlags(req.form), req.rate);
    if (h == 0) {
        *error = Failure("cannot open", req.input);
        return false;
    }
    VELM_CHANNELINFO info;
    memset(&info, 0, sizeof info);
    VELM_ChannelGetInfo(h, &info);
    const uint32_t frame = info.chans * FormSampleBytes(req.form);
    summary->channels = info.chans;
    summary->outputRate = info.freq;

    if (req.hasGain && !VELM_ChannelSetAttribute(h, VELM_DSD_ATTRIB_GAIN, req.gainDb)) {
        *error = Failure("--gain applies to PCM only", req.input);
        VELM_StreamFree(h);
        return false;
    }
    uint64_t position = 0;
    if (req.start > 0.0) {
        uint64_t wanted = static_cast<uint64_t>(std::llround(req.start * info.freq)) * frame;
        if (!VELM_ChannelSetPosition(h, wanted, VELM_POS_BYTE)) {
            *error = Failure("cannot start there", req.input);
            VELM_StreamFree(h);
            return false;
        }
        position = VELM_ChannelGetPosition(h, VELM_POS_BYTE);
    }
    uint64_t limit = UINT64_MAX;
    if (req.duration >= 0.0)
        limit = static_cast<uint64_t>(std::llround(req.duration * info.freq)) * frame;
    uint64_t length = VELM_ChannelGetLength(h, VELM_POS_BYTE);
    uint64_t expected = length != UINT64_MAX && length > position ? length - position : 0;
    if (limit < expected || length == UINT64_MAX)
        expected = limit;

    Sink sink;
    bool writing = !req.output.empty();
    if (writing && !sink.Open(req, info.freq, info.chans)) {
        *error = std::string("cannot write: ") + req.output;
        VELM_StreamFree(h);
        return false;
    }
    std::vector<uint8_t> buf(static_cast<size_t>(frame) * 8192);
    uint64_t done = 0;
    auto lastShown = started;
    bool ok = true;
    while (done < limit) {
        uint64_t want = buf.size();
        if (want > limit - done)
            want = limit - done;
        uint32_t n = VELM_ChannelGetData(h, buf.data(), static_cast<uint32_t>(want));
        if (n == 0xFFFFFFFFu) {
            if (VELM_ErrorGetCode() != VELM_ERROR_ENDED) {
                *error = Failure("cannot decode", req.input);
                ok = false;
            }
            break;
        }
        if (n == 0)
            break;
        if (writing && !sink.Write(req.form, buf.data(), n)) {
            *error = std::string("cannot write: ") + req.output;
            ok = false;
            break;
        }
        if (req.keepSamples) {
            size_t count = n / FormSampleBytes(req.form);
            for (size_t i = 0; i < count; i++) {
                if (req.form == Form::kPcm16) {
                    int16_t v;
                    memcpy(&v, &buf[2 * i], 2);
                    summary->samples.push_back(v / 32768.0f);
                } else if (req.form != Form::kRaw) {
                    float v;
                    memcpy(&v, &buf[4 * i], 4);
                    summary->samples.push_back(v);
                }
            }
        }
        done += n;
        auto now = std::chrono::steady_clock::now();
        if (req.progress && now - lastShown > std::chrono::milliseconds(100)) {
            ShowProgress(done, expected, false);
            lastShown = now;
        }
    }
    if (req.progress)
        ShowProgress(done, expected, true);
    VELM_StreamFree(h);
    if (writing) {
        if (ok && !sink.Close()) {
            *error = std::string("cannot write: ") + req.output;
            ok = false;
        }
        if (!ok)
            sink.Abort(req.output);
    }
    summary->outputBytes = done;
    summary->audioSeconds = frame != 0 && info.freq != 0 ? static_cast<double>(done) / frame / info.freq : 0.0;
    summary->elapsedSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return ok;
}

std::string SummaryLine(const DecodeRequest &req, const DecodeSummary &s)
{
    char line[512];
    double speed = s.elapsedSeconds > 0 ? s.audioSeconds / s.elapsedSeconds : 0.0;
    snprintf(line, sizeof line, "%.2f s of audio, %s %u Hz, %u channel%s, %.3f s, %.0fx real time -> %s",
             s.audioSeconds, FormName(req.form), s.outputRate, s.channels, s.channels == 1 ? "" : "s",
             s.elapsedSeconds, speed, req.output == "-" ? "standard output" : req.output.c_str());
    return line;
}

int CmdDecode(int argc, char **argv)
{
    DecodeRequest req;
    bool dop = false, raw = false, asFloat = false;
    for (int i = 0; i < argc; i++) {
        const char *a = argv[i];
        bool hasValue = i + 1 < argc;
        if (strcmp(a, "-o") == 0 && hasValue) {
            req.output = argv[++i];
        } else if (strcmp(a, "--rate") == 0 && hasValue) {
            if (!ParseUint(argv[++i], &req.rate)) {
                fprintf(stderr, "velmdsd: --rate wants a rate in Hz, not '%s'\n", argv[i]);
                return 2;
            }
        } else if (strcmp(a, "--gain") == 0 && hasValue) {
            double g;
            if (!ParseDouble(argv[++i], &g)) {
                fprintf(stderr, "velmdsd: --gain wants decibels, not '%s'\n", argv[i]);
                return 2;
            }
            req.hasGain = true;
            req.gainDb = static_cast<float>(g);
        } else if ((strcmp(a, "--start") == 0 || strcmp(a, "--duration") == 0) && hasValue) {
            double v;
            if (!ParseDouble(argv[++i], &v) || v < 0) {
                fprintf(stderr, "velmdsd: %s wants seconds, not '%s'\n", a, argv[i]);
                return 2;
            }
            (a[2] == 's' ? req.start : req.duration) = v;
        } else if (strcmp(a, "--float") == 0) {
            asFloat = true;
        } else if (strcmp(a, "--dop") == 0) {
            dop = true;
        } else if (strcmp(a, "--raw") == 0) {
            raw = true;
        } else if (a[0] == '-' && a[1] != '\0') {
            fprintf(stderr, "velmdsd: unknown or incomplete option '%s'\n", a);
            return 2;
        } else if (req.input.empty()) {
            req.input = a;
        } else {
            fprintf(stderr, "velmdsd: one input file only ('%s')\n", a);
            return 2;
        }
    }
    if (req.input.empty() || req.output.empty()) {
        fputs("velmdsd: decode needs an input file and -o OUT (or -o - for standard output)\n", stderr);
        return 2;
    }
    if (dop + raw + asFloat > 1) {
        fputs("velmdsd: --float, --dop and --raw exclude each other\n", stderr);
        return 2;
    }
    req.form = raw ? Form::kRaw : dop ? Form::kDop : asFloat ? Form::kPcmFloat : Form::kPcm16;
    req.progress = isatty(STDERR_FILENO) != 0;
    DecodeSummary summary;
    std::string error;
    if (!Decode(req, &summary, &error)) {
        fprintf(stderr, "velmdsd: %s\n", error.c_str());
        return 1;
    }
    fprintf(stderr, "%s\n", SummaryLine(req, summary).c_str());
    return 0;
}

} // namespace cli
