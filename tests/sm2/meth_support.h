// Helpers of the SM2 key-method tests: owning pointers, DER round trips, temporary
// directories and the openssl command as an outside peer.
#ifndef MV_TESTS_SM2_METH_SUPPORT_H
#define MV_TESTS_SM2_METH_SUPPORT_H

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include "sm2_keys.h"
#include "sm2_setup.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace mvmeth {

using Bytes = std::vector<unsigned char>;

struct Free {
    void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
    void operator()(EVP_PKEY_CTX *p) const { EVP_PKEY_CTX_free(p); }
    void operator()(EVP_MD_CTX *p) const { EVP_MD_CTX_free(p); }
    void operator()(EC_KEY *p) const { EC_KEY_free(p); }
    void operator()(EC_GROUP *p) const { EC_GROUP_free(p); }
    void operator()(X509 *p) const { X509_free(p); }
    void operator()(X509_PUBKEY *p) const { X509_PUBKEY_free(p); }
    void operator()(PKCS8_PRIV_KEY_INFO *p) const { PKCS8_PRIV_KEY_INFO_free(p); }
    void operator()(BIO *p) const { BIO_free(p); }
    void operator()(X509_STORE *p) const { X509_STORE_free(p); }
    void operator()(X509_STORE_CTX *p) const { X509_STORE_CTX_free(p); }
    void operator()(X509_ALGOR *p) const { X509_ALGOR_free(p); }
    void operator()(PKCS12 *p) const { PKCS12_free(p); }
};
template <class T> using Ptr = std::unique_ptr<T, Free>;
using Pkey = Ptr<EVP_PKEY>;
using EcKey = Ptr<EC_KEY>;
using Cert = Ptr<X509>;

// Reason code of the newest entry on the error queue, then clears the queue.
inline int lastReason(int *lib = nullptr)
{
    unsigned long e = ERR_peek_last_error();
    if (lib != nullptr)
        *lib = ERR_GET_LIB(e);
    ERR_clear_error();
    return ERR_GET_REASON(e);
}

inline int curveOf(const EVP_PKEY *pkey)
{
    const EC_KEY *ec = EVP_PKEY_get0_EC_KEY(pkey);
    const EC_GROUP *g = ec != nullptr ? EC_KEY_get0_group(ec) : nullptr;
    return g != nullptr ? EC_GROUP_get_curve_name(g) : NID_undef;
}

inline EcKey newEcKey(int curve)
{
    EcKey k(EC_KEY_new_by_curve_name(curve));
    if (!k || !EC_KEY_generate_key(k.get()))
        throw std::runtime_error("EC key generation");
    return k;
}

// An SM2 key object holding a copy of ec (SM2 curve or any other).
inline Pkey sm2Pkey(const EC_KEY *ec)
{
    Pkey p(EVP_PKEY_new());
    EC_KEY *copy = EC_KEY_dup(ec);
    if (!p || copy == nullptr || !EVP_PKEY_assign_EC_SM2_KEY(p.get(), copy)) {
        EC_KEY_free(copy);
        throw std::runtime_error("SM2 key object");
    }
    return p;
}

// A fresh SM2 key object on the SM2 curve.
inline Pkey newSm2Pkey()
{
    EcKey ec(SM2_KEY_get(1));
    return sm2Pkey(ec.get());
}

template <class T, class F> Bytes der(const T *obj, F i2d)
{
    unsigned char *p = nullptr;
    int n = i2d(obj, &p);
    if (n <= 0)
        throw std::runtime_error("DER encoding");
    Bytes out(p, p + n);
    OPENSSL_free(p);
    return out;
}

inline Bytes spkiOf(const EVP_PKEY *pkey)
{
    return der(pkey, [](const EVP_PKEY *k, unsigned char **p) { return i2d_PUBKEY(k, p); });
}

inline Ptr<X509_PUBKEY> spkiParse(const Bytes &d)
{
    const unsigned char *p = d.data();
    return Ptr<X509_PUBKEY>(d2i_X509_PUBKEY(nullptr, &p, static_cast<long>(d.size())));
}

inline Ptr<PKCS8_PRIV_KEY_INFO> p8Parse(const Bytes &d)
{
    const unsigned char *p = d.data();
    return Ptr<PKCS8_PRIV_KEY_INFO>(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(d.size())));
}

// A self-signed certificate for pkey, signed with md by the program.
inline Cert selfSigned(EVP_PKEY *pkey, const EVP_MD *md, bool sign = true)
{
    Cert x(X509_new());
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), 4711);
    X509_NAME *name = X509_get_subject_name(x.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>("mirvale sm2"), -1, -1, 0);
    X509_set_issuer_name(x.get(), name);
    X509_gmtime_adj(X509_getm_notBefore(x.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(x.get()), 86400);
    X509_set_pubkey(x.get(), pkey);
    if (sign && X509_sign(x.get(), pkey, md) <= 0)
        return nullptr;
    return x;
}

inline Cert readCertPem(const std::string &path)
{
    Ptr<BIO> b(BIO_new_file(path.c_str(), "r"));
    return Cert(b ? PEM_read_bio_X509(b.get(), nullptr, nullptr, nullptr) : nullptr);
}

inline void writeFile(const std::string &path, const Bytes &data)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline Bytes readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A private working directory, removed with its files at the end.
class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/mv-sm2-meth-XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            throw std::runtime_error("mkdtemp");
        path_ = tmpl;
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// Runs the openssl command in dir; returns its exit status, output in *out when given.
inline int openssl(const TempDir &dir, const std::string &args, std::string *out = nullptr)
{
    std::string cmd = "cd '" + dir.path() + "' && openssl " + args + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return -1;
    std::string text;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        text.append(buf, n);
    int status = pclose(p);
    if (out != nullptr)
        *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace mvmeth

#endif
