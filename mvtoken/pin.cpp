#include "pin.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "ossl_ptr.h"

namespace mvtoken {

namespace {

constexpr std::uint32_t kIterations = 20000;
static_assert(kIterations >= kMinPinIterations && kIterations <= kMaxPinIterations, "a store must be able to hold it");
constexpr int kSaltBytes = 16;
constexpr int kHashBytes = kPinHashBytes;

// A hash that cannot be made for want of memory says nothing about the PIN: that is
// std::bad_alloc, so that a right PIN is never called wrong.
bool derive(const std::string &pin, const std::string &salt, std::uint32_t iterations, std::string &out)
{
    unsigned char hash[kHashBytes];
    ERR_clear_error(); // what fails below is judged by its own errors
    if (PKCS5_PBKDF2_HMAC(pin.data(), static_cast<int>(pin.size()),
                          reinterpret_cast<const unsigned char *>(salt.data()), static_cast<int>(salt.size()),
                          static_cast<int>(iterations), EVP_sha256(), kHashBytes, hash) != 1) {
        throwIfOutOfMemory();
        return false;
    }
    out.assign(reinterpret_cast<char *>(hash), kHashBytes);
    OPENSSL_cleanse(hash, sizeof hash);
    return true;
}

} // namespace

bool setPin(PinRecord &record, const std::string &pin, ULONG maxRetries)
{
    unsigned char salt[kSaltBytes];
    if (RAND_bytes(salt, kSaltBytes) != 1)
        return false;
    PinRecord fresh;
    fresh.salt.assign(reinterpret_cast<char *>(salt), kSaltBytes);
    fresh.iterations = kIterations;
    if (!derive(pin, fresh.salt, fresh.iterations, fresh.hash))
        return false;
    fresh.maxRetries = maxRetries;
    fresh.retriesLeft = maxRetries;
    record = fresh;
    return true;
}

bool pinMatches(const PinRecord &record, const std::string &pin)
{
    // The store's parser keeps the count in range; a record made otherwise is never hashed
    // with a count that would hang the check or wrap.
    if (record.hash.empty() || record.iterations < kMinPinIterations || record.iterations > kMaxPinIterations)
        return false;
    std::string hash;
    if (!derive(pin, record.salt, record.iterations, hash) || hash.size() != record.hash.size())
        return false;
    bool same = CRYPTO_memcmp(hash.data(), record.hash.data(), hash.size()) == 0;
    OPENSSL_cleanse(&hash[0], hash.size());
    return same;
}

} // namespace mvtoken
