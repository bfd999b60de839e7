/* The make-test and demo commands: DSD test tones, and a tour of every output form. */
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <strings.h>

#include "cli.h"
#include "dsdsignal/measure.h"
#include "dsdsignal/tone.h"
#include "dsdsignal/writers.h"

namespace cli {
namespace {

struct ToneFile {
    std::string path;
    uint32_t dsdRate = 2822400;
    uint32_t channels = 2;
    double seconds = 5.0;
    double freqHz = 1000.0;
    double levelDbfs = -6.0;
    dsdsignal::Shaping shaping = dsdsignal::Shaping::kGentle;
    std::string artist, title, comment;
};

bool EndsWith(const std::string &s, const char *suffix)
{
    size_t n = strlen(suffix);
    return s.size() >= n && strcasecmp(s.c_str() + s.size() - n, suffix) == 0;
}

bool WriteTone(const ToneFile &t, std::string *error)
{
    if (!EndsWith(t.path, ".dff") && !EndsWith(t.path, ".dsf")) {
        *error = "the output must end in .dsf or .dff: " + t.path;
        return false;
    }
    dsdsignal::ChannelBytes sound =
        dsdsignal::MakeTone(t.dsdRate, t.channels, t.seconds, t.freqHz, t.levelDbfs, t.shaping);
    std::vector<uint8_t> bytes;
    if (EndsWith(t.path, ".dff")) {
        dsdsignal::DffOptions options;
        if (!t.artist.empty())
            options.artist = t.artist;
        if (!t.title.empty())
            options.title = t.title;
        if (!t.comment.empty()) {
            time_t now = time(nullptr);
            struct tm tm;
            gmtime_r(&now, &tm);
            dsdsignal::DffComment c;
            c.year = static_cast<uint16_t>(tm.tm_year + 1900);
            c.month = static_cast<uint8_t>(tm.tm_mon + 1);
            c.day = static_cast<uint8_t>(tm.tm_mday);
            c.hour = static_cast<uint8_t>(tm.tm_hour);
            c.minutes = static_cast<uint8_t>(tm.tm_min);
            c.text = t.comment;
            options.comments = std::vector<dsdsignal::DffComment>{c};
        }
        bytes = dsdsignal::MakeDff(t.dsdRate, sound, options);
    } else {
        dsdsignal::DsfOptions options;
        if (!t.artist.empty() || !t.title.empty())
            options.id3Tag = dsdsignal::MakeId3v23Tag(t.title, t.artist);
        bytes = dsdsignal::MakeDsf(t.dsdRate, sound, options);
    }
    if (bytes.empty() || !dsdsignal::WriteFileBytes(t.path, bytes)) {
        *error = "cannot write: " + t.path;
        return false;
    }
    return true;
}

} // namespace

int CmdMakeTest(int argc, char **argv)
{
    ToneFile t;
    for (int i = 0; i < argc; i++) {
        const char *a = argv[i];
        bool hasValue = i + 1 < argc;
        bool ok = true;
        if (strcmp(a, "--rate") == 0 && hasValue) {
            ok = ParseUint(argv[++i], &t.dsdRate) && t.dsdRate >= 8 * 44100;
        } else if (strcmp(a, "--channels") == 0 && hasValue) {
            ok = ParseUint(argv[++i], &t.channels) && t.channels >= 1 && t.channels <= 16;
        } else if (strcmp(a, "--seconds") == 0 && hasValue) {
            ok = ParseDouble(argv[++i], &t.seconds) && t.seconds > 0 && t.seconds <= 3600;
        } else if (strcmp(a, "--freq") == 0 && hasValue) {
            ok = ParseDouble(argv[++i], &t.freqHz) && t.freqHz >= 0;
        } else if (strcmp(a, "--level") == 0 && hasValue) {
            /* The modulator is stable up to -3 dBFS; louder tones would come out broken. */
            ok = ParseDouble(argv[++i], &t.levelDbfs) && t.levelDbfs <= -3.0;
        } else if (strcmp(a, "--shaping") == 0 && hasValue) {
            const char *v = argv[++i];
            ok = strcmp(v, "gentle") == 0 || strcmp(v, "aggressive") == 0;
            t.shaping = v[0] == 'a' ? dsdsignal::Shaping::kAggressive : dsdsignal::Shaping::kGentle;
        } else if (strcmp(a, "--artist") == 0 && hasValue) {
            t.artist = argv[++i];
        } else if (strcmp(a, "--title") == 0 && hasValue) {
            t.title = argv[++i];
        } else if (strcmp(a, "--comment") == 0 && hasValue) {
            t.comment = argv[++i];
        } else if (a[0] == '-') {
            fprintf(stderr, "velmdsd: unknown or incomplete option '%s'\n", a);
            return 2;
        } else if (t.path.empty()) {
            t.path = a;
        } else {
            fprintf(stderr, "velmdsd: one output file only ('%s')\n", a);
            return 2;
        }
        if (!ok) {
            fprintf(stderr, "velmdsd: bad value for %s: '%s' (see velmdsd --help)\n", a, argv[i]);
            return 2;
        }
    }
    if (t.path.empty()) {
        fputs("velmdsd: make-test needs an output file (.dsf or .dff)\n", stderr);
        return 2;
    }
    std::string error;
    if (!WriteTone(t, &error)) {
        fprintf(stderr, "velmdsd: %s\n", error.c_str());
        return 1;
    }
    fprintf(stderr, "%s: %.2f s of %.0f Hz at %.1f dBFS, %u channel%s at %u Hz\n", t.path.c_str(), t.seconds,
            t.freqHz, t.levelDbfs, t.channels, t.channels == 1 ? "" : "s", t.dsdRate);
    return 0;
}

int CmdDemo(int argc, char **argv)
{
    std::string dir = "velmdsd-demo";
    if (argc == 2 && strcmp(argv[0], "--dir") == 0) {
        dir = argv[1];
    } else if (argc != 0) {
        fputs("velmdsd: demo takes no arguments (or --dir DIR)\n", stderr);
        return 2;
    }
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
        fprintf(stderr, "velmdsd: cannot create %s\n", dir.c_str());
        return 1;
    }

    ToneFile tone;
    tone.seconds = 3.0;
    tone.path = dir + "/tone.dsf";
    printf("Writing a DSD64 stereo test tone: %.0f Hz at %.0f dBFS, %.0f s -> %s\n", tone.freqHz,
           tone.levelDbfs, tone.seconds, tone.path.c_str());
    auto t0 = std::chrono::steady_clock::now();
    std::string error;
    if (!WriteTone(tone, &error)) {
        fprintf(stderr, "velmdsd: %s\n", error.c_str());
        return 1;
    }
    printf("  (modulated in %.2f s)\n\n",
           std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());

    struct Row {
        const char *file, *hqFile; /* hqFile: the high-quality PCM */
        Form form;
        uint32_t rate;
    } rows[] = {
        {"pcm16-44k.wav", "pcm16-44k-hq.wav", Form::kPcm16, 44100},
        {"float-44k.wav", "float-44k-hq.wav", Form::kPcmFloat, 44100},
        {"float-88k.wav", "float-88k-hq.wav", Form::kPcmFloat, 88200},
        {"float-352k.wav", "float-352k-hq.wav", Form::kPcmFloat, 352800},
        {"dop.wav", nullptr, Form::kDop, 0},
        {"raw.dsd", nullptr, Form::kRaw, 0},
    };
    printf("SNR: signal to noise from 20 Hz to 20 kHz of the PCM, from the add-on's designed filter\n"
           "(--quality designed) and from its high-quality converter (the decode command's default;\n"
           "DoP and raw DSD carry the DSD bits unchanged, for a DAC to convert). speed: seconds of\n"
           "audio decoded per second (PCM: designed / high).\n\n");
    printf("%-16s %-11s %9s %13s %10s %14s\n", "output", "form", "rate Hz", "SNR designed", "SNR high",
           "speed");
    int status = 0;
    for (const Row &row : rows) {
        const bool pcm = row.hqFile != nullptr;
        std::string snr[2] = {"(DSD)", "(DSD)"}, speed, rate;
        for (int high = 0; high < (pcm ? 2 : 1); high++) {
            DecodeRequest req;
            req.input = tone.path;
            req.output = dir + "/" + (high ? row.hqFile : row.file);
            req.form = row.form;
            req.rate = row.rate;
            req.keepSamples = pcm;
            req.highQuality = high != 0;
            DecodeSummary s;
            if (Decode(req, &s, &error) != Outcome::kOk) {
                fprintf(stderr, "velmdsd: %s\n", error.c_str());
                status = 1;
                break;
            }
            /* Skip the first 0.2 s, where the filter and the modulator settle. */
            size_t frames = s.channels != 0 ? s.samples.size() / s.channels : 0;
            size_t skip = static_cast<size_t>(0.2 * s.outputRate);
            char text[32];
            if (pcm && frames > skip + 1024) {
                snprintf(text, sizeof text, "%.1f dB",
                         dsdsignal::MeasureChannelSnrDb(s.samples.data() + skip * s.channels, frames - skip,
                                                        s.channels, 0, s.outputRate, tone.freqHz));
                snr[high] = text;
            }
            snprintf(text, sizeof text, "%s%.0fx", high ? " / " : "",
                     s.elapsedSeconds > 0 ? s.audioSeconds / s.elapsedSeconds : 0.0);
            speed += text;
            rate = std::to_string(s.outputRate);
        }
        if (rate.empty())
            continue;
        printf("%-16s %-11s %9s %13s %10s %14s\n", row.file, FormName(row.form), rate.c_str(), snr[0].c_str(),
               snr[1].c_str(), speed.c_str());
    }
    printf("\nThe tone and the outputs are in %s/ (high quality: *-hq.wav).\n", dir.c_str());
    return status;
}

} // namespace cli
