// Checks an SM2 signature with OpenSSL's own SM2 code (the shared system library, nothing
// of the program's crypto library):
//   sm2oracle X Y R S MESSAGE ID      (all hexadecimal; X, Y, R, S 32 bytes each)
// verifies (R, S) over SM3(Z || MESSAGE) for the public key (X, Y) and the signer ID.
// Exit status 0: valid; 1: not valid; 2: unusable arguments or an OpenSSL failure.
#include <cstdio>
#include <string>
#include <vector>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>

namespace {

bool fromHex(const char *text, std::vector<unsigned char> &out)
{
    const std::string s(text);
    if (s.size() % 2 != 0)
        return false;
    out.clear();
    for (size_t i = 0; i < s.size(); i += 2) {
        unsigned int byte = 0;
        if (std::sscanf(s.c_str() + i, "%2x", &byte) != 1)
            return false;
        out.push_back(static_cast<unsigned char>(byte));
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<unsigned char> x, y, r, s, message, id;
    if (argc != 7 || !fromHex(argv[1], x) || !fromHex(argv[2], y) || !fromHex(argv[3], r) || !fromHex(argv[4], s)
        || !fromHex(argv[5], message) || !fromHex(argv[6], id) || x.size() != 32 || y.size() != 32
        || r.size() != 32 || s.size() != 32) {
        std::fputs("usage: sm2oracle X Y R S MESSAGE ID (hexadecimal)\n", stderr);
        return 2;
    }

    int status = 2;
    std::vector<unsigned char> point{POINT_CONVERSION_UNCOMPRESSED};
    point.insert(point.end(), x.begin(), x.end());
    point.insert(point.end(), y.begin(), y.end());
    char group[] = "SM2";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()),
        OSSL_PARAM_construct_end(),
    };
    EVP_PKEY *key = nullptr;
    EVP_PKEY_CTX *keyCtx = EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr);
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    EVP_PKEY_CTX *verifyCtx = nullptr;
    ECDSA_SIG *sig = ECDSA_SIG_new();
    BIGNUM *rn = BN_bin2bn(r.data(), 32, nullptr);
    BIGNUM *sn = BN_bin2bn(s.data(), 32, nullptr);
    unsigned char *der = nullptr;
    int derLen = 0;
    if (!keyCtx || EVP_PKEY_fromdata_init(keyCtx) <= 0
        || EVP_PKEY_fromdata(keyCtx, &key, EVP_PKEY_PUBLIC_KEY, params) <= 0 || !md || !sig || !rn || !sn
        || ECDSA_SIG_set0(sig, rn, sn) != 1)
        goto err;
    rn = sn = nullptr;
    derLen = i2d_ECDSA_SIG(sig, &der);
    verifyCtx = EVP_PKEY_CTX_new(key, nullptr);
    if (derLen <= 0 || !verifyCtx || EVP_PKEY_CTX_set1_id(verifyCtx, id.data(), id.size()) <= 0)
        goto err;
    EVP_MD_CTX_set_pkey_ctx(md, verifyCtx);
    if (EVP_DigestVerifyInit(md, nullptr, EVP_sm3(), nullptr, key) != 1)
        goto err;
    status = EVP_DigestVerify(md, der, static_cast<size_t>(derLen), message.data(), message.size()) == 1 ? 0 : 1;
err:
    OPENSSL_free(der);
    BN_free(rn);
    BN_free(sn);
    ECDSA_SIG_free(sig);
    EVP_MD_CTX_free(md);
    EVP_PKEY_CTX_free(verifyCtx);
    EVP_PKEY_CTX_free(keyCtx);
    EVP_PKEY_free(key);
    return status;
}
