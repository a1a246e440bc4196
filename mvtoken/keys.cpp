#include "keys.h"

#include <ctime>
#include <vector>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace mvtoken {

namespace {

const char kSm2Id[] = "1234567812345678"; // GM/T 0009 default signer ID
const char kCaSubject[] = "/C=CN/O=Mirvale Demo/CN=Mirvale Demo CA";
constexpr long kValiditySeconds = 10L * 365 * 24 * 3600;

std::string toPkcs8(EVP_PKEY *key)
{
    std::string out;
    PKCS8_PRIV_KEY_INFO *p8 = EVP_PKEY2PKCS8(key);
    unsigned char *der = nullptr;
    int len = 0;
    if (!p8)
        goto err;
    len = i2d_PKCS8_PRIV_KEY_INFO(p8, &der);
    if (len <= 0)
        goto err;
    out.assign(reinterpret_cast<char *>(der), static_cast<size_t>(len));
err:
    if (der)
        OPENSSL_clear_free(der, static_cast<size_t>(len > 0 ? len : 0));
    PKCS8_PRIV_KEY_INFO_free(p8);
    return out;
}

std::string certDer(X509 *cert)
{
    unsigned char *der = nullptr;
    int len = i2d_X509(cert, &der);
    if (len <= 0)
        return std::string();
    std::string out(reinterpret_cast<char *>(der), static_cast<size_t>(len));
    OPENSSL_free(der);
    return out;
}

// "/C=CN/O=Org/CN=Name" into a name; "\/" stands for a slash inside a value.
X509_NAME *parseSubject(const std::string &text, std::string &error)
{
    if (text.empty() || text[0] != '/') {
        error = "the subject must look like /C=CN/O=.../CN=...";
        return nullptr;
    }
    X509_NAME *name = X509_NAME_new();
    std::vector<std::string> parts;
    std::string cur;
    for (size_t i = 1; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            cur += text[++i];
        } else if (text[i] == '/') {
            parts.push_back(cur);
            cur.clear();
        } else {
            cur += text[i];
        }
    }
    parts.push_back(cur);
    for (const auto &part : parts) {
        size_t eq = part.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == part.size()) {
            error = "bad subject entry \"" + part + "\" (expected KEY=VALUE)";
            X509_NAME_free(name);
            return nullptr;
        }
        std::string key = part.substr(0, eq), value = part.substr(eq + 1);
        if (!X509_NAME_add_entry_by_txt(name, key.c_str(), MBSTRING_UTF8,
                                        reinterpret_cast<const unsigned char *>(value.data()),
                                        static_cast<int>(value.size()), -1, 0)) {
            error = "unknown or invalid subject attribute \"" + key + "\"";
            ERR_clear_error();
            X509_NAME_free(name);
            return nullptr;
        }
    }
    return name;
}

bool addExtension(X509 *cert, X509 *issuer, int nid, const char *value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext)
        return false;
    int ok = X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
    return ok == 1;
}

// Signs with SM3 and the default signer ID for SM2 keys, SHA-256 otherwise.
bool signCertificate(X509 *cert, EVP_PKEY *key)
{
    bool ok = false;
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    EVP_PKEY_CTX *pctx = nullptr;
    const bool sm2 = EVP_PKEY_is_a(key, "SM2");
    if (!md)
        goto err;
    if (sm2) {
        pctx = EVP_PKEY_CTX_new(key, nullptr);
        if (!pctx || EVP_PKEY_CTX_set1_id(pctx, kSm2Id, sizeof kSm2Id - 1) <= 0)
            goto err;
        EVP_MD_CTX_set_pkey_ctx(md, pctx);
    }
    if (EVP_DigestSignInit(md, nullptr, sm2 ? EVP_sm3() : EVP_sha256(), nullptr, key) <= 0)
        goto err;
    ok = X509_sign_ctx(cert, md) > 0;
err:
    EVP_MD_CTX_free(md);
    EVP_PKEY_CTX_free(pctx);
    return ok;
}

bool randomSerial(X509 *cert)
{
    unsigned char bytes[8];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        return false;
    bytes[0] = static_cast<unsigned char>((bytes[0] & 0x7f) | 0x10);
    BIGNUM *bn = BN_bin2bn(bytes, sizeof bytes, nullptr);
    bool ok = bn && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert)) != nullptr;
    BN_free(bn);
    return ok;
}

// A certificate over pub for subject, issued by issuerCert/issuerKey (null: self-signed).
X509 *makeCertificate(EVP_PKEY *pub, X509_NAME *subject, X509 *issuerCert, EVP_PKEY *issuerKey, bool ca,
                      bool sign)
{
    X509 *cert = X509_new();
    if (!cert || !X509_set_version(cert, 2) || !randomSerial(cert) || !X509_set_subject_name(cert, subject) ||
        !X509_set_issuer_name(cert, issuerCert ? X509_get_subject_name(issuerCert) : subject) ||
        !X509_gmtime_adj(X509_getm_notBefore(cert), 0) ||
        !X509_gmtime_adj(X509_getm_notAfter(cert), kValiditySeconds) || !X509_set_pubkey(cert, pub))
        goto err;
    if (!addExtension(cert, issuerCert ? issuerCert : cert, NID_basic_constraints,
                      ca ? "critical,CA:TRUE" : "critical,CA:FALSE"))
        goto err;
    if (!addExtension(cert, issuerCert ? issuerCert : cert, NID_key_usage,
                      ca     ? "critical,keyCertSign,cRLSign"
                      : sign ? "critical,digitalSignature,nonRepudiation"
                             : "critical,keyEncipherment,dataEncipherment,keyAgreement"))
        goto err;
    if (!signCertificate(cert, issuerKey))
        goto err;
    return cert;
err:
    X509_free(cert);
    return nullptr;
}

X509 *parseDer(const std::string &der)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(der.data());
    return d2i_X509(nullptr, &p, static_cast<long>(der.size()));
}

bool ensureCa(StoreData &data, std::string &error)
{
    if (!data.caKeyDer.empty() && !data.caCertDer.empty())
        return true;
    bool ok = false;
    std::string keyDer = generateKeyPair(KeyKind::Sm2);
    EVP_PKEY *key = keyDer.empty() ? nullptr : loadPrivateKeyDer(keyDer);
    X509_NAME *name = parseSubject(kCaSubject, error);
    X509 *cert = nullptr;
    if (!key || !name)
        goto err;
    cert = makeCertificate(key, name, nullptr, key, true, true);
    if (!cert)
        goto err;
    data.caKeyDer = keyDer;
    data.caCertDer = certDer(cert);
    ok = !data.caCertDer.empty();
err:
    if (!ok && error.empty())
        error = "cannot make the demo certification authority";
    X509_free(cert);
    X509_NAME_free(name);
    EVP_PKEY_free(key);
    ERR_clear_error();
    return ok;
}

} // namespace

std::string generateKeyPair(KeyKind kind)
{
    EVP_PKEY *key = nullptr;
    if (kind == KeyKind::Rsa)
        key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(kRsaBits));
    else if (kind == KeyKind::Sm2)
        key = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
    if (!key)
        return std::string();
    std::string der = toPkcs8(key);
    EVP_PKEY_free(key);
    return der;
}

EVP_PKEY *loadPrivateKeyDer(const std::string &der)
{
    if (der.empty())
        return nullptr;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(der.data());
    EVP_PKEY *key = d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der.size()));
    if (!key)
        ERR_clear_error();
    return key;
}

EVP_PKEY *loadKeyPair(const ContainerRecord &container, bool sign)
{
    return loadPrivateKeyDer(sign ? container.signKeyDer : container.encKeyDer);
}

std::string certificateToDer(const std::string &bytes)
{
    std::string out;
    X509 *cert = parseDer(bytes);
    if (!cert) {
        BIO *bio = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
        if (bio)
            cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
        BIO_free(bio);
    }
    if (cert)
        out = certDer(cert);
    X509_free(cert);
    ERR_clear_error();
    return out;
}

std::string issueCertificate(StoreData &data, const std::string &keyDer, const std::string &subject, bool sign,
                             std::string &error)
{
    std::string out;
    EVP_PKEY *key = nullptr, *caKey = nullptr;
    X509 *caCert = nullptr, *cert = nullptr;
    X509_NAME *name = parseSubject(subject, error);
    if (!name)
        goto err;
    if (!ensureCa(data, error))
        goto err;
    key = loadPrivateKeyDer(keyDer);
    caKey = loadPrivateKeyDer(data.caKeyDer);
    caCert = parseDer(data.caCertDer);
    if (!key || !caKey || !caCert) {
        error = "cannot read the container's key or the demo certification authority";
        goto err;
    }
    cert = makeCertificate(key, name, caCert, caKey, false, sign);
    if (!cert) {
        error = "cannot issue the certificate";
        goto err;
    }
    out = certDer(cert);
err:
    X509_free(cert);
    X509_free(caCert);
    X509_NAME_free(name);
    EVP_PKEY_free(caKey);
    EVP_PKEY_free(key);
    ERR_clear_error();
    return out;
}

} // namespace mvtoken
