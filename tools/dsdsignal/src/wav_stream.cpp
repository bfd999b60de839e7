#include "dsdsignal/wav_stream.h"

#include <vector>

namespace dsdsignal {

WavStreamWriter::~WavStreamWriter()
{
    if (stream_)
        Close();
}

bool WavStreamWriter::Open(const std::string &path, const WavFormat &format)
{
    if (stream_)
        return false;
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    if (!Open(f, format)) {
        std::fclose(f);
        std::remove(path.c_str());
        return false;
    }
    owned_ = true;
    path_ = path;
    return true;
}

bool WavStreamWriter::Open(FILE *stream, const WavFormat &format)
{
    if (stream_ || !stream)
        return false;
    stream_ = stream;
    owned_ = false;
    failed_ = false;
    path_.clear();
    format_ = format;
    dataBytes_ = 0;
    // The largest size stands for "unknown" until Close() knows better.
    const std::vector<uint8_t> header = MakeWavHeader(format, uint64_t{1} << 40);
    if (std::fwrite(header.data(), 1, header.size(), stream_) != header.size()) {
        stream_ = nullptr;
        return false;
    }
    return true;
}

template <typename T> bool WavStreamWriter::WriteSamples(const T *samples, size_t count)
{
    if (!stream_ || failed_)
        return false;
    std::vector<uint8_t> bytes;
    AppendWavSamples(format_.format, samples, count, bytes);
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), stream_) != bytes.size()) {
        failed_ = true;
        return false;
    }
    dataBytes_ += bytes.size();
    return true;
}

bool WavStreamWriter::Write(const float *samples, size_t count)
{
    return WriteSamples(samples, count);
}
bool WavStreamWriter::Write(const int16_t *samples, size_t count)
{
    return WriteSamples(samples, count);
}
bool WavStreamWriter::Write(const int32_t *samples, size_t count)
{
    return WriteSamples(samples, count);
}

bool WavStreamWriter::Close()
{
    if (!stream_)
        return false;
    bool ok = !failed_;
    if (ok && (dataBytes_ & 1))
        ok = std::fputc(0, stream_) != EOF;
    if (ok)
        ok = std::fflush(stream_) == 0;
    // Patch the sizes when the stream seeks (a pipe does not: its placeholders stay).
    if (ok && std::fseek(stream_, 0, SEEK_SET) == 0) {
        const std::vector<uint8_t> header = MakeWavHeader(format_, dataBytes_);
        ok = std::fwrite(header.data(), 1, header.size(), stream_) == header.size();
        ok = std::fseek(stream_, 0, SEEK_END) == 0 && ok;
        ok = std::fflush(stream_) == 0 && ok;
    }
    if (owned_)
        ok = std::fclose(stream_) == 0 && ok;
    stream_ = nullptr;
    return ok;
}

void WavStreamWriter::Abort()
{
    if (!stream_)
        return;
    if (owned_) {
        std::fclose(stream_);
        std::remove(path_.c_str());
    }
    stream_ = nullptr;
}

} // namespace dsdsignal
