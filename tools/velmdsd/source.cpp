/* Inputs of the tool: files through the add-on's file entry, standard input through user
   file procedures over the pipe, and a look at a source's first bytes for the message when
   the add-on refuses it. */
#include "source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli.h"
#include "velmdsd.h"

namespace cli {

/* Standard input with the last kPipeWindow bytes kept in a ring: byte p lives at ring[p % size].
   Reads behind the newest byte come from the ring; a seek may go back as far as the ring reaches,
   and forward only as far as reading ahead drops nothing that is kept (so the DSF reader's jump
   to a tag at the end of a long input is refused, and the return to the sound data works). */
struct PipeSource {
    int fd = 0;
    uint8_t *ring = nullptr;
    uint64_t head = 0; /* bytes taken from the pipe */
    uint64_t pos = 0;  /* the position the host reads from */
    bool eof = false;
    int readErrno = 0; /* errno of a failed read */
};

namespace {

/* Bytes of standard input read before the stream is created, for the look at its start. */
constexpr uint32_t kHeaderPeek = 64 * 1024;

uint64_t KeptStart(const PipeSource *p)
{
    return p->head > kPipeWindow ? p->head - kPipeWindow : 0;
}

void Keep(PipeSource *p, const uint8_t *bytes, size_t n)
{
    if (n > kPipeWindow) {
        bytes += n - kPipeWindow;
        p->head += n - kPipeWindow;
        n = kPipeWindow;
    }
    size_t at = static_cast<size_t>(p->head % kPipeWindow);
    size_t first = n < kPipeWindow - at ? n : kPipeWindow - at;
    memcpy(p->ring + at, bytes, first);
    memcpy(p->ring, bytes + first, n - first);
    p->head += n;
}

void FromRing(const PipeSource *p, uint64_t pos, uint8_t *out, size_t n)
{
    size_t at = static_cast<size_t>(pos % kPipeWindow);
    size_t first = n < kPipeWindow - at ? n : kPipeWindow - at;
    memcpy(out, p->ring + at, first);
    memcpy(out + first, p->ring, n - first);
}

/* Reads from the pipe until `n` bytes or its end; the bytes are kept in the ring. */
size_t PullPipe(PipeSource *p, uint8_t *out, size_t n)
{
    size_t got = 0;
    while (got < n && !p->eof) {
        ssize_t r = read(p->fd, out + got, n - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            /* A read error ends the source like its end; the tool reports the shortfall and why. */
            if (r < 0)
                p->readErrno = errno;
            p->eof = true;
            break;
        }
        Keep(p, out + got, static_cast<size_t>(r));
        got += static_cast<size_t>(r);
    }
    return got;
}

uint32_t PipeRead(void *buffer, uint32_t length, void *user)
{
    PipeSource *p = static_cast<PipeSource *>(user);
    uint8_t *out = static_cast<uint8_t *>(buffer);
    uint32_t done = 0;
    if (p->pos < p->head) {
        uint64_t kept = p->head - p->pos;
        done = static_cast<uint32_t>(kept < length ? kept : length);
        FromRing(p, p->pos, out, done);
        p->pos += done;
    }
    size_t got = PullPipe(p, out + done, length - done);
    p->pos += got;
    return done + static_cast<uint32_t>(got);
}

uint32_t PipeSeek(uint64_t offset, void *user)
{
    PipeSource *p = static_cast<PipeSource *>(user);
    if (offset < KeptStart(p) || offset - KeptStart(p) > kPipeWindow)
        return 0;
    uint8_t skip[4096];
    while (p->head < offset) {
        uint64_t n = offset - p->head;
        if (PullPipe(p, skip, n < sizeof skip ? static_cast<size_t>(n) : sizeof skip) == 0)
            return 0;
    }
    p->pos = offset;
    return 1;
}

uint64_t PipeLength(void *)
{
    return UINT64_MAX; /* unknown until the pipe ends */
}

void PipeClose(void *) {}

const VELM_FILEPROCS kPipeProcs = {
    PipeClose,  /* close: the tool frees the source after the stream */
    PipeLength, /* length */
    PipeRead,   /* read */
    PipeSeek,   /* seek */
};

/* Reads n bytes at off of the input looked at. */
struct ByteReader {
    int fd = -1;
    const PipeSource *pipe = nullptr;

    bool At(uint64_t off, uint8_t *buf, size_t n) const
    {
        if (pipe != nullptr) {
            if (off < KeptStart(pipe) || off > pipe->head || n > pipe->head - off)
                return false;
            FromRing(pipe, off, buf, n);
            return true;
        }
        size_t got = 0;
        while (got < n) {
            ssize_t r = pread(fd, buf + got, n - got, static_cast<off_t>(off + got));
            if (r <= 0)
                return false;
            got += static_cast<size_t>(r);
        }
        return true;
    }
};

uint32_t SyncSafe(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0] & 0x7F) << 21 | (p[1] & 0x7F) << 14 | (p[2] & 0x7F) << 7 |
           (p[3] & 0x7F);
}

/* What a source looks like, for the message when the add-on refuses it. */
std::string LooksLike(const ByteReader &r, uint64_t size)
{
    uint8_t b[16] = {};
    if (size == 0)
        return "it is empty";
    if (!r.At(0, b, size < sizeof b ? static_cast<size_t>(size) : sizeof b))
        return "it cannot be read";
    if (size < 16)
        return "it has only " + std::to_string(size) + " bytes";
    if (memcmp(b, "RIFF", 4) == 0 && memcmp(b + 8, "WAVE", 4) == 0)
        return "it is a WAV file";
    if (memcmp(b, "RF64", 4) == 0 || memcmp(b, "BW64", 4) == 0)
        return "it is an RF64 (large WAV) file";
    if (memcmp(b, "fLaC", 4) == 0)
        return "it is a FLAC file";
    if (memcmp(b, "OggS", 4) == 0)
        return "it is an Ogg file";
    if (memcmp(b, "FORM", 4) == 0 && (memcmp(b + 8, "AIFF", 4) == 0 || memcmp(b + 8, "AIFC", 4) == 0))
        return "it is an AIFF file";
    if (memcmp(b + 4, "ftyp", 4) == 0)
        return "it is an MP4/M4A file";
    if (memcmp(b, "ID3", 3) == 0) {
        /* Some taggers put an ID3v2 tag in front of a DSF file, where no DSF reader looks. */
        uint64_t end = 10 + uint64_t{SyncSafe(b + 6)} + ((b[5] & 0x10) ? 10 : 0);
        uint8_t after[4];
        if (r.At(end, after, 4) && memcmp(after, "DSD ", 4) == 0)
            return "it is a DSF file with an ID3 tag written in front of it (by another program; DSF keeps "
                   "its tag at the end), " +
                   std::to_string(end) + " bytes to remove";
        if (r.At(end, after, 4) && memcmp(after, "FRM8", 4) == 0)
            return "it is a DSDIFF file with an ID3 tag written in front of it, " + std::to_string(end) +
                   " bytes to remove";
        return "it starts with an ID3 tag (an MP3 file?)";
    }
    if (memcmp(b, "DSD ", 4) == 0)
        return "it starts as a DSF file, but its header is damaged or incomplete";
    if (memcmp(b, "FRM8", 4) == 0)
        return "it starts as a DSDIFF file, but its header is damaged, incomplete or not of DSD sound";
    char hex[64];
    snprintf(hex, sizeof hex, "it starts with bytes %02x %02x %02x %02x", b[0], b[1], b[2], b[3]);
    return hex;
}

/* Why a named input that is not a regular file cannot be read as a DSD file. */
const char *NotAFile(mode_t mode)
{
    if (S_ISDIR(mode))
        return "is a directory";
    if (S_ISFIFO(mode))
        return "is a FIFO (use - to read standard input)";
    if (S_ISSOCK(mode))
        return "is a socket";
    if (S_ISCHR(mode))
        return "is a character device";
    return nullptr;
}

} // namespace

uint32_t SpeakerMask(uint32_t handle)
{
    float mask = 0.0f;
    return VELM_ChannelGetAttribute(handle, VELM_DSD_ATTRIB_SPEAKERS, &mask) ? static_cast<uint32_t>(mask)
                                                                             : 0;
}

uint32_t DsdRate(uint32_t handle)
{
    const uint64_t rate = VELM_ChannelGetLength(handle, VELM_DSD_POS_RATE);
    return rate <= 0xFFFFFFFFu ? static_cast<uint32_t>(rate) : 0;
}

bool IsDsdiff(uint32_t handle)
{
    float container = 0.0f;
    return VELM_ChannelGetAttribute(handle, VELM_DSD_ATTRIB_CONTAINER, &container) &&
           container == VELM_DSD_CONTAINER_DSDIFF;
}

uint32_t PcmRateFor(uint32_t handle, uint32_t freq)
{
    float rate = static_cast<float>(freq);
    return VELM_ChannelGetAttribute(handle, VELM_DSD_ATTRIB_PCM_RATE, &rate) ? ClampToU32(rate) : 0;
}

Compression StreamCompression(uint32_t handle)
{
    Compression c;
    float frames = 0.0f, ratio = 1.0f;
    if (VELM_ChannelGetAttribute(handle, VELM_DSD_ATTRIB_DST_FRAMES, &frames) && frames > 0.0f) {
        c.dst = true;
        c.frames = ClampToU32(frames);
        if (VELM_ChannelGetAttribute(handle, VELM_DSD_ATTRIB_COMPRESSION, &ratio))
            c.ratio = ratio;
    }
    return c;
}

uint64_t BrokenDstFrames(uint32_t handle)
{
    float broken = 0.0f;
    return VELM_ChannelGetAttribute(handle, VELM_DSD_ATTRIB_DST_BROKEN, &broken) ? ClampToU32(broken) : 0;
}

bool IsUrl(const std::string &name)
{
    return name.rfind("http://", 0) == 0 || name.rfind("https://", 0) == 0 || name.rfind("file://", 0) == 0;
}

bool PrepareInput(const std::string &name, Input *in, std::string *error)
{
    *in = Input();
    if (IsUrl(name))
        return true; /* read once, by the stream */
    if (name != "-") {
        /* Without blocking: a FIFO opens at once, writer or not, and is refused below. */
        int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0) {
            *error = "cannot open " + name + ": " + strerror(errno);
            if (fd >= 0)
                close(fd);
            return false;
        }
        const char *notFile = NotAFile(st.st_mode);
        if (notFile != nullptr) {
            *error = name + " " + notFile + ", not a DSF or DSDIFF file";
            close(fd);
            return false;
        }
        in->looksLike = LooksLike(ByteReader{fd, nullptr}, S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 16);
        close(fd);
        return true;
    }
    in->pipe = static_cast<PipeSource *>(calloc(1, sizeof(PipeSource)));
    if (in->pipe != nullptr)
        in->pipe->ring = static_cast<uint8_t *>(malloc(kPipeWindow));
    if (in->pipe == nullptr || in->pipe->ring == nullptr) {
        *error = "cannot allocate the window for standard input";
        CloseInput(in);
        return false;
    }
    /* The header lies in the first bytes; they stay in the window for the stream to read. */
    uint8_t piece[4096];
    for (uint32_t n = 0; n < kHeaderPeek; n += sizeof piece)
        if (PullPipe(in->pipe, piece, sizeof piece) < sizeof piece)
            break;
    in->looksLike = LooksLike(ByteReader{-1, in->pipe}, in->pipe->head);
    return true;
}

std::string PipeReadFailure(const Input &in)
{
    return in.pipe != nullptr && in.pipe->readErrno != 0 ? strerror(in.pipe->readErrno) : "";
}

bool OpenStream(const std::string &name, uint32_t flags, uint32_t freq, Input *in, std::string *error)
{
    if (in->pipe != nullptr) {
        in->pipe->pos = 0;
        in->handle = VELM_DSD_StreamCreateFileUser(0, flags, &kPipeProcs, in->pipe, freq);
    } else if (IsUrl(name)) {
        in->handle = VELM_DSD_StreamCreateURL(name.c_str(), 0, flags, nullptr, nullptr, freq);
    } else {
        in->handle = VELM_DSD_StreamCreateFile(0, name.c_str(), 0, 0, flags, freq);
    }
    if (in->handle == 0) {
        int code = VELM_ErrorGetCode();
        const std::string what = name == "-" ? "standard input" : name;
        if (code == VELM_ERROR_FILEFORM && !in->looksLike.empty())
            *error = what + " is not a DSF or DSDIFF file: " + in->looksLike;
        else if (code == VELM_ERROR_FILEFORM)
            *error = what + " is not a DSF or DSDIFF file (or its header is damaged)";
        else if (in->pipe != nullptr && in->pipe->readErrno != 0)
            *error = "cannot read standard input: " + std::string(strerror(in->pipe->readErrno));
        else
            *error = "cannot open " + what + ": " + ErrorName(code) + " (" + std::to_string(code) + ")";
        return false;
    }
    return true;
}

bool ReopenStream(const std::string &name, uint32_t flags, uint32_t freq, Input *in, std::string *error)
{
    VELM_StreamFree(in->handle);
    in->handle = 0;
    if (in->pipe != nullptr && KeptStart(in->pipe) != 0) {
        *error = "cannot read the start of standard input again (its header is longer than " +
                 std::to_string(kPipeWindow) + " bytes)";
        return false;
    }
    return OpenStream(name, flags, freq, in, error);
}

void CloseInput(Input *in)
{
    if (in->handle != 0)
        VELM_StreamFree(in->handle);
    in->handle = 0;
    if (in->pipe != nullptr) {
        free(in->pipe->ring);
        free(in->pipe);
        in->pipe = nullptr;
    }
}

std::string LayoutText(uint32_t mask, uint32_t channels)
{
    /* WAV speaker bits. */
    enum : uint32_t { FL = 0x1, FR = 0x2, FC = 0x4, LFE = 0x8, BL = 0x10, BR = 0x20 };
    static const char *const kNames[] = {"FL", "FR", "FC", "LFE", "BL", "BR"};
    static const struct {
        uint32_t mask;
        const char *name;
    } kLayouts[] = {{FC, "mono"},
                    {FL | FR, "stereo"},
                    {FL | FR | FC, "3.0"},
                    {FL | FR | BL | BR, "quad"},
                    {FL | FR | FC | LFE, "3.1"},
                    {FL | FR | FC | BL | BR, "5.0"},
                    {FL | FR | FC | LFE | BL | BR, "5.1"}};
    if (mask == 0 || static_cast<uint32_t>(__builtin_popcount(mask)) != channels)
        return "unknown (" + std::to_string(channels) + " channel" + (channels == 1 ? ")" : "s)");
    std::string text;
    for (const auto &l : kLayouts)
        if (l.mask == mask)
            text = std::string(l.name) + ":";
    for (int bit = 0; bit < 6; bit++)
        if (mask & (1u << bit))
            text += (text.empty() ? "" : " ") + std::string(kNames[bit]);
    return text;
}

} // namespace cli
