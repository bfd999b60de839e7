// Little- and big-endian integers and four-character ids, appended to, patched into and
// read from byte vectors: the one place where the writers and the tests handle byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace dsdsignal {

inline void PutLe(std::vector<uint8_t> &out, uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline void PutBe(std::vector<uint8_t> &out, uint64_t v, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Four bytes; a shorter id (or null) is padded with blanks.
inline void PutId(std::vector<uint8_t> &out, const char *id)
{
    const size_t n = id ? std::strlen(id) : 0;
    for (size_t i = 0; i < 4; ++i)
        out.push_back(i < n ? static_cast<uint8_t>(id[i]) : uint8_t{' '});
}

inline void SetLe(std::vector<uint8_t> &out, size_t at, uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.at(at + size_t(i)) = static_cast<uint8_t>(v >> (8 * i));
}

inline void SetBe(std::vector<uint8_t> &out, size_t at, uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.at(at + size_t(i)) = static_cast<uint8_t>(v >> (8 * (bytes - 1 - i)));
}

inline uint64_t GetLe(const std::vector<uint8_t> &in, size_t at, int bytes)
{
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | in.at(at + size_t(i));
    return v;
}

inline uint64_t GetBe(const std::vector<uint8_t> &in, size_t at, int bytes)
{
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | in.at(at + size_t(i));
    return v;
}

inline std::string GetId(const std::vector<uint8_t> &in, size_t at)
{
    std::string id;
    for (size_t i = 0; i < 4; ++i)
        id += static_cast<char>(in.at(at + i));
    return id;
}

} // namespace dsdsignal
