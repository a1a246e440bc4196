#ifndef MVTOKEN_SKF_UTIL_H
#define MVTOKEN_SKF_UTIL_H

// Argument and output helpers shared by the SKF entry points.

#include <cstring>
#include <string>
#include <vector>

#include "skfapi.h"

namespace mvtoken {

// Names of devices, applications and containers: 1 to 63 bytes.
constexpr size_t kMaxNameBytes = 63;
// PINs: 1 to 63 bytes.
constexpr size_t kMaxPinBytes = 63;

// The NUL-terminated text at p, or false when p is null or longer than max bytes.
inline bool takeText(const char *p, size_t max, std::string &out)
{
    if (!p)
        return false;
    size_t n = strnlen(p, max + 1);
    if (n > max)
        return false;
    out.assign(p, n);
    return true;
}

// Writes names as a list of NUL-terminated names ended by an empty name. A null buffer
// asks for the size; a buffer that is too small gets nothing and SAR_BUFFER_TOO_SMALL.
// *size is the list's size in bytes on return.
inline ULONG putNameList(const std::vector<std::string> &names, LPSTR buffer, ULONG *size)
{
    if (!size)
        return SAR_INVALIDPARAMERR;
    std::string list;
    for (const auto &n : names) {
        list += n;
        list += '\0';
    }
    list += '\0';
    const ULONG capacity = *size;
    *size = list.size();
    if (!buffer)
        return SAR_OK;
    if (capacity < list.size())
        return SAR_BUFFER_TOO_SMALL;
    memcpy(buffer, list.data(), list.size());
    return SAR_OK;
}

// Copies bytes out with the same size rules as putNameList.
inline ULONG putBytes(const std::string &bytes, BYTE *buffer, ULONG *length)
{
    if (!length)
        return SAR_INVALIDPARAMERR;
    const ULONG capacity = *length;
    *length = bytes.size();
    if (!buffer)
        return SAR_OK;
    if (capacity < bytes.size())
        return SAR_BUFFER_TOO_SMALL;
    if (!bytes.empty())
        memcpy(buffer, bytes.data(), bytes.size());
    return SAR_OK;
}

} // namespace mvtoken

#endif // MVTOKEN_SKF_UTIL_H
