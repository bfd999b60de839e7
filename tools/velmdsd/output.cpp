/* Output files: WAV headers and safe replacement of what is already there. */
#include "output.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace cli {
namespace {

/* KSDATAFORMAT_SUBTYPE_PCM and _IEEE_FLOAT differ only in their first byte. */
const uint8_t kSubtypeTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                  0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

uint8_t *PutLe(uint8_t *p, uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; i++)
        *p++ = static_cast<uint8_t>(v >> (8 * i));
    return p;
}

uint8_t *PutId(uint8_t *p, const char *id)
{
    memcpy(p, id, 4);
    return p + 4;
}

/* The temporary file being written, for the signal handler: set and cleared with the
   signals blocked, so the handler sees a whole name or none. */
char gTempName[PATH_MAX + 32];
volatile sig_atomic_t gTempSet = 0;

const int kCaught[] = {SIGINT, SIGTERM, SIGHUP};

void BlockCaught(sigset_t *old)
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kCaught)
        sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, old);
}

void ForgetTemp()
{
    sigset_t old;
    BlockCaught(&old);
    gTempSet = 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void OnSignal(int sig)
{
    if (gTempSet)
        unlink(gTempName);
    signal(sig, SIG_DFL);
    raise(sig);
}

std::string Reason(const char *what, const std::string &path)
{
    return std::string(what) + " " + (path == "-" ? std::string("standard output") : path) + ": " +
           strerror(errno);
}

} // namespace

uint32_t SampleBytes(SampleKind kind)
{
    switch (kind) {
    case SampleKind::kInt16:
        return 2;
    case SampleKind::kInt24:
        return 3;
    case SampleKind::kFloat32:
        return 4;
    case SampleKind::kRawBytes:
        return 1;
    }
    return 1;
}

std::string WavRefusal(const OutputFormat &f)
{
    uint64_t align = uint64_t{f.channels} * SampleBytes(f.kind);
    if (f.channels == 0 || f.channels > 0xFFFF || align > 0xFFFF || align * f.rate > 0xFFFFFFFFu) {
        char line[160];
        snprintf(line, sizeof line, "a WAV file cannot hold %u channels of %u-bit samples at %u Hz",
                 f.channels, SampleBytes(f.kind) * 8, f.rate);
        return line;
    }
    return "";
}

size_t MakeWavHeader(const OutputFormat &f, uint64_t dataBytes, uint8_t *header)
{
    const bool isFloat = f.kind == SampleKind::kFloat32;
    const uint32_t bytes = SampleBytes(f.kind);
    const bool extensible = f.channels > 2 || bytes > 2;
    const uint32_t fmtSize = extensible ? 40 : isFloat ? 18 : 16;
    const uint32_t headerRest = 4 + 8 + fmtSize + (isFloat ? 12 : 0) + 8;
    const uint64_t riff = headerRest + dataBytes + (dataBytes & 1);
    const bool fits = riff <= 0xFFFFFFFFu;
    const uint32_t align = f.channels * bytes; /* WavRefusal keeps this within 16 bits */

    uint8_t *p = PutId(header, "RIFF");
    p = PutLe(p, fits ? riff : 0xFFFFFFFFu, 4);
    p = PutId(p, "WAVE");
    p = PutId(p, "fmt ");
    p = PutLe(p, fmtSize, 4);
    p = PutLe(p, extensible ? 0xFFFE : isFloat ? 3 : 1, 2);
    p = PutLe(p, f.channels, 2);
    p = PutLe(p, f.rate, 4);
    p = PutLe(p, uint64_t{f.rate} * align, 4);
    p = PutLe(p, align, 2);
    p = PutLe(p, bytes * 8, 2);
    if (extensible) {
        p = PutLe(p, 22, 2);        /* cbSize */
        p = PutLe(p, bytes * 8, 2); /* valid bits */
        p = PutLe(p, f.channelMask, 4);
        p = PutLe(p, isFloat ? 3 : 1, 2);
        memcpy(p, kSubtypeTail, sizeof kSubtypeTail);
        p += sizeof kSubtypeTail;
    } else if (isFloat) {
        p = PutLe(p, 0, 2); /* cbSize */
    }
    if (isFloat) {
        p = PutId(p, "fact");
        p = PutLe(p, 4, 4);
        p = PutLe(p, fits ? dataBytes / align : 0xFFFFFFFFu, 4);
    }
    p = PutId(p, "data");
    p = PutLe(p, fits ? dataBytes : 0xFFFFFFFFu, 4);
    return static_cast<size_t>(p - header);
}

bool OutputOpen(Output *out, const std::string &path, const OutputFormat &format, std::string *error)
{
    *out = Output();
    out->path = path;
    out->format = format;
    if (path == "-") {
        out->file = stdout;
    } else {
        struct stat st;
        bool exists = stat(path.c_str(), &st) == 0;
        if (exists && !S_ISREG(st.st_mode)) {
            /* A device, a FIFO or a socket: written in place, never replaced or removed. */
            out->file = fopen(path.c_str(), "wb");
            if (out->file == nullptr) {
                *error = Reason("cannot write", path);
                return false;
            }
        } else {
            char resolved[PATH_MAX];
            out->target =
                exists && realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
            size_t slash = out->target.rfind('/');
            std::string dir = slash == std::string::npos ? "." : out->target.substr(0, slash + 1);
            std::string base = slash == std::string::npos ? out->target : out->target.substr(slash + 1);
            std::string temp = (slash == std::string::npos ? "" : dir) + "." + base + ".XXXXXX";
            if (temp.size() >= sizeof gTempName) {
                errno = ENAMETOOLONG;
                *error = Reason("cannot write", path);
                return false;
            }
            sigset_t old;
            BlockCaught(&old);
            int fd = mkstemp(&temp[0]);
            if (fd >= 0) {
                memcpy(gTempName, temp.c_str(), temp.size() + 1);
                gTempSet = 1;
            }
            pthread_sigmask(SIG_SETMASK, &old, nullptr);
            if (fd < 0) {
                *error = Reason("cannot write", path);
                return false;
            }
            mode_t mask = umask(0);
            umask(mask);
            fchmod(fd, exists ? (st.st_mode & 07777) : (0666 & ~mask));
            out->tempPath = temp;
            out->file = fdopen(fd, "wb");
            if (out->file == nullptr) {
                *error = Reason("cannot write", path);
                close(fd);
                unlink(temp.c_str());
                ForgetTemp();
                out->tempPath.clear();
                return false;
            }
        }
    }
    if (format.kind != SampleKind::kRawBytes) {
        uint8_t header[80];
        size_t n = MakeWavHeader(format, uint64_t{1} << 40, header); /* sizes unknown until the end */
        if (!OutputWrite(out, header, n)) {
            *error = Reason("cannot write", path);
            OutputAbort(out);
            return false;
        }
        out->dataBytes = 0;
    }
    return true;
}

bool OutputWrite(Output *out, const void *bytes, size_t n)
{
    if (out->failed || (n != 0 && fwrite(bytes, 1, n, out->file) != n)) {
        if (!out->failed)
            out->errorNumber = errno;
        out->failed = true;
        return false;
    }
    out->dataBytes += n;
    return true;
}

bool OutputFinish(Output *out, std::string *error)
{
    bool ok = !out->failed;
    if (ok && out->format.kind != SampleKind::kRawBytes && (out->dataBytes & 1))
        ok = fputc(0, out->file) != EOF;
    ok = ok && fflush(out->file) == 0;
    /* Sizes go back into the header where the output seeks (a file; a pipe keeps "unknown"). */
    if (ok && out->format.kind != SampleKind::kRawBytes && fseeko(out->file, 0, SEEK_SET) == 0) {
        uint8_t header[80];
        size_t n = MakeWavHeader(out->format, out->dataBytes, header);
        ok = fwrite(header, 1, n, out->file) == n && fseeko(out->file, 0, SEEK_END) == 0 &&
             fflush(out->file) == 0;
    }
    if (ok && !out->tempPath.empty())
        ok = fsync(fileno(out->file)) == 0;
    int saved = errno;
    if (out->file != stdout)
        ok = fclose(out->file) == 0 && ok;
    else
        errno = saved;
    out->file = nullptr;
    if (ok && !out->tempPath.empty()) {
        ok = rename(out->tempPath.c_str(), out->target.c_str()) == 0;
        if (ok) {
            ForgetTemp();
            out->tempPath.clear();
        }
    }
    if (!ok) {
        if (out->failed)
            errno = out->errorNumber;
        *error = Reason("cannot write", out->path);
        OutputAbort(out);
    }
    return ok;
}

void OutputAbort(Output *out)
{
    if (out->file != nullptr && out->file != stdout)
        fclose(out->file);
    out->file = nullptr;
    if (!out->tempPath.empty()) {
        unlink(out->tempPath.c_str());
        ForgetTemp();
    }
    out->tempPath.clear();
}

void OutputCatchSignals()
{
    for (int sig : kCaught) {
        struct sigaction was;
        if (sigaction(sig, nullptr, &was) == 0 && was.sa_handler == SIG_IGN)
            continue; /* started to ignore it (nohup): stays so */
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = OnSignal;
        sigemptyset(&sa.sa_mask);
        for (int other : kCaught)
            sigaddset(&sa.sa_mask, other);
        sigaction(sig, &sa, nullptr);
    }
}

bool SameFile(const std::string &input, const std::string &output)
{
    struct stat a, b;
    if (input == "-" || output == "-" || stat(input.c_str(), &a) != 0 || stat(output.c_str(), &b) != 0)
        return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace cli
