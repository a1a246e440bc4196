#ifndef MVTOKEN_STORE_H
#define MVTOKEN_STORE_H

// The token store: every device the stand-in knows, with its applications, PINs,
// containers, key pairs and certificates, kept in one file in the store directory.
//
// Every change goes through a StoreTransaction: it takes the store's lock (shared by
// all processes and threads), reads the file, lets the caller change the records and
// writes the whole store to a temporary file that replaces the old one by rename, so
// a crash at any moment leaves the store as it was before or after the change.
// Readers that change nothing use Store::read() and see one complete version.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "skfapi.h"
#include "unique_fd.h"

namespace mvtoken {

enum class KeyKind { None = 0, Rsa = 1, Sm2 = 2 }; // the numbers are SKF container types

// The ranges of the numbers a store may hold. A store file with a number outside them, or
// with a name or id that repeats, is damaged: it is refused as a whole before any PIN is
// hashed or any retry spent.
// PBKDF2 iterations of a PIN hash: one check at the upper bound takes about a quarter of a
// second here, and a PIN is never hashed with fewer than the lower bound.
constexpr std::uint32_t kMinPinIterations = 1000;
constexpr std::uint32_t kMaxPinIterations = 1000000;
// Retry counts of a PIN: 1 to 255 (the counter left: 0 up to the count).
constexpr ULONG kMaxPinRetries = 255;
// Ids (1 and up) and insertion counts (0 and up) stay below this, so that neither wraps.
constexpr std::uint64_t kMaxStoreCount = (std::uint64_t(1) << 63) - 1;
// The length of a PIN hash (PBKDF2-HMAC-SHA256).
constexpr std::size_t kPinHashBytes = 32;

// A PIN is never kept in clear: only its salted PBKDF2 hash (see pin.h).
struct PinRecord {
    std::string salt;       // random bytes
    std::string hash;       // PBKDF2-HMAC-SHA256 of the PIN
    std::uint32_t iterations = 0;
    ULONG maxRetries = 0;
    ULONG retriesLeft = 0;
};

struct ContainerRecord {
    std::uint64_t id = 0;   // unique in the store, never reused
    std::string name;
    KeyKind kind = KeyKind::None;
    std::string signKeyDer; // PKCS#8 DER of the signature key pair (empty: none)
    std::string encKeyDer;  // PKCS#8 DER of the encryption key pair (empty: none)
    std::string signCertDer;
    std::string encCertDer;
};

struct ApplicationRecord {
    std::uint64_t id = 0;   // unique in the store, never reused
    std::string name;
    PinRecord adminPin;
    PinRecord userPin;
    ULONG createFileRights = 0;
    std::vector<ContainerRecord> containers;

    ContainerRecord *findContainer(const std::string &name);
    ContainerRecord *findContainer(std::uint64_t id);
};

struct DeviceRecord {
    std::string name;       // unique in the store
    std::string label;
    std::string serialNumber;
    std::string manufacturer;
    bool present = false;
    std::uint64_t generation = 0; // counts insertions; handles of an older insertion are stale
    // Whether the device can be inserted once more without its count leaving its range.
    bool canInsert() const { return generation < kMaxStoreCount; }
    std::vector<ApplicationRecord> applications;

    ApplicationRecord *findApplication(const std::string &name);
    ApplicationRecord *findApplication(std::uint64_t id);
};

struct StoreData {
    // The store's identity, random bytes made when the store is created, so that handles
    // and log-ins of one store never reach another store at the same place. Empty in a
    // store written before stores had one; such a store keeps being one without.
    std::string storeId;
    std::uint64_t nextId = 1; // above every id given so far
    std::string caKeyDer;   // demo certification authority (PKCS#8 DER), made on first use
    std::string caCertDer;
    std::vector<DeviceRecord> devices;

    DeviceRecord *findDevice(const std::string &name);
    // A new id, never given before in this store; false when the store has given them all.
    bool takeId(std::uint64_t &id)
    {
        if (nextId >= kMaxStoreCount)
            return false;
        id = nextId++;
        return true;
    }
};

namespace Store {
// The store directory: $MVUKEY_STORE, else $XDG_DATA_HOME/mvukey, else
// <home>/.local/share/mvukey, where <home> is $HOME or, without it, the user's home folder
// of the password database. Empty when there is none of them.
std::string directory();
// The path of the store file inside directory().
std::string filePath();
// The store is used only when nobody but its user can change it: the store directory and
// its files must belong to the user running this and must not be writable by group or
// others, and the files must be regular files (a link, FIFO or device is refused without
// waiting on it). A refused store is neither read nor written, and the mode of a folder is
// changed only when this code created it.
//
// Creates directory() private to its user (0700) when it is missing, then checks it.
// On failure problem (when given) says which folder and what is wrong.
bool makeDirectory(std::string *problem = nullptr);
// Reads the current store. A store directory or file that does not exist yet reads as
// an empty store. Returns SAR_OK; SAR_FILEERR for a store that is refused (see above);
// SAR_READFILEERR for an unreadable or damaged file. problem says why it failed.
ULONG read(StoreData &data, std::string *problem = nullptr);
// Encoding used by the store file; exposed for the tests.
std::string serialize(const StoreData &data);
bool parse(const std::string &text, StoreData &data);
} // namespace Store

// Exclusive access to the store for one change. status() is SAR_OK when the lock is held
// and the store was read; data() may then be changed and commit() writes it atomically.
// A store that does not exist yet is given its identity here.
// Destroying the transaction without commit() leaves the store as it was.
class StoreTransaction {
public:
    StoreTransaction();
    ~StoreTransaction();
    StoreTransaction(const StoreTransaction &) = delete;
    StoreTransaction &operator=(const StoreTransaction &) = delete;

    ULONG status() const { return m_status; }
    // Why status() or commit() failed, naming the folder or file; empty otherwise.
    const std::string &problem() const { return m_problem; }
    StoreData &data() { return m_data; }
    // Writes the store; SAR_OK or SAR_WRITEFILEERR. The lock stays held until destruction.
    ULONG commit();

private:
    UniqueFd m_lock;
    ULONG m_status = SAR_FAIL;
    std::string m_problem;
    StoreData m_data;
};

} // namespace mvtoken

#endif // MVTOKEN_STORE_H
