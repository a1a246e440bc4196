#ifndef MVTOKEN_PIN_H
#define MVTOKEN_PIN_H

// PIN hashing: PBKDF2-HMAC-SHA256 with a random 16-byte salt.

#include <string>

#include "store.h"

namespace mvtoken {

// Sets a new PIN (salt and hash) and resets its counter to maxRetries.
bool setPin(PinRecord &record, const std::string &pin, ULONG maxRetries);
// True when pin matches the stored hash (constant-time comparison).
bool pinMatches(const PinRecord &record, const std::string &pin);

} // namespace mvtoken

#endif // MVTOKEN_PIN_H
