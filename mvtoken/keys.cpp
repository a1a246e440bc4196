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

#include "ossl_ptr.h"

namespace mvtoken {

namespace {

const char kSm2Id[] = "1234567812345678"; // GM/T 0009 default signer ID
const char kCaSubject[] = "/C=CN/O=Mirvale Demo/CN=Mirvale Demo CA";
constexpr long kValiditySeconds = 10L * 365 * 24 * 3600;

std::string toPkcs8(const EVP_PKEY *key)
{
    const UniquePtr<PKCS8_PRIV_KEY_INFO> p8(EVP_PKEY2PKCS8(key));
    if (!p8)
        return std::string();
    return derOf(p8.get(), i2d_PKCS8_PRIV_KEY_INFO);
}

std::string certDer(const X509 *cert)
{
    return derOf(cert, i2d_X509);
}

// "/C=CN/O=Org/CN=Name" into a name; "\/" stands for a slash inside a value.
UniquePtr<X509_NAME> parseSubject(const std::string &text, std::string &error)
{
    if (text.empty() || text[0] != '/') {
        error = "the subject must look like /C=CN/O=.../CN=...";
        return nullptr;
    }
    UniquePtr<X509_NAME> name(X509_NAME_new());
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
            return nullptr;
        }
        std::string key = part.substr(0, eq), value = part.substr(eq + 1);
        if (!X509_NAME_add_entry_by_txt(name.get(), key.c_str(), MBSTRING_UTF8,
                                        reinterpret_cast<const unsigned char *>(value.data()),
                                        static_cast<int>(value.size()), -1, 0)) {
            error = "unknown or invalid subject attribute \"" + key + "\"";
            ERR_clear_error();
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
    const UniquePtr<X509_EXTENSION> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

// Signs with SM3 and the default signer ID for SM2 keys, SHA-256 otherwise.
bool signCertificate(X509 *cert, EVP_PKEY *key)
{
    // The digest context borrows pctx: it goes first (declared last).
    UniquePtr<EVP_PKEY_CTX> pctx;
    const UniquePtr<EVP_MD_CTX> md(EVP_MD_CTX_new());
    const bool sm2 = EVP_PKEY_is_a(key, "SM2");
    if (!md)
        return false;
    if (sm2) {
        pctx.reset(EVP_PKEY_CTX_new(key, nullptr));
        if (!pctx || EVP_PKEY_CTX_set1_id(pctx.get(), kSm2Id, sizeof kSm2Id - 1) <= 0)
            return false;
        EVP_MD_CTX_set_pkey_ctx(md.get(), pctx.get());
    }
    if (EVP_DigestSignInit(md.get(), nullptr, sm2 ? EVP_sm3() : EVP_sha256(), nullptr, key) <= 0)
        return false;
    return X509_sign_ctx(cert, md.get()) > 0;
}

bool randomSerial(X509 *cert)
{
    unsigned char bytes[8];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        return false;
    bytes[0] = static_cast<unsigned char>((bytes[0] & 0x7f) | 0x10);
    const UniquePtr<BIGNUM> bn(BN_bin2bn(bytes, sizeof bytes, nullptr));
    return bn && BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert)) != nullptr;
}

// A certificate over pub for subject, issued by issuerCert/issuerKey (null: self-signed).
UniquePtr<X509> makeCertificate(EVP_PKEY *pub, X509_NAME *subject, X509 *issuerCert, EVP_PKEY *issuerKey,
                                bool ca, bool sign)
{
    UniquePtr<X509> cert(X509_new());
    X509 *const c = cert.get();
    if (!c || !X509_set_version(c, 2) || !randomSerial(c) || !X509_set_subject_name(c, subject)
        || !X509_set_issuer_name(c, issuerCert ? X509_get_subject_name(issuerCert) : subject)
        || !X509_gmtime_adj(X509_getm_notBefore(c), 0) || !X509_gmtime_adj(X509_getm_notAfter(c), kValiditySeconds)
        || !X509_set_pubkey(c, pub))
        return nullptr;
    if (!addExtension(c, issuerCert ? issuerCert : c, NID_basic_constraints,
                      ca ? "critical,CA:TRUE" : "critical,CA:FALSE"))
        return nullptr;
    if (!addExtension(c, issuerCert ? issuerCert : c, NID_key_usage,
                      ca     ? "critical,keyCertSign,cRLSign"
                      : sign ? "critical,digitalSignature,nonRepudiation"
                             : "critical,keyEncipherment,dataEncipherment,keyAgreement"))
        return nullptr;
    if (!signCertificate(c, issuerKey))
        return nullptr;
    return cert;
}

UniquePtr<X509> parseDer(const std::string &der)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(der.data());
    return UniquePtr<X509>(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

bool makeCa(StoreData &data, std::string &error)
{
    const std::string keyDer = generateKeyPair(KeyKind::Sm2);
    const UniquePtr<EVP_PKEY> key = keyDer.empty() ? nullptr : loadPrivateKeyDer(keyDer);
    const UniquePtr<X509_NAME> name = parseSubject(kCaSubject, error);
    if (!key || !name)
        return false;
    const UniquePtr<X509> cert = makeCertificate(key.get(), name.get(), nullptr, key.get(), true, true);
    if (!cert)
        return false;
    data.caKeyDer = keyDer;
    data.caCertDer = certDer(cert.get());
    return !data.caCertDer.empty();
}

bool ensureCa(StoreData &data, std::string &error)
{
    if (!data.caKeyDer.empty() && !data.caCertDer.empty())
        return true;
    const bool ok = makeCa(data, error);
    if (!ok && error.empty())
        error = "cannot make the demo certification authority";
    ERR_clear_error();
    return ok;
}

std::string issueWithCa(StoreData &data, const std::string &keyDer, const std::string &subject, bool sign,
                        std::string &error)
{
    const UniquePtr<X509_NAME> name = parseSubject(subject, error);
    if (!name || !ensureCa(data, error))
        return std::string();
    const UniquePtr<EVP_PKEY> key = loadPrivateKeyDer(keyDer);
    const UniquePtr<EVP_PKEY> caKey = loadPrivateKeyDer(data.caKeyDer);
    const UniquePtr<X509> caCert = parseDer(data.caCertDer);
    if (!key || !caKey || !caCert) {
        error = "cannot read the container's key or the demo certification authority";
        return std::string();
    }
    const UniquePtr<X509> cert = makeCertificate(key.get(), name.get(), caCert.get(), caKey.get(), false, sign);
    if (!cert) {
        error = "cannot issue the certificate";
        return std::string();
    }
    return certDer(cert.get());
}

} // namespace

std::string generateKeyPair(KeyKind kind)
{
    UniquePtr<EVP_PKEY> key;
    if (kind == KeyKind::Rsa)
        key.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(kRsaBits)));
    else if (kind == KeyKind::Sm2)
        key.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    if (!key)
        return std::string();
    return toPkcs8(key.get());
}

UniquePtr<EVP_PKEY> loadPrivateKeyDer(const std::string &der)
{
    if (der.empty())
        return nullptr;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(der.data());
    UniquePtr<EVP_PKEY> key(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der.size())));
    if (!key)
        ERR_clear_error();
    return key;
}

UniquePtr<EVP_PKEY> loadKeyPair(const ContainerRecord &container, bool sign)
{
    return loadPrivateKeyDer(sign ? container.signKeyDer : container.encKeyDer);
}

std::string certificateToDer(const std::string &bytes)
{
    std::string out;
    UniquePtr<X509> cert = parseDer(bytes);
    if (!cert) {
        const UniquePtr<BIO> bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
        if (bio)
            cert.reset(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    }
    if (cert)
        out = certDer(cert.get());
    ERR_clear_error();
    return out;
}

std::string issueCertificate(StoreData &data, const std::string &keyDer, const std::string &subject, bool sign,
                             std::string &error)
{
    std::string out = issueWithCa(data, keyDer, subject, sign, error);
    ERR_clear_error();
    return out;
}

} // namespace mvtoken
