// The store file's parser over arbitrary text, and its round trip: whatever it accepts
// is written out again and must read back as the same store (parse, write, parse gives
// the same written text). The seed corpus holds stores written by the mvtoken tool.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    mvtoken::StoreData first;
    if (!mvtoken::Store::parse(text, first))
        return 0;
    const std::string written = mvtoken::Store::serialize(first);
    mvtoken::StoreData second;
    if (!mvtoken::Store::parse(written, second))
        std::abort();
    if (mvtoken::Store::serialize(second) != written)
        std::abort();
    return 0;
}
