/* The measure command (for bench/quality.sh, not listed in --help): a test tone's signal to noise
   and distortion ratio from 20 Hz to 20 kHz and its level, measured on one of
     IN.dsf|IN.dff              the add-on's float PCM at --rate, designed or high quality;
     IN.dsf|IN.dff --dsd-bits   the DSD bits themselves as +-1 samples, with no filter at all;
     IN.f32|- --f32 --rate HZ   raw little-endian mono floats at HZ (another decoder's output).
   The first --skip seconds (default 0.2), where filters and the modulator settle, are left out.
   Prints "SINAD_DB LEVEL_DB" (LEVEL_DB: 0 is a sine of amplitude 1); exit status 1 when there is
   too little to measure. */
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "dsdsignal/measure.h"
#include "source.h"
#include "velmdsd.h"

namespace cli {
namespace {

/* At most this many DSD bits are measured: 0.19 s at DSD512, and a 4 Mi-point transform. */
constexpr size_t kMaxBits = size_t{1} << 22;

bool ReadFloats(const std::string &path, std::vector<float> *x)
{
    FILE *f = path == "-" ? stdin : fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    float buf[4096];
    size_t n;
    while ((n = fread(buf, sizeof(float), 4096, f)) > 0)
        x->insert(x->end(), buf, buf + n);
    bool ok = !ferror(f);
    if (f != stdin)
        fclose(f);
    return ok;
}

/* The first channel's DSD bits from `skip` seconds on, as +-1 samples; the DSD rate in `rate`. */
bool ReadDsdBits(const std::string &path, double skip, std::vector<float> *x, uint32_t *rate)
{
    uint32_t h = VELM_DSD_StreamCreateFile(0, path.c_str(), 0, 0, VELM_DSD_RAW | VELM_STREAM_DECODE, 0);
    if (h == 0)
        return false;
    VELM_CHANNELINFO info;
    memset(&info, 0, sizeof info);
    VELM_ChannelGetInfo(h, &info);
    *rate = DsdRate(h);
    const uint64_t first = static_cast<uint64_t>(skip * *rate / 8); /* bytes per channel */
    std::vector<uint8_t> bytes, buf(uint64_t{info.chans} * 65536);
    uint64_t at = 0; /* bytes per channel read so far */
    for (uint32_t idle = 0; info.chans != 0 && bytes.size() < kMaxBits / 8 && idle < 1000;) {
        uint32_t n = VELM_ChannelGetData(h, buf.data(), static_cast<uint32_t>(buf.size()));
        if (n == 0xFFFFFFFFu)
            break;
        idle = n == 0 ? idle + 1 : 0;
        for (uint32_t i = 0; i + info.chans <= n; i += info.chans, at++)
            if (at >= first && bytes.size() < kMaxBits / 8)
                bytes.push_back(buf[i]);
    }
    VELM_StreamFree(h);
    *x = dsdsignal::DsdToFloat(bytes.data(), uint64_t{bytes.size()} * 8);
    return true;
}

} // namespace

int CmdMeasure(int argc, char **argv)
{
    std::string input;
    double freq = 1000.0, skip = 0.2;
    uint32_t rate = 0;
    bool high = false, f32 = false, dsdBits = false;
    for (int i = 0; i < argc; i++) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        bool ok = true;
        if (a == "--rate" && hasValue) {
            ok = ParseUint(argv[++i], &rate) && rate >= 1000;
        } else if (a == "--freq" && hasValue) {
            ok = ParseDouble(argv[++i], &freq) && freq > 0;
        } else if (a == "--skip" && hasValue) {
            ok = ParseDouble(argv[++i], &skip) && skip >= 0 && skip < 3600;
        } else if (a == "--quality" && hasValue) {
            high = strcmp(argv[++i], "high") == 0;
            ok = high || strcmp(argv[i], "designed") == 0;
        } else if (a == "--f32") {
            f32 = true;
        } else if (a == "--dsd-bits") {
            dsdBits = true;
        } else if (a != "-" && a[0] == '-') {
            ok = false;
        } else {
            input = a;
        }
        if (!ok) {
            fprintf(stderr, "velmdsd: measure: bad option or value: '%s'\n", argv[i]);
            return 2;
        }
    }
    if (input.empty() || (f32 && (rate == 0 || dsdBits))) {
        fputs("velmdsd: measure IN [--rate HZ] [--quality designed|high] [--freq HZ] [--skip S]"
              " [--dsd-bits | --f32]\n",
              stderr);
        return 2;
    }

    std::vector<float> x;
    uint32_t channels = 1, fs = rate;
    std::string error;
    if (f32) {
        if (!ReadFloats(input, &x))
            error = "cannot read: " + input;
    } else if (dsdBits) {
        if (!ReadDsdBits(input, skip, &x, &fs))
            error = std::string(ErrorName(VELM_ErrorGetCode())) + ": cannot open: " + input;
        skip = 0.0; /* already left out */
    } else {
        DecodeRequest req;
        req.input = input;
        req.form = Form::kPcmFloat;
        req.bits = 32;
        req.rate = rate;
        req.highQuality = high;
        req.keepSamples = true;
        DecodeSummary s;
        if (Decode(req, &s, &error) == Outcome::kOk) {
            x.swap(s.samples);
            channels = s.channels;
            fs = s.outputRate;
            error.clear();
        }
    }
    const size_t frames = channels != 0 ? x.size() / channels : 0;
    const size_t first = static_cast<size_t>(skip * fs);
    if (error.empty() && frames < first + 1024)
        error = "too little sound to measure after the first " + std::to_string(first) + " samples: " + input;
    if (!error.empty()) {
        fprintf(stderr, "velmdsd: %s\n", error.c_str());
        return 1;
    }
    dsdsignal::ToneMeasurement m = dsdsignal::MeasureTone(x.data() + first * channels, frames - first, fs,
                                                          freq, 20.0, 20000.0, channels);
    printf("%.2f %.2f\n", m.snrDb, m.signalDb);
    return 0;
}

} // namespace cli
