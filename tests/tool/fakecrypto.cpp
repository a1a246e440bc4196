// A scripted token library for the function tests. It records every call with its
// arguments, fails a chosen call with a chosen code and reports a chosen output length.
// Built with OMIT_<function name> defined, it lacks that one function.
#include <cstring>
#include <map>
#include <string>

#include "skfapi.h"

namespace {

std::string g_log;
std::map<std::string, std::string> g_records;
std::string g_failName;
ULONG g_failCode = SAR_OK;
ULONG g_reportedLen = 32;

// Handles handed out: the addresses of these.
int g_device;
[[maybe_unused]] int g_key;
[[maybe_unused]] int g_hash;

const size_t kEccExportSize = 132;
[[maybe_unused]] const ULONG kEccExportBitLen = 256;

ULONG enter(const char *name)
{
    g_log += name;
    g_log += ';';
    return g_failName == name ? g_failCode : SAR_OK;
}

void record(const std::string &name, const void *bytes, size_t count)
{
    g_records[name] = bytes ? std::string(static_cast<const char *>(bytes), count) : std::string();
}

void recordHandle(const std::string &name, const void *handle)
{
    record(name, &handle, sizeof handle);
}

// Output bytes 0, 1, ... '#' ... fill the buffer up to its capacity; the reported length
// is g_reportedLen whatever the capacity, as a faulty token might do.
void produce(BYTE *out, ULONG *len)
{
    const ULONG capacity = *len;
    for (ULONG i = 0; i < capacity && i < g_reportedLen; ++i)
        out[i] = static_cast<BYTE>(i);
    *len = g_reportedLen;
}

// A cipher initialisation: records the key handle and the parameter block.
[[maybe_unused]] ULONG initCall(const std::string &fn, const char *paramArg, HANDLE hKey,
                                const BLOCKCIPHERPARAM &param)
{
    recordHandle(fn + ".hKey", hKey);
    record(fn + "." + paramArg, &param, sizeof param);
    return enter(fn.c_str());
}

// A call that turns input bytes into output: records the handle, the input and the output
// capacity, then produces the output unless the call is scripted to fail.
[[maybe_unused]] ULONG outputCall(const std::string &fn, const char *handleArg, const void *handle,
                                  const char *inputArg, const BYTE *in, ULONG inLen, BYTE *out, ULONG *outLen)
{
    recordHandle(fn + "." + handleArg, handle);
    record(fn + "." + inputArg, in, inLen);
    record(fn + ".capacity", outLen, sizeof *outLen);
    const ULONG rv = enter(fn.c_str());
    if (rv == SAR_OK)
        produce(out, outLen);
    return rv;
}

} // namespace

SKF_EXPORT void fake_reset(void)
{
    g_log.clear();
    g_records.clear();
    g_failName.clear();
    g_failCode = SAR_OK;
    g_reportedLen = 32;
}

SKF_EXPORT void fake_fail(const char *function, ULONG code)
{
    g_failName = function;
    g_failCode = code;
}

SKF_EXPORT void fake_set_reported_len(ULONG length)
{
    g_reportedLen = length;
}

// The calls made since the last reset, as "SKF_A;SKF_B;".
SKF_EXPORT const char *fake_log(void)
{
    return g_log.c_str();
}

// A recorded argument ("SKF_Name.argument"); null when the call did not happen.
SKF_EXPORT const char *fake_record(const char *name, size_t *length)
{
    auto it = g_records.find(name);
    if (it == g_records.end())
        return nullptr;
    *length = it->second.size();
    return it->second.data();
}

SKF_EXPORT ULONG SKF_ConnectDev(LPSTR szName, DEVHANDLE *phDev)
{
    enter("SKF_ConnectDev");
    record("SKF_ConnectDev.szName", szName, std::strlen(szName));
    if (std::strcmp(szName, "absent") != 0)
        *phDev = &g_device;
    return SAR_OK;
}
SKF_CHECK_TYPE(SKF_ConnectDev);

#ifndef OMIT_SKF_SetSymmKey
SKF_EXPORT ULONG SKF_SetSymmKey(DEVHANDLE hDev, BYTE *pbKey, ULONG ulAlgID, HANDLE *phKey)
{
    recordHandle("SKF_SetSymmKey.hDev", hDev);
    record("SKF_SetSymmKey.pbKey", pbKey, 32);
    record("SKF_SetSymmKey.ulAlgID", &ulAlgID, sizeof ulAlgID);
    *phKey = &g_key;
    return enter("SKF_SetSymmKey");
}
SKF_CHECK_TYPE(SKF_SetSymmKey);
#endif

#ifndef OMIT_SKF_EncryptInit
SKF_EXPORT ULONG SKF_EncryptInit(HANDLE hKey, BLOCKCIPHERPARAM EncryptParam)
{
    return initCall("SKF_EncryptInit", "EncryptParam", hKey, EncryptParam);
}
SKF_CHECK_TYPE(SKF_EncryptInit);
#endif

#ifndef OMIT_SKF_Encrypt
SKF_EXPORT ULONG SKF_Encrypt(HANDLE hKey, BYTE *pbData, ULONG ulDataLen, BYTE *pbEncryptedData,
                              ULONG *pulEncryptedLen)
{
    return outputCall("SKF_Encrypt", "hKey", hKey, "pbData", pbData, ulDataLen, pbEncryptedData, pulEncryptedLen);
}
SKF_CHECK_TYPE(SKF_Encrypt);
#endif

#ifndef OMIT_SKF_DecryptInit
SKF_EXPORT ULONG SKF_DecryptInit(HANDLE hKey, BLOCKCIPHERPARAM DecryptParam)
{
    return initCall("SKF_DecryptInit", "DecryptParam", hKey, DecryptParam);
}
SKF_CHECK_TYPE(SKF_DecryptInit);
#endif

#ifndef OMIT_SKF_Decrypt
SKF_EXPORT ULONG SKF_Decrypt(HANDLE hKey, BYTE *pbEncryptedData, ULONG ulEncryptedLen, BYTE *pbData,
                              ULONG *pulDataLen)
{
    return outputCall("SKF_Decrypt", "hKey", hKey, "pbEncryptedData", pbEncryptedData, ulEncryptedLen, pbData,
                      pulDataLen);
}
SKF_CHECK_TYPE(SKF_Decrypt);
#endif

#ifndef OMIT_SKF_RSASignData
SKF_EXPORT ULONG SKF_RSASignData(HCONTAINER hContainer, BYTE *pbData, ULONG ulDataLen, BYTE *pbSignature,
                                  ULONG *pulSignLen)
{
    record("SKF_RSASignData.buffer", pbData, 64);
    return outputCall("SKF_RSASignData", "hContainer", hContainer, "pbData", pbData, ulDataLen, pbSignature,
                      pulSignLen);
}
SKF_CHECK_TYPE(SKF_RSASignData);
#endif

#ifndef OMIT_SKF_ExportPublicKey
// Exports the ECC key form: a 4-byte bit length, then X = 4, 5, ... and Y continuing.
SKF_EXPORT ULONG SKF_ExportPublicKey(HCONTAINER hContainer, BOOL bSignFlag, BYTE *pbBlob, ULONG *pulBlobLen)
{
    recordHandle("SKF_ExportPublicKey.hContainer", hContainer);
    record("SKF_ExportPublicKey.bSignFlag", &bSignFlag, sizeof bSignFlag);
    record("SKF_ExportPublicKey.capacity", pulBlobLen, sizeof *pulBlobLen);
    const ULONG rv = enter("SKF_ExportPublicKey");
    if (rv == SAR_OK) {
        const unsigned int bitLen = kEccExportBitLen;
        std::memcpy(pbBlob, &bitLen, 4);
        for (size_t i = 4; i < kEccExportSize; ++i)
            pbBlob[i] = static_cast<BYTE>(i);
        *pulBlobLen = kEccExportSize;
    }
    return rv;
}
SKF_CHECK_TYPE(SKF_ExportPublicKey);
#endif

#ifndef OMIT_SKF_RSAVerify
SKF_EXPORT ULONG SKF_RSAVerify(DEVHANDLE hDev, RSAPUBLICKEYBLOB *pRSAPubKeyBlob, BYTE *pbData, ULONG ulDataLen,
                                BYTE *pbSignature, ULONG ulSignLen)
{
    recordHandle("SKF_RSAVerify.hDev", hDev);
    record("SKF_RSAVerify.pRSAPubKeyBlob", pRSAPubKeyBlob, sizeof *pRSAPubKeyBlob);
    record("SKF_RSAVerify.pbData", pbData, ulDataLen);
    record("SKF_RSAVerify.pbSignature", pbSignature, ulSignLen);
    return enter("SKF_RSAVerify");
}
SKF_CHECK_TYPE(SKF_RSAVerify);
#endif

#ifndef OMIT_SKF_DigestInit
SKF_EXPORT ULONG SKF_DigestInit(DEVHANDLE hDev, ULONG ulAlgID, ECCPUBLICKEYBLOB *pPubKey, unsigned char *pucID,
                                 ULONG ulIDLen, HANDLE *phHash)
{
    recordHandle("SKF_DigestInit.hDev", hDev);
    record("SKF_DigestInit.ulAlgID", &ulAlgID, sizeof ulAlgID);
    record("SKF_DigestInit.pPubKey", pPubKey, sizeof *pPubKey);
    record("SKF_DigestInit.pucID", pucID, ulIDLen);
    *phHash = &g_hash;
    return enter("SKF_DigestInit");
}
SKF_CHECK_TYPE(SKF_DigestInit);
#endif

#ifndef OMIT_SKF_Digest
SKF_EXPORT ULONG SKF_Digest(HANDLE hHash, BYTE *pbData, ULONG ulDataLen, BYTE *pbHashData, ULONG *pulHashLen)
{
    recordHandle("SKF_Digest.hHash", hHash);
    record("SKF_Digest.pbData", pbData, ulDataLen);
    const ULONG rv = enter("SKF_Digest");
    if (rv == SAR_OK)
        produce(pbHashData, pulHashLen);
    return rv;
}
SKF_CHECK_TYPE(SKF_Digest);
#endif

#ifndef OMIT_SKF_ECCSignData
// Signs with r = 0, 1, 2, ... and s = 64, 65, ... (the bytes include '#').
SKF_EXPORT ULONG SKF_ECCSignData(HCONTAINER hContainer, BYTE *pbData, ULONG ulDataLen,
                                  PECCSIGNATUREBLOB pSignature)
{
    recordHandle("SKF_ECCSignData.hContainer", hContainer);
    record("SKF_ECCSignData.pbData", pbData, ulDataLen);
    const ULONG rv = enter("SKF_ECCSignData");
    if (rv == SAR_OK) {
        for (int i = 0; i < 64; ++i) {
            pSignature->r[i] = static_cast<BYTE>(i);
            pSignature->s[i] = static_cast<BYTE>(64 + i);
        }
    }
    return rv;
}
SKF_CHECK_TYPE(SKF_ECCSignData);
#endif

#ifndef OMIT_SKF_ECCVerify
SKF_EXPORT ULONG SKF_ECCVerify(DEVHANDLE hDev, ECCPUBLICKEYBLOB *pECCPubKeyBlob, BYTE *pbData, ULONG ulDataLen,
                                PECCSIGNATUREBLOB pSignature)
{
    recordHandle("SKF_ECCVerify.hDev", hDev);
    record("SKF_ECCVerify.pECCPubKeyBlob", pECCPubKeyBlob, kEccExportSize);
    record("SKF_ECCVerify.pbData", pbData, ulDataLen);
    record("SKF_ECCVerify.pSignature", pSignature, sizeof *pSignature);
    return enter("SKF_ECCVerify");
}
SKF_CHECK_TYPE(SKF_ECCVerify);
#endif
