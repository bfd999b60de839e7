// Helpers shared by the stand-in host's tests.
#ifndef VELM_TEST_UTIL_H
#define VELM_TEST_UTIL_H

#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "velm_addon.h"

inline const HostFunctions &Host()
{
    return *static_cast<const HostFunctions *>(VELM_GetConfigPtr(VELM_CONFIG_ADDON));
}

// A temporary file holding bytes 0, 1, 2, ... (mod 256); removed at the end.
class TempFile {
public:
    explicit TempFile(size_t size)
    {
        char name[] = "/tmp/velm_test_XXXXXX";
        int fd = mkstemp(name);
        path_ = name;
        for (size_t i = 0; i < size; ++i)
            bytes_.push_back(static_cast<uint8_t>(i));
        if (fd >= 0) {
            ok_ = write(fd, bytes_.data(), size) == static_cast<ssize_t>(size);
            close(fd);
        }
    }
    ~TempFile() { unlink(path_.c_str()); }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    bool ok() const { return ok_; }
    const char *path() const { return path_.c_str(); }
    const std::vector<uint8_t> &bytes() const { return bytes_; }

private:
    std::string path_;
    std::vector<uint8_t> bytes_;
    bool ok_ = false;
};

#endif // VELM_TEST_UTIL_H
