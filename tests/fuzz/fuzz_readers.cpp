/*
 * fuzz_readers.cpp - one fuzz input through stream creation, every stream
 * operation and the read procedure, on the fake host.
 *
 * Besides what the sanitizers catch, it checks what must hold for any
 * source: creation fails only with the format, memory or parameter error
 * (the last only for wrong flags) and leaves the file open; tags can be read
 * in full; the read procedure writes whole frames within the request and,
 * on a source that is all there and finite, ends within a bounded number of
 * calls and stays ended; the length it sets is what it delivered; DoP words
 * carry alternating markers; a second pass from the same position repeats
 * the first; a gain outside its range is refused and changes neither the
 * tables nor the output; release closes the file. On the built DSF and DSDIFF headers,
 * read undisturbed from the first seek on, the output must equal a straight
 * decode of the sound bytes from there.
 */
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "convert/filter.h"
#include "convert/stream_read.h"
#include "create/dsd_stream.h"
#include "create/stream_create.h"
#include "fake_host.h"
#include "fuzz_input.h"
#include "host/host.h"
#include "ops/operations.h"
#include "reference_decoder.h"

/* Sanitizer builds let the harness see every allocation; elsewhere the bound goes unchecked. */
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void *, size_t),
                                                         void (*free_hook)(const volatile void *))
    __attribute__((weak));

namespace {

using fuzz::Controls;

/*
 * The largest single allocation an input can justify: the add-on's work buffer holds at most
 * 25 bytes per channel and two block groups of data the source has, and the harness keeps
 * up to a few copies of the output (PCM at ratio 1 gives 4 bytes per sound byte); a few MiB
 * cover the fixed parts (requests of up to 4 MiB, the record, a 1 MiB read step).
 */
size_t allocationBound = SIZE_MAX;
size_t largestAllocation = 0;

void NoteAllocation(const volatile void *, size_t size)
{
    if (size > largestAllocation)
        largestAllocation = size;
}

void NoteFree(const volatile void *) {}

/* A source of unknown size may have a work buffer of up to 64 MiB. */
void WatchAllocations(const fake::Source &source)
{
    static bool installed = false;
    if (!installed && __sanitizer_install_malloc_and_free_hooks != nullptr)
        installed = __sanitizer_install_malloc_and_free_hooks(NoteAllocation, NoteFree) != 0;
    allocationBound = (12u << 20) + (source.unknownEnd ? 64u << 20 : 64 * source.data.size());
    largestAllocation = 0;
}

constexpr uint32_t DEFAULT_REQUEST = 16384;
constexpr uint64_t MAX_REQUEST = 4u << 20; /* a frame larger than this is not pulled */
constexpr uint64_t NONE = POSITION_NONE;

/* Raw DSD needs decode-only without float; DoP needs float. */
bool FlagsValid(uint32_t flags)
{
    if (flags & DSD_RAW)
        return (flags & (STREAM_DECODE_ONLY | STREAM_FLOAT)) == STREAM_DECODE_ONLY;
    if (flags & DSD_DOP)
        return (flags & STREAM_FLOAT) != 0;
    return true;
}

bool GainValue(uint8_t code, float *value)
{
    if (code < fuzz::GAIN_UNUSUAL) {
        *value = static_cast<float>(static_cast<int>(code) - 120);
        return true;
    }
    switch (code) {
    case fuzz::GAIN_NAN:
        *value = NAN;
        return true;
    case fuzz::GAIN_INF:
        *value = INFINITY;
        return true;
    case fuzz::GAIN_NEG_INF:
        *value = -INFINITY;
        return true;
    case fuzz::GAIN_HUGE:
        *value = 1e30f;
        return true;
    case fuzz::GAIN_NEG_HUGE:
        *value = -1e30f;
        return true;
    case fuzz::GAIN_TINY:
        *value = 1e-40f;
        return true;
    default:
        return false;
    }
}

/* Reads every byte, so that the sanitizers see a block that is shorter than it claims. */
uint32_t Touch(const void *p, size_t n)
{
    const volatile uint8_t *b = static_cast<const volatile uint8_t *>(p);
    uint32_t sum = 0;
    for (size_t i = 0; i < n; i++)
        sum += b[i];
    return sum;
}

class Run {
public:
    Run(const Controls &c, fake::Source source) : c_(c), source_(std::move(source)) {}

    std::vector<std::string> findings;

    void Go()
    {
        if (!c_.late)
            arrived_ = true;
        file_ = fake::AddSource(source_);

        flags_ = fuzz::CreationFlags(c_);
        uint32_t freq = fuzz::FreqTable()[c_.freqIndex & 15];
        uint32_t h = DsdStreamCreate(file_, flags_, freq);
        if (h == 0) {
            if (getenv("VELMDSD_FUZZ_TRACE") != nullptr)
                fprintf(stderr, "fuzz_readers: no stream, error %d\n", fake::LastError());
            CheckFailedCreation();
            return;
        }
        if (!FlagsValid(flags_))
            Fail("flags 0x%x were accepted", flags_);
        if (fake::LastError() != ERROR_OK)
            Fail("creation succeeded with error %d", fake::LastError());
        if (fake::OwnerStream(file_) != h)
            Fail("the stream does not own its file");
        if (c_.knobsAfterCreation) {
            fake::Source &src = fake::GetSource(file_);
            src.failSeek = c_.failSeek;
            src.readScript.assign(c_.readScript.begin(), c_.readScript.end());
        }

        fake::Stream *st = fake::GetStream(h);
        ops_ = st->ops;
        inst_ = st->user;
        rec_ = static_cast<DsdStream *>(inst_);
        if (st->chans != rec_->channels)
            Fail("stream has %u channels, record %u", st->chans, rec_->channels);
        if ((rec_->flags & DSD_RAW) && !(st->flags & STREAM_8BIT))
            Fail("raw stream without 8-bit samples");
        SetUpForm();

        Operations();
        uint64_t start = ops_->setPosition(inst_, c_.pos1, 0);
        CheckSeekResult(c_.pos1, start);

        std::vector<uint8_t> first, second;
        bool midSeek = false;
        bool ended = Pull(h, true, &midSeek, &first);
        if (ended) {
            AfterEnd(h);
            std::vector<std::vector<uint8_t>> sound;
            const uint64_t from = rec_->hq != nullptr ? 0 : SoundByteForPosition(c_.pos1);
            if (start != NONE && !midSeek && KnownSound(from, &sound)) {
                std::vector<uint8_t> want = Reference(sound, start);
                if (first != want)
                    Fail("%zu bytes differ from the %zu of the reference decode (first difference at %zu)",
                         first.size(), want.size(), FirstDifference(first, want));
            }
            /* Again from the same place: the same bytes, unless the first pass was disturbed; a
               gain refused in between changes none of them. */
            float gain;
            if (GainValue(c_.gainCode, &gain) && !(gain >= GAIN_MIN_DB && gain <= GAIN_MAX_DB))
                SetGainOrCheckRefusal(gain);
            uint64_t again = ops_->setPosition(inst_, c_.pos1, 0);
            CheckSeekResult(c_.pos1, again);
            if (again != NONE) {
                bool unused = false;
                if (Pull(h, false, &unused, &second)) {
                    AfterEnd(h);
                    bool comparable =
                        start == again && !midSeek && c_.readScript.empty() && form_ != FORM_DOP;
                    if (comparable && first != second)
                        Fail("a second pass from %llu gave %zu bytes, the first %zu (or other bytes)",
                             static_cast<unsigned long long>(again), second.size(), first.size());
                }
            }
        }

        if (getenv("VELMDSD_FUZZ_TRACE") != nullptr)
            fprintf(stderr,
                    "fuzz_readers: stream %u ch %u form %d delivered %llu, passes %zu and %zu bytes\n", h,
                    rec_->channels, form_, static_cast<unsigned long long>(fake::GetStream(h)->delivered),
                    first.size(), second.size());
        fake::FreeStream(h);
        if (!fake::IsClosed(file_))
            Fail("release left the file open");
        if (fake::OpenFileCount() != 0)
            Fail("%zu files open after release", fake::OpenFileCount());
        if (fake::BadHandleCalls() != 0)
            Fail("%zu calls on bad handles", fake::BadHandleCalls());
    }

private:
    enum Form { FORM_RAW, FORM_DOP, FORM_PCM_FLOAT, FORM_PCM_16 };

    __attribute__((format(printf, 2, 3))) void Fail(const char *fmt, ...)
    {
        va_list args;
        va_start(args, fmt);
        findings.push_back(fake::FormatV(fmt, args));
        va_end(args);
    }

    void CheckFailedCreation()
    {
        int32_t e = fake::LastError();
        if (e != ERROR_FORMAT && e != ERROR_MEMORY && e != ERROR_PARAM)
            Fail("creation failed with error %d", e);
        if (e == ERROR_PARAM && FlagsValid(flags_))
            Fail("flags 0x%x refused", flags_);
        if (fake::LastStream() != 0)
            Fail("a failed creation left stream %u", fake::LastStream());
        if (fake::IsClosed(file_))
            Fail("a failed creation closed the file");
        if (fake::BadHandleCalls() != 0)
            Fail("%zu calls on bad handles", fake::BadHandleCalls());
    }

    void SetUpForm()
    {
        if (rec_->flags & DSD_RAW)
            form_ = FORM_RAW, unit_ = 1;
        else if (rec_->flags & DSD_DOP)
            form_ = FORM_DOP, unit_ = 4;
        else if (rec_->flags & STREAM_FLOAT)
            form_ = FORM_PCM_FLOAT, unit_ = 4;
        else
            form_ = FORM_PCM_16, unit_ = 2;
        frame_ = static_cast<uint64_t>(rec_->channels) * unit_;
        if (frame_ <= DEFAULT_REQUEST)
            request_ = DEFAULT_REQUEST;
        else if (frame_ <= MAX_REQUEST)
            request_ = static_cast<uint32_t>(frame_);
        else
            request_ = 0; /* no request can hold one frame: the stream cannot be pulled */
        gainDb_ = rec_->gainDb;
    }

    /* A seek reaches a whole frame at or before the position asked for; raw, the frame it lies in.
       The reached position must also be where the data restarts: SoundByteForPosition. */
    void CheckSeekResult(uint64_t position, uint64_t result)
    {
        if (result == NONE)
            return;
        if (rec_->hq != nullptr) { /* the converter restarts ahead: exactly the frame asked for */
            if (result != position - position % frame_)
                Fail("seek to %llu reached %llu", static_cast<unsigned long long>(position),
                     static_cast<unsigned long long>(result));
            return;
        }
        bool wrong = form_ == FORM_RAW ? result != position - position % frame_ : result > position;
        if (wrong || result % frame_ != 0 || SoundByteForReached(result) != SoundByteForPosition(position))
            Fail("seek to %llu reached %llu", static_cast<unsigned long long>(position),
                 static_cast<unsigned long long>(result));
    }

    /* Sound bytes per channel before the data of a reached (whole-frame) position. */
    uint64_t SoundByteForReached(uint64_t reached) const
    {
        uint64_t perChannel = reached / rec_->channels;
        return form_ == FORM_RAW ? perChannel : perChannel / unit_ * static_cast<uint64_t>(rec_->ratio);
    }

    void Operations()
    {
        ChannelInfo info;
        memset(&info, 0, sizeof info);
        ops_->getInfo(inst_, &info);
        if (info.ctype != CTYPE_DSD)
            Fail("info type 0x%x", info.ctype);

        uint64_t length = ops_->getLength(inst_, 0);
        if (length != (rec_->length != 0 ? rec_->length : NONE))
            Fail("length query %llu, record %llu", static_cast<unsigned long long>(length),
                 static_cast<unsigned long long>(rec_->length));
        if (ops_->getLength(inst_, 1) != NONE)
            Fail("length in mode 1");
        for (uint32_t mode = 0; mode < 5; mode++) {
            uint64_t p = ops_->getFilePosition(inst_, mode);
            if (mode == 2 && p > rec_->dataSize)
                Fail("end position %llu beyond the data size", static_cast<unsigned long long>(p));
        }
        Tags();
        Attributes();
        CanSet(c_.pos1);
    }

    void CanSet(uint64_t position)
    {
        if (ops_->canSetPosition(inst_, position, c_.canSetMode) != 0) {
            if ((c_.canSetMode & 0xff) != 0 || position >= rec_->length)
                Fail("position %llu allowed in mode %u with length %llu",
                     static_cast<unsigned long long>(position), c_.canSetMode,
                     static_cast<unsigned long long>(rec_->length));
        }
    }

    void Tags()
    {
        uint32_t sum = 0;
        const uint8_t *id3 = static_cast<const uint8_t *>(ops_->getTags(inst_, TAG_ID3V2));
        if (id3 != nullptr) {
            if (memcmp(id3, "ID3", 3) != 0)
                Fail("ID3 tag without its header");
            uint32_t size = static_cast<uint32_t>(id3[6] & 0x7f) << 21 |
                            static_cast<uint32_t>(id3[7] & 0x7f) << 14 |
                            static_cast<uint32_t>(id3[8] & 0x7f) << 7 | (id3[9] & 0x7f);
            sum += Touch(id3, static_cast<size_t>(size) + 10);
        }
        for (uint32_t type : {TAG_DSD_ARTIST, TAG_DSD_TITLE}) {
            const char *text = static_cast<const char *>(ops_->getTags(inst_, type));
            if (text != nullptr) {
                sum += Touch(text, strlen(text) + 1);
                size_t before = fake::JavaStrings().size();
                if (ops_->getTags(inst_, type | TAG_JAVA_OBJECT) == nullptr ||
                    fake::JavaStrings().size() != before + 1 || fake::JavaStrings().back() != text)
                    Fail("Java form of text tag 0x%x", type);
            }
        }
        uint32_t count = rec_->commentCount;
        for (uint64_t i = 0; i < static_cast<uint64_t>(count) + 2; i++) {
            uint32_t type = TAG_DSD_COMMENT_BASE + static_cast<uint32_t>(i);
            const uint8_t *comment = static_cast<const uint8_t *>(ops_->getTags(inst_, type));
            if ((comment != nullptr) != (i < count)) {
                Fail("comment %llu of %u %s", static_cast<unsigned long long>(i), count,
                     comment != nullptr ? "present" : "missing");
                continue;
            }
            if (comment == nullptr)
                continue;
            uint32_t textLength;
            memcpy(&textLength, comment + 10, 4);
            sum += Touch(comment, 14 + static_cast<size_t>(textLength));
            ops_->getTags(inst_, type | TAG_JAVA_OBJECT);
        }
        ops_->getTags(inst_, TAG_ID3V2 | TAG_JAVA_OBJECT);
        ops_->getTags(inst_, 0);
        (void)sum;
    }

    void Attributes()
    {
        float v = -1.0f;
        if (ops_->attribute(inst_, DSD_ATTRIB_RATE, &v, 0) != 1 || v != static_cast<float>(rec_->dsdRate))
            Fail("rate attribute %g for %u", static_cast<double>(v), rec_->dsdRate);
        if (ops_->attribute(inst_, DSD_ATTRIB_RATE, &v, 1) != 0)
            Fail("rate attribute set");
        bool pcm = form_ == FORM_PCM_FLOAT || form_ == FORM_PCM_16;
        if (ops_->attribute(inst_, DSD_ATTRIB_GAIN, &v, 0) != (pcm ? 1u : 0u))
            Fail("gain attribute on form %d", form_);
        const int32_t configured = c_.defaultGain < GAIN_MIN_DB   ? GAIN_MIN_DB
                                   : c_.defaultGain > GAIN_MAX_DB ? GAIN_MAX_DB
                                                                  : c_.defaultGain;
        if (pcm && v != static_cast<float>(configured))
            Fail("gain %g from a configured %d", static_cast<double>(v), c_.defaultGain);
        float gain;
        if (GainValue(c_.gainCode, &gain)) {
            bool refused = !(gain >= GAIN_MIN_DB && gain <= GAIN_MAX_DB);
            uint32_t ok = SetGainOrCheckRefusal(gain);
            if (ok != (pcm && !refused ? 1u : 0u))
                Fail("gain attribute set to %g on form %d", static_cast<double>(gain), form_);
            if (ok)
                gainDb_ = gain;
        }
        if (ops_->attribute(inst_, 0x1400Fu, &v, 0) != 0)
            Fail("unknown attribute answered");
        CompressionAttributes();
    }

    /* Read only; nothing is broken before the first read; plain sound declares no frames and is
       stored 1:1. */
    void CompressionAttributes()
    {
        float frames = -1.0f, broken = -1.0f, ratio = -1.0f, v = 5.0f;
        if (ops_->attribute(inst_, DSD_ATTRIB_DST_FRAMES, &frames, 0) != 1 ||
            ops_->attribute(inst_, DSD_ATTRIB_DST_BROKEN, &broken, 0) != 1 ||
            ops_->attribute(inst_, DSD_ATTRIB_COMPRESSION, &ratio, 0) != 1)
            Fail("compression attributes not answered");
        if (ops_->attribute(inst_, DSD_ATTRIB_DST_BROKEN, &v, 1) != 0 || v != 5.0f)
            Fail("broken frames attribute set");
        if (broken != 0.0f || frames < 0.0f || !(ratio >= 0.0f))
            Fail("frames %g, broken %g, ratio %g", static_cast<double>(frames), static_cast<double>(broken),
                 static_cast<double>(ratio));
        if (rec_->dst == nullptr && (frames != 0.0f || ratio != 1.0f))
            Fail("plain sound with %g frames, ratio %g", static_cast<double>(frames),
                 static_cast<double>(ratio));
    }

    /* Sets the gain; a refused value must leave the gain and the tables as they were. */
    uint32_t SetGainOrCheckRefusal(float gain)
    {
        std::vector<float> tables(&rec_->filterTables[0][0], &rec_->filterTables[0][0] + FILTER_GROUPS * 256);
        const float before = rec_->gainDb;
        uint32_t ok = ops_->attribute(inst_, DSD_ATTRIB_GAIN, &gain, 1);
        if (ok == 0 && (form_ == FORM_PCM_FLOAT || form_ == FORM_PCM_16)) {
            if (fake::LastError() != ERROR_PARAM)
                Fail("gain %g refused with error %d", static_cast<double>(gain), fake::LastError());
            if (memcmp(&before, &rec_->gainDb, sizeof before) != 0 ||
                memcmp(tables.data(), rec_->filterTables, tables.size() * sizeof(float)) != 0)
                Fail("a refused gain of %g changed the stream", static_cast<double>(gain));
        }
        return ok;
    }

    /* Checks one call's output: DoP markers alternate frame by frame, float PCM stays in range. */
    void CheckOutput(const uint8_t *out, uint32_t n)
    {
        uint32_t channels = rec_->channels;
        if (form_ == FORM_DOP) {
            for (uint32_t k = 0; k < n / 4; k++) {
                float f;
                memcpy(&f, out + 4 * static_cast<size_t>(k), 4);
                double w = static_cast<double>(f) * 8388608.0;
                if (!(w >= -8388608.0 && w < 8388608.0) || w != floor(w)) {
                    Fail("DoP unit %g is no 24-bit word", static_cast<double>(f));
                    return;
                }
                uint32_t marker = static_cast<uint32_t>(static_cast<int32_t>(w)) & 0xFFFF0000u;
                if (marker != DOP_MARKER_05 && marker != DOP_MARKER_FA) {
                    Fail("DoP marker 0x%08x", marker);
                    return;
                }
                if (dopMarker_ != 0 && marker != dopMarker_) {
                    Fail("DoP marker 0x%08x where 0x%08x was due", marker, dopMarker_);
                    return;
                }
                dopMarker_ = marker;
                if (++dopChannel_ == channels) {
                    dopChannel_ = 0;
                    dopMarker_ ^= 0xFFFF0000u;
                }
            }
        } else if (form_ == FORM_PCM_FLOAT) {
            double bound = 4.0 * pow(10.0, static_cast<double>(gainDb_) / 20.0);
            for (uint32_t k = 0; k < n / 4; k++) {
                float f;
                memcpy(&f, out + 4 * static_cast<size_t>(k), 4);
                if (!(fabs(static_cast<double>(f)) <= bound)) {
                    Fail("PCM sample %g at gain %g dB", static_cast<double>(f), static_cast<double>(gainDb_));
                    return;
                }
            }
        }
    }

    static size_t FirstDifference(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b)
    {
        size_t i = 0;
        while (i < a.size() && i < b.size() && a[i] == b[i])
            i++;
        return i;
    }

    /* Where the data restarts for an output position, in sound bytes per channel: a whole number
       of output samples, each `ratio` bytes (raw: one byte); DSF other than raw at a block's
       start, moved back to a whole output sample. */
    uint64_t SoundByteForPosition(uint64_t position) const
    {
        uint64_t perChannel = position / rec_->channels;
        if (form_ == FORM_RAW)
            return perChannel;
        const uint64_t ratio = static_cast<uint64_t>(rec_->ratio);
        perChannel = perChannel / unit_ * ratio;
        if (!rec_->isDff) {
            perChannel -= perChannel % rec_->blockSize;
            perChannel -= perChannel % ratio;
        }
        return perChannel;
    }

    /*
     * The sound a stream read from `skip` bytes per channel on must deliver, per channel with the
     * oldest bit in bit 7, when the source is one of the built headers around the file part and
     * nothing disturbs the reading: DSDIFF gives every whole frame; DSF every whole block group,
     * less each channel's padding when the groups fill the rest of the data exactly.
     */
    bool KnownSound(uint64_t skip, std::vector<std::vector<uint8_t>> *sound) const
    {
        if (!c_.readScript.empty() || c_.failSeek || rec_->channels > 64)
            return false;
        const uint32_t channels = rec_->channels;
        const std::vector<uint8_t> &file = source_.data;
        const uint64_t end = rec_->dataOffset + rec_->dataSize;
        if (end > file.size() || skip > rec_->dataSize / channels)
            return false;
        sound->assign(channels, {});
        if (c_.container == fuzz::CONTAINER_DFF_SOUND) {
            const uint64_t begin = rec_->dataOffset + skip * channels;
            for (uint64_t i = begin; i + channels <= end; i += channels)
                for (uint32_t ch = 0; ch < channels; ch++)
                    (*sound)[ch].push_back(file[i + ch]);
            return true;
        }
        if (c_.container != fuzz::CONTAINER_DSF)
            return false;
        /* From the block group the position lies in, less the bytes before it. */
        const uint64_t block = rec_->blockSize, group = block * channels;
        const uint64_t drop = skip % block;
        const uint64_t begin = rec_->dataOffset + (skip - drop) * channels;
        const uint64_t groups = (end - begin) / group;
        for (uint64_t g = 0; g < groups; g++)
            for (uint32_t ch = 0; ch < channels; ch++) {
                const uint8_t *b = file.data() + begin + g * group + ch * block;
                for (uint64_t i = 0; i < block; i++)
                    (*sound)[ch].push_back(rec_->lsbFirst ? bitReverse[b[i]] : b[i]);
            }
        if (groups != 0 && (end - begin) % group == 0)
            for (auto &ch : *sound)
                ch.resize(ch.size() - rec_->tailPad);
        for (auto &ch : *sound)
            ch.erase(ch.begin(), ch.begin() + static_cast<ptrdiff_t>(drop < ch.size() ? drop : ch.size()));
        return true;
    }

    /* A straight decode of the sound, by the tests' reference decoder; the high-quality converter's
       from the whole sound, from output byte `start` on. */
    std::vector<uint8_t> Reference(std::vector<std::vector<uint8_t>> sound, uint64_t start) const
    {
        if (rec_->hq == nullptr)
            return reference::RefDecode(reference::Sound{sound}, rec_->flags, rec_->dsdRate, rec_->ratio,
                                        gainDb_);
        for (auto &ch : sound) /* its tables take the bytes as stored */
            for (auto &b : ch)
                b = rec_->lsbFirst ? bitReverse[b] : b;
        std::vector<uint8_t> all =
            reference::RefHq(reference::Sound{sound}, *rec_->hq, rec_->ratio, form_ == FORM_PCM_FLOAT);
        all.erase(all.begin(), all.begin() + static_cast<ptrdiff_t>(start < all.size() ? start : all.size()));
        return all;
    }

    /* Pulls the stream until it ends; false when it did not end within the bound. */
    bool Pull(uint32_t h, bool useRequests, bool *midSeek, std::vector<uint8_t> *kept)
    {
        const uint64_t bound = 2 * static_cast<uint64_t>(source_.data.size()) +
                               4 * (c_.readScript.size() + c_.requests.size()) + 64;
        uint64_t counted = 0;
        uint32_t idle = 0;
        std::vector<uint8_t> buf;
        for (uint64_t call = 0;; call++) {
            if (useRequests && call == c_.seekAt) {
                uint64_t position = static_cast<uint64_t>(c_.pos2) << c_.pos2Shift;
                CanSet(position);
                uint64_t result = ops_->setPosition(inst_, position, 0);
                if (position < (uint64_t{1} << 40))
                    CheckSeekResult(position, result);
                ops_->getFilePosition(inst_, 0);
                *midSeek = true;
                counted = 0;
            }
            uint32_t len = useRequests && call < c_.requests.size() ? c_.requests[call] : request_;
            if (buf.size() < len)
                buf.resize(len);
            uint32_t r = fake::Read(h, buf.data(), len);
            uint32_t n = r & ~STREAM_READ_END;
            if (n > len) {
                Fail("%u bytes for a request of %u", n, len);
                return false;
            }
            if (n % frame_ != 0)
                Fail("%u bytes are no whole frames of %llu", n, static_cast<unsigned long long>(frame_));
            CheckOutput(buf.data(), n);
            kept->insert(kept->end(), buf.data(), buf.data() + n);
            if (r & STREAM_READ_END)
                return true;
            if (!arrived_) {
                /* The rest arrives once the stream has waited a while for it. */
                idle = n == 0 ? idle + 1 : 0;
                if (idle >= 4 || call >= bound) {
                    fake::GetSource(file_).arrived = UINT64_MAX;
                    arrived_ = true;
                }
            } else if (++counted > bound) {
                if (request_ != 0)
                    Fail("no end after %llu calls on a source of %zu bytes",
                         static_cast<unsigned long long>(counted), source_.data.size());
                return false;
            }
            if (!findings.empty())
                return false;
        }
    }

    /* An ended stream stays ended, and its length is what it delivered. A negative FileRead count
       still to come may reopen it: the count is added back to the bytes remaining. */
    void AfterEnd(uint32_t h)
    {
        bool scripted = !fake::GetSource(file_).readScript.empty();
        std::unique_ptr<uint8_t[]> buf(new uint8_t[request_]);
        uint32_t r = fake::Read(h, buf.get(), request_);
        if (r != STREAM_READ_END && !scripted)
            Fail("after the end a call gave 0x%x", r);
        if (!(r & STREAM_READ_END))
            return;
        uint64_t delivered = fake::GetStream(h)->delivered;
        uint64_t length = ops_->getLength(inst_, 0);
        if (length != (delivered != 0 ? delivered : NONE))
            Fail("length %llu after delivering %llu", static_cast<unsigned long long>(length),
                 static_cast<unsigned long long>(delivered));
    }

    const Controls &c_;
    fake::Source source_;
    uint32_t file_ = 0;
    uint32_t flags_ = 0;
    bool arrived_ = false;
    const OperationsTable *ops_ = nullptr;
    void *inst_ = nullptr;
    DsdStream *rec_ = nullptr;
    Form form_ = FORM_PCM_16;
    uint32_t unit_ = 2;
    uint64_t frame_ = 2;
    uint32_t request_ = DEFAULT_REQUEST;
    float gainDb_ = 0.0f;
    uint32_t dopMarker_ = 0;
    uint32_t dopChannel_ = 0;
};

} // namespace

int FuzzOneInput(const uint8_t *data, size_t size)
{
    size_t offset = 0;
    Controls c = fuzz::Decode(data, size, &offset);
    fake::Source source = fuzz::MakeSource(c, data + offset, size - offset);

    fake::Reset();
    AddonLoad();
    uint32_t rate = fuzz::DefaultRateTable()[c.defaultRateIndex & 7];
    uint32_t gain = static_cast<uint32_t>(static_cast<int32_t>(c.defaultGain));
    DsdConfigHandler(DSD_CONFIG_RATE, 1, &rate);
    DsdConfigHandler(DSD_CONFIG_GAIN, 1, &gain);

    WatchAllocations(source);
    Run run(c, std::move(source));
    run.Go();
    if (largestAllocation > allocationBound)
        run.findings.push_back("an allocation of " + std::to_string(largestAllocation) +
                               " bytes for an input of " + std::to_string(size) + " bytes");
    if (getenv("VELMDSD_FUZZ_TRACE") != nullptr && !run.findings.empty())
        fprintf(stderr, "%s", fake::LogText().c_str());
    AddonUnload();
    fake::Reset();

    for (const std::string &f : run.findings)
        fprintf(stderr, "fuzz_readers: %s\n", f.c_str());
    return run.findings.empty() ? 0 : 1;
}
