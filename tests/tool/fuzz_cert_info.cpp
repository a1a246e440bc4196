// Untrusted bytes from a token through the certificate extractor and the summary builder.

#include <QtGlobal>

#include <cstdint>
#include <cstring>
#include <vector>

#include "utils.h"

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool once = (qInstallMessageHandler(quiet), true);
    (void)once;
    std::vector<unsigned char> cert(data, data + size);
    unsigned char *bytes = cert.empty() ? nullptr : cert.data();
    // Small capacities on purpose: every field must respect them.
    for (int type = 0; type <= 9; ++type) {
        for (int capacity : {1, 16, 128, 4096}) {
            std::vector<char> out(static_cast<size_t>(capacity)), out2(static_cast<size_t>(capacity));
            int outLen = capacity, out2Len = capacity;
            Utils::MVSecMiddlewarePubFunc_GetInfoFromCert(bytes, size, type, out.data(), &outLen, out2.data(),
                                                          &out2Len);
        }
    }
    Utils::ParseCert(bytes, size, size & 1);
    return 0;
}
