// WAV output written piece by piece.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "dsdsignal/writers.h"

namespace dsdsignal {

// Writes the header with placeholder sizes (0xFFFFFFFF: length unknown) first, appends
// samples as they come, and on Close() patches the real sizes when the stream can seek
// back (a regular file); a pipe keeps the placeholders. Sizes that do not fit in 32 bits
// stay 0xFFFFFFFF as well. The destructor closes without patching errors being visible:
// call Close() to learn whether everything was written.
class WavStreamWriter {
public:
    WavStreamWriter() = default;
    WavStreamWriter(const WavStreamWriter &) = delete;
    WavStreamWriter &operator=(const WavStreamWriter &) = delete;
    ~WavStreamWriter();

    // Creates (or replaces) the file at `path`.
    bool Open(const std::string &path, const WavFormat &format);
    // Writes to a stream the caller owns and closes itself (standard output, say).
    bool Open(FILE *stream, const WavFormat &format);

    // Interleaved samples, converted as AppendWavSamples does.
    bool Write(const float *samples, size_t count);
    bool Write(const int16_t *samples, size_t count);
    bool Write(const int32_t *samples, size_t count);

    // Adds the pad byte after odd-sized data, patches the sizes where it can, flushes, and
    // closes a file opened by path. False if any write failed.
    bool Close();

    // Gives up: closes, and removes a file opened by path.
    void Abort();

    bool IsOpen() const { return stream_ != nullptr; }
    uint64_t DataBytes() const { return dataBytes_; }

private:
    template <typename T> bool WriteSamples(const T *samples, size_t count);

    FILE *stream_ = nullptr;
    bool owned_ = false;
    bool failed_ = false;
    std::string path_;
    WavFormat format_;
    uint64_t dataBytes_ = 0;
};

} // namespace dsdsignal
