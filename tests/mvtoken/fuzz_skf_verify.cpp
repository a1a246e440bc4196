// Feeds arbitrary keys, signatures and cipher texts to the stand-in's SM2 and RSA
// verifications and its padded SM4 decryption (skf_crypto.cpp, built into this target).
// The first byte picks the call.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "session.h"
#include "skf_crypto.h"
#include "store.h"

extern "C" {
SKF_SetSymmKey_Fn SKF_SetSymmKey;
SKF_DecryptInit_Fn SKF_DecryptInit;
SKF_Decrypt_Fn SKF_Decrypt;
SKF_RSAVerify_Fn SKF_RSAVerify;
SKF_ECCVerify_Fn SKF_ECCVerify;
}

namespace {

DEVHANDLE g_dev;
HANDLE g_key;
std::string g_storeDir;

void removeStore()
{
    const std::string cmd = "rm -rf '" + g_storeDir + "'";
    if (std::system(cmd.c_str()) != 0) {
    }
}

// Takes count bytes from the input, zero-filled past its end.
void take(const uint8_t *&data, size_t &size, void *out, size_t count)
{
    std::memset(out, 0, count);
    const size_t n = size < count ? size : count;
    std::memcpy(out, data, n);
    data += n;
    size -= n;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char tmpl[] = "/tmp/mvtoken-fuzz-XXXXXX";
    if (!mkdtemp(tmpl))
        std::abort();
    g_storeDir = tmpl;
    std::atexit(removeStore);
    setenv("MVUKEY_STORE", (g_storeDir + "/store").c_str(), 1);
    {
        mvtoken::StoreTransaction txn;
        mvtoken::DeviceRecord device;
        device.name = "fuzz";
        device.present = true;
        device.generation = 1;
        txn.data().devices.push_back(device);
        if (txn.status() != SAR_OK || txn.commit() != SAR_OK)
            std::abort();
    }
    auto session = std::make_shared<mvtoken::DeviceSession>();
    session->device.name = "fuzz";
    session->device.generation = 1;
    g_dev = mvtoken::registerHandle(mvtoken::HandleKind::Device, session);
    BYTE key[32] = {0};
    if (SKF_SetSymmKey(g_dev, key, SGD_SM1_ECB, &g_key) != SAR_OK)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t op = data[0] % 3;
    ++data;
    --size;

    if (op == 0) {
        // The packed ECC key form, a digest, a signature.
        alignas(ECCPUBLICKEYBLOB) BYTE key[132];
        BYTE digest[32];
        ECCSIGNATUREBLOB sig;
        take(data, size, key, sizeof key);
        take(data, size, digest, sizeof digest);
        take(data, size, &sig, sizeof sig);
        SKF_ECCVerify(g_dev, reinterpret_cast<ECCPUBLICKEYBLOB *>(key), digest, sizeof digest, &sig);
    } else if (op == 1) {
        RSAPUBLICKEYBLOB key;
        take(data, size, &key, sizeof key);
        std::string rest(reinterpret_cast<const char *>(data), size);
        const size_t split = rest.empty() ? 0 : static_cast<uint8_t>(rest[0]) % rest.size();
        SKF_RSAVerify(g_dev, &key, reinterpret_cast<BYTE *>(&rest[0]), split,
                      reinterpret_cast<BYTE *>(&rest[0]) + split, rest.size() - split);
    } else {
        BLOCKCIPHERPARAM param;
        std::memset(&param, 0, sizeof param);
        param.PaddingType = 1;
        std::string cipher(reinterpret_cast<const char *>(data), size);
        BYTE plain[256];
        ULONG len = sizeof plain;
        SKF_DecryptInit(g_key, param);
        SKF_Decrypt(g_key, reinterpret_cast<BYTE *>(&cipher[0]), cipher.size(), plain, &len);
    }
    return 0;
}
