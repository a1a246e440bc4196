// Name lists come from the token library: any bytes with any reported length no larger
// than the buffer must split without reading outside it or yielding an empty name.
#include "utils.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte picks how much of the rest the library claims to have filled.
    const size_t rest = size - 1;
    const size_t length = rest == 0 ? 0 : data[0] % (rest + 1);
    std::vector<char> buffer(data + 1, data + size); // exactly as long as the bytes
    const QList<QString> names =
        Utils::parseCharArray(buffer.empty() ? nullptr : buffer.data(), static_cast<int>(length));
    for (const QString &name : names) {
        if (name.isEmpty())
            std::abort();
    }
    return 0;
}
