// Feeds arbitrary keys, signatures and cipher texts to the stand-in's SM2 and RSA
// verifications and its padded SM4 decryption (skf_crypto.cpp, built into this target),
// and hostile lengths to RSA signing and verification with a real key. The first byte
// picks the call.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "keys.h"
#include "pin.h"
#include "session.h"
#include "skf_crypto.h"
#include "store.h"

extern "C" {
SKF_SetSymmKey_Fn SKF_SetSymmKey;
SKF_DecryptInit_Fn SKF_DecryptInit;
SKF_Decrypt_Fn SKF_Decrypt;
SKF_RSAVerify_Fn SKF_RSAVerify;
SKF_RSASignData_Fn SKF_RSASignData;
SKF_ExportPublicKey_Fn SKF_ExportPublicKey;
SKF_ECCVerify_Fn SKF_ECCVerify;
}

namespace {

DEVHANDLE g_dev;
HANDLE g_key;
HCONTAINER g_rsa;          // a 1024-bit RSA container, its user logged in
RSAPUBLICKEYBLOB g_rsaPub; // its signing key
// PKCS#1 v1.5 leaves 117 bytes of a 1024-bit block for data.
constexpr ULONG kRsaMaxData = 117;
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

// A length as hostile callers give it: small, just below 2^64, or any 64-bit value.
ULONG takeLength(const uint8_t *&data, size_t &size)
{
    uint8_t mode = 0;
    take(data, size, &mode, 1);
    ULONG raw = 0;
    take(data, size, &raw, mode % 3 == 2 ? sizeof raw : 1);
    return mode % 3 == 0 ? raw : mode % 3 == 1 ? ~ULONG(0) - raw : raw;
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
    auto session = std::make_shared<mvtoken::DeviceSession>();
    {
        mvtoken::StoreTransaction txn;
        mvtoken::DeviceRecord device;
        device.name = "fuzz";
        device.present = true;
        device.generation = 1;
        mvtoken::ApplicationRecord app;
        if (!txn.data().takeId(app.id))
            std::abort();
        app.name = "app";
        if (!mvtoken::setPin(app.adminPin, "admin-pin", 10) || !mvtoken::setPin(app.userPin, "user-pin", 10))
            std::abort();
        mvtoken::ContainerRecord rsa;
        if (!txn.data().takeId(rsa.id))
            std::abort();
        rsa.name = "rsa";
        rsa.kind = mvtoken::KeyKind::Rsa;
        rsa.signKeyDer = mvtoken::generateKeyPair(mvtoken::KeyKind::Rsa);
        app.containers.push_back(rsa);
        device.applications.push_back(app);
        txn.data().devices.push_back(device);
        if (txn.status() != SAR_OK || rsa.signKeyDer.empty() || txn.commit() != SAR_OK)
            std::abort();
        auto container = std::make_shared<mvtoken::ContainerSession>();
        container->device.storeId = txn.data().storeId;
        container->device.name = "fuzz";
        container->device.generation = 1;
        container->appId = app.id;
        container->containerId = rsa.id;
        g_rsa = mvtoken::registerHandle(mvtoken::HandleKind::Container, container);
        mvtoken::setLoggedIn(container->device, app.id, USER_TYPE);
        session->device = container->device;
    }
    g_dev = mvtoken::registerHandle(mvtoken::HandleKind::Device, session);
    ULONG pubLen = sizeof g_rsaPub;
    if (SKF_ExportPublicKey(g_rsa, TRUE, reinterpret_cast<BYTE *>(&g_rsaPub), &pubLen) != SAR_OK)
        std::abort();
    BYTE key[32] = {0};
    if (SKF_SetSymmKey(g_dev, key, SGD_SM1_ECB, &g_key) != SAR_OK)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t op = data[0] % 5;
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
    } else if (op == 3) {
        // Signing: any claimed length beyond the block's room is refused before the data
        // is read; the buffer holds every length that is not.
        const ULONG claimed = takeLength(data, size);
        std::string buffer(reinterpret_cast<const char *>(data), size);
        buffer.resize(buffer.size() < kRsaMaxData ? kRsaMaxData : buffer.size());
        BYTE sig[128];
        ULONG sigLen = sizeof sig;
        const ULONG rv = SKF_RSASignData(g_rsa, reinterpret_cast<BYTE *>(&buffer[0]), claimed, sig, &sigLen);
        if (claimed > kRsaMaxData && rv != SAR_INDATALENERR)
            std::abort();
        if (claimed != 0 && claimed <= kRsaMaxData
            && (rv != SAR_OK
                || SKF_RSAVerify(g_dev, &g_rsaPub, reinterpret_cast<BYTE *>(&buffer[0]), claimed, sig, sigLen)
                       != SAR_OK))
            std::abort();
    } else if (op == 4) {
        // Verification with the real key and hostile lengths of data and signature.
        const ULONG dataLen = takeLength(data, size);
        const ULONG sigLen = takeLength(data, size);
        BYTE sig[128];
        take(data, size, sig, sizeof sig);
        std::string buffer(reinterpret_cast<const char *>(data), size);
        buffer.resize(buffer.size() < kRsaMaxData ? kRsaMaxData : buffer.size());
        const ULONG rv = SKF_RSAVerify(g_dev, &g_rsaPub, reinterpret_cast<BYTE *>(&buffer[0]), dataLen, sig, sigLen);
        if ((dataLen > kRsaMaxData || sigLen != sizeof sig) && rv != SAR_INDATALENERR)
            std::abort();
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
