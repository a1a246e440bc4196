#include "store.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <vector>

#include <openssl/rand.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mvtoken {

namespace {

const char kMagic[] = "mvukey-store 1";
const char kStoreFile[] = "store.db";
const char kTempFile[] = "store.db.tmp";
const char kLockFile[] = "store.lock";
constexpr int kStoreIdBytes = 16;

std::string hexEncode(const std::string &bytes)
{
    if (bytes.empty())
        return "-";
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool hexDecode(const std::string &text, std::string &out)
{
    out.clear();
    if (text == "-")
        return true;
    if (text.empty() || text.size() % 2)
        return false;
    out.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = hexDigit(text[i]), lo = hexDigit(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out += static_cast<char>(hi << 4 | lo);
    }
    return true;
}

void writePin(std::ostream &out, const PinRecord &pin)
{
    out << ' ' << hexEncode(pin.salt) << ' ' << hexEncode(pin.hash) << ' ' << pin.iterations << ' '
        << pin.maxRetries << ' ' << pin.retriesLeft;
}

// The next field of in as a decimal number from 0 to max: digits only (no sign, no
// space inside), and no value that does not fit.
template <typename T>
bool readNumber(std::istream &in, T &out, std::uint64_t max)
{
    std::string text;
    if (!(in >> text) || text.empty() || text.size() > 20)
        return false;
    std::uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (n > (UINT64_MAX - digit) / 10)
            return false;
        n = n * 10 + digit;
    }
    if (n > max)
        return false;
    out = static_cast<T>(n);
    return true;
}

bool readPin(std::istream &in, PinRecord &pin)
{
    std::string salt, hash;
    if (!(in >> salt >> hash) || !readNumber(in, pin.iterations, kMaxPinIterations) ||
        !readNumber(in, pin.maxRetries, kMaxPinRetries) || !readNumber(in, pin.retriesLeft, pin.maxRetries))
        return false;
    return hexDecode(salt, pin.salt) && hexDecode(hash, pin.hash) && pin.hash.size() == kPinHashBytes &&
           pin.iterations >= kMinPinIterations && pin.maxRetries >= 1;
}

// What a parsed store must hold besides well-formed lines: names unique among their
// siblings, ids unique in the store and below the next id to give.
bool consistent(const StoreData &data)
{
    std::set<std::string> devices;
    std::set<std::uint64_t> appIds, containerIds;
    for (const auto &d : data.devices) {
        if (!devices.insert(d.name).second)
            return false;
        std::set<std::string> apps;
        for (const auto &a : d.applications) {
            if (!apps.insert(a.name).second || a.id == 0 || a.id >= data.nextId || !appIds.insert(a.id).second)
                return false;
            std::set<std::string> containers;
            for (const auto &c : a.containers) {
                if (!containers.insert(c.name).second || c.id == 0 || c.id >= data.nextId ||
                    !containerIds.insert(c.id).second)
                    return false;
            }
        }
    }
    return true;
}

void setProblem(std::string *problem, const std::string &text)
{
    if (problem)
        *problem = text;
}

// Whether a store directory or file, described by st, may hold PIN counters: it belongs
// to the user running this and nobody else can write it. Otherwise says why in problem.
bool isPrivate(const struct stat &st, const std::string &what, const std::string &path, std::string *problem)
{
    if (st.st_uid != geteuid()) {
        setProblem(problem, "the " + what + " " + path + " belongs to user id " + std::to_string(st.st_uid) +
                                ", not to the user running this (" + std::to_string(geteuid()) + ")");
        return false;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        const char *who = (st.st_mode & S_IWGRP) && (st.st_mode & S_IWOTH) ? "group and others"
                          : (st.st_mode & S_IWGRP)                         ? "its group"
                                                                           : "others";
        setProblem(problem, "the " + what + " " + path + " is writable by " + who + " (mode " + mode + ")");
        return false;
    }
    return true;
}

// An existing store directory may be used.
bool checkDirectory(const std::string &dir, std::string *problem)
{
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) {
        setProblem(problem, "cannot reach the store folder " + dir + ": " + strerror(errno));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        setProblem(problem, "the store folder " + dir + " is not a folder");
        return false;
    }
    return isPrivate(st, "store folder", dir, problem);
}

// Creates the missing folders of path, private to the user (0700). Folders that exist
// already are left as they are.
bool makeDirectories(const std::string &path, std::string *problem)
{
    struct stat st;
    if (stat(path.c_str(), &st) == 0)
        return true; // checked by the caller
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !makeDirectories(path.substr(0, slash), problem))
        return false;
    if (mkdir(path.c_str(), 0700) == 0) {
        chmod(path.c_str(), 0700); // whatever the umask took away; this folder is ours
        return true;
    }
    if (errno == EEXIST)
        return true;
    setProblem(problem, "cannot create the folder " + path + ": " + strerror(errno));
    return false;
}

// The store directory, created private to its user when missing, and checked.
bool ensureDirectory(const std::string &dir, std::string *problem)
{
    if (dir.empty()) {
        setProblem(problem, "no store folder: MVUKEY_STORE is not set and the user has no home folder");
        return false;
    }
    return makeDirectories(dir, problem) && checkDirectory(dir, problem);
}

// Why a store file, described by st (from lstat or fstat), may not be used, or empty:
// it must be a private regular file (a link, FIFO, device or folder is refused).
std::string fileRefusal(const struct stat &st, const std::string &path)
{
    std::string why;
    if (S_ISLNK(st.st_mode))
        why = "the store file " + path + " is a symbolic link";
    else if (!S_ISREG(st.st_mode))
        why = "the store file " + path + " is not a regular file";
    else
        isPrivate(st, "store file", path, &why);
    return why;
}

// Judges an existing store file by its entry alone: nothing is opened, so a FIFO or
// device is refused without waiting on it or touching it. 0 when it may be used, ENOENT
// when it does not exist, EPERM when it is refused, another errno when it cannot be
// examined; problem says why.
int checkStoreFile(const std::string &path, std::string *problem)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        const int err = errno;
        if (err != ENOENT)
            setProblem(problem, "cannot examine the store file " + path + ": " + strerror(err));
        return err;
    }
    const std::string why = fileRefusal(st, path);
    if (why.empty())
        return 0;
    setProblem(problem, why);
    return EPERM;
}

// Opens an existing file of the store directory after checking its entry, without
// following a link and without blocking on a FIFO or device, and checks again what was
// opened. -1 with errno ENOENT when it does not exist, EPERM when it is refused, another
// errno when it cannot be opened; problem says why.
int openStoreFile(const std::string &path, int flags, std::string *problem)
{
    const int state = checkStoreFile(path, problem);
    if (state != 0) {
        errno = state;
        return -1;
    }
    int fd = open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (err == ELOOP)
            setProblem(problem, "the store file " + path + " is a symbolic link");
        else if (err != ENOENT)
            setProblem(problem, "cannot open the store file " + path + ": " + strerror(err));
        errno = err == ELOOP ? EPERM : err; // EPERM: refused
        return -1;
    }
    struct stat st;
    std::string why; // what was opened may have replaced the entry checked
    if (fstat(fd, &st) != 0)
        why = "cannot examine the store file " + path + ": " + strerror(errno);
    else
        why = fileRefusal(st, path);
    if (why.empty() && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        why = "cannot use the store file " + path + ": " + strerror(errno);
    if (why.empty())
        return fd;
    close(fd);
    setProblem(problem, why);
    errno = EPERM;
    return -1;
}

// Opens the lock file, making it when it is missing: private to its user (0600) whatever
// the umask. Only a descriptor is needed to lock, so it is opened for reading.
int openLockFile(const std::string &path, std::string *problem)
{
    for (;;) {
        const int fd = openStoreFile(path, O_RDONLY, problem);
        if (fd >= 0 || errno != ENOENT)
            return fd;
        const int made = open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (made >= 0) {
            if (fchmod(made, 0600) == 0)
                return made;
            const int err = errno;
            close(made);
            setProblem(problem, "cannot make " + path + " private: " + strerror(err));
            errno = err;
            return -1;
        }
        if (errno != EEXIST) { // EEXIST: another process made it meanwhile
            const int err = errno;
            setProblem(problem, "cannot create the store file " + path + ": " + strerror(err));
            errno = err;
            return -1;
        }
    }
}

bool writeAll(int fd, const std::string &bytes)
{
    const char *p = bytes.data();
    size_t left = bytes.size();
    while (left) {
        ssize_t n = write(fd, p, left > 65536 ? 65536 : left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

// The first record whose field holds value.
template <typename Record, typename Key>
Record *findBy(std::vector<Record> &records, Key Record::*field, const Key &value)
{
    for (auto &r : records)
        if (r.*field == value)
            return &r;
    return nullptr;
}

} // namespace

ContainerRecord *ApplicationRecord::findContainer(const std::string &n)
{
    return findBy(containers, &ContainerRecord::name, n);
}

ContainerRecord *ApplicationRecord::findContainer(std::uint64_t i)
{
    return findBy(containers, &ContainerRecord::id, i);
}

ApplicationRecord *DeviceRecord::findApplication(const std::string &n)
{
    return findBy(applications, &ApplicationRecord::name, n);
}

ApplicationRecord *DeviceRecord::findApplication(std::uint64_t i)
{
    return findBy(applications, &ApplicationRecord::id, i);
}

DeviceRecord *StoreData::findDevice(const std::string &n)
{
    return findBy(devices, &DeviceRecord::name, n);
}

std::string Store::directory()
{
    const char *store = getenv("MVUKEY_STORE");
    if (store && *store)
        return store;
    const char *data = getenv("XDG_DATA_HOME");
    if (data && *data == '/')
        return std::string(data) + "/mvukey";
    std::string home;
    const char *env = getenv("HOME");
    if (env && *env) {
        home = env;
    } else {
        // Without HOME the home folder of the password database, never a shared folder.
        struct passwd pw, *found = nullptr;
        std::vector<char> buf(16384);
        if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir &&
            found->pw_dir[0] == '/')
            home = found->pw_dir;
    }
    return home.empty() ? std::string() : home + "/.local/share/mvukey";
}

bool Store::makeDirectory(std::string *problem)
{
    return ensureDirectory(directory(), problem);
}

std::string Store::filePath()
{
    return directory() + "/" + kStoreFile;
}

std::string Store::serialize(const StoreData &data)
{
    std::ostringstream out;
    // A string stream fails only when memory runs out: that is an exception, not a short
    // text that a commit would write as the store.
    out.exceptions(std::ios::badbit);
    out << kMagic << '\n';
    if (!data.storeId.empty())
        out << "store-id " << hexEncode(data.storeId) << '\n';
    out << "next-id " << data.nextId << '\n';
    out << "ca " << hexEncode(data.caKeyDer) << ' ' << hexEncode(data.caCertDer) << '\n';
    for (const auto &d : data.devices) {
        out << "device " << hexEncode(d.name) << ' ' << (d.present ? 1 : 0) << ' ' << d.generation << ' '
            << hexEncode(d.label) << ' ' << hexEncode(d.serialNumber) << ' ' << hexEncode(d.manufacturer)
            << '\n';
        for (const auto &a : d.applications) {
            out << "app " << a.id << ' ' << hexEncode(a.name) << ' ' << a.createFileRights;
            writePin(out, a.adminPin);
            writePin(out, a.userPin);
            out << '\n';
            for (const auto &c : a.containers) {
                out << "container " << c.id << ' ' << hexEncode(c.name) << ' ' << static_cast<int>(c.kind)
                    << ' ' << hexEncode(c.signKeyDer) << ' ' << hexEncode(c.encKeyDer) << ' '
                    << hexEncode(c.signCertDer) << ' ' << hexEncode(c.encCertDer) << '\n';
            }
        }
    }
    out << "end\n";
    return out.str();
}

bool Store::parse(const std::string &text, StoreData &data)
{
    data = StoreData();
    std::istringstream in(text);
    // Memory running out while a field is read is an exception, never a damaged store.
    in.exceptions(std::ios::badbit);
    std::string line;
    if (!std::getline(in, line) || line != kMagic)
        return false;
    bool ended = false, nextIdSeen = false;
    while (std::getline(in, line)) {
        if (ended)
            return false; // nothing may follow the end mark
        std::istringstream fields(line);
        fields.exceptions(std::ios::badbit);
        std::string tag;
        fields >> tag;
        if (tag == "end") {
            ended = true;
        } else if (tag == "store-id") {
            std::string id;
            if (!data.storeId.empty() || !(fields >> id) || !hexDecode(id, data.storeId) ||
                data.storeId.size() != kStoreIdBytes)
                return false;
        } else if (tag == "next-id") {
            if (nextIdSeen || !readNumber(fields, data.nextId, kMaxStoreCount) || data.nextId == 0)
                return false;
            nextIdSeen = true;
        } else if (tag == "ca") {
            std::string key, cert;
            if (!(fields >> key >> cert) || !hexDecode(key, data.caKeyDer) || !hexDecode(cert, data.caCertDer))
                return false;
        } else if (tag == "device") {
            DeviceRecord d;
            std::string name, label, serial, manufacturer;
            int present = 0;
            if (!(fields >> name) || !readNumber(fields, present, 1) ||
                !readNumber(fields, d.generation, kMaxStoreCount) || !(fields >> label >> serial >> manufacturer))
                return false;
            if (!hexDecode(name, d.name) || d.name.empty() || !hexDecode(label, d.label) ||
                !hexDecode(serial, d.serialNumber) || !hexDecode(manufacturer, d.manufacturer))
                return false;
            d.present = present != 0;
            data.devices.push_back(std::move(d));
        } else if (tag == "app") {
            if (data.devices.empty())
                return false;
            ApplicationRecord a;
            std::string name;
            if (!readNumber(fields, a.id, kMaxStoreCount) || !(fields >> name) ||
                !readNumber(fields, a.createFileRights, UINT64_MAX) || !hexDecode(name, a.name) || a.name.empty())
                return false;
            if (!readPin(fields, a.adminPin) || !readPin(fields, a.userPin))
                return false;
            data.devices.back().applications.push_back(std::move(a));
        } else if (tag == "container") {
            if (data.devices.empty() || data.devices.back().applications.empty())
                return false;
            ContainerRecord c;
            std::string name, signKey, encKey, signCert, encCert;
            int kind = 0;
            if (!readNumber(fields, c.id, kMaxStoreCount) || !(fields >> name) || !readNumber(fields, kind, 2) ||
                !(fields >> signKey >> encKey >> signCert >> encCert))
                return false;
            if (!hexDecode(name, c.name) || c.name.empty() ||
                !hexDecode(signKey, c.signKeyDer) || !hexDecode(encKey, c.encKeyDer) ||
                !hexDecode(signCert, c.signCertDer) || !hexDecode(encCert, c.encCertDer))
                return false;
            c.kind = static_cast<KeyKind>(kind);
            data.devices.back().applications.back().containers.push_back(std::move(c));
        } else {
            return false;
        }
    }
    return ended && consistent(data);
}

ULONG Store::read(StoreData &data, std::string *problem)
{
    data = StoreData();
    const std::string dir = directory();
    if (dir.empty()) {
        setProblem(problem, "no store folder: MVUKEY_STORE is not set and the user has no home folder");
        return SAR_FILEERR;
    }
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 && errno == ENOENT)
        return SAR_OK; // nothing stored yet
    // The lock is judged as the store file is: a store with a lock that others could
    // change is refused for reading as for writing.
    if (!checkDirectory(dir, problem))
        return SAR_FILEERR;
    const int lock = checkStoreFile(dir + "/" + kLockFile, problem);
    if (lock != 0 && lock != ENOENT)
        return SAR_FILEERR;
    const UniqueFd fd(openStoreFile(filePath(), O_RDONLY, problem));
    if (!fd.valid())
        return errno == ENOENT ? SAR_OK : errno == EPERM ? SAR_FILEERR : SAR_READFILEERR;
    std::string text;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd.get(), buf, sizeof buf)) != 0) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            setProblem(problem, "cannot read the store file " + filePath() + ": " + strerror(errno));
            return SAR_READFILEERR;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    if (!parse(text, data)) {
        setProblem(problem, "the store file " + filePath() + " is damaged");
        return SAR_READFILEERR;
    }
    return SAR_OK;
}

StoreTransaction::StoreTransaction()
{
    const std::string dir = Store::directory();
    if (!ensureDirectory(dir, &m_problem)) {
        m_status = SAR_FILEERR;
        return;
    }
    const std::string lockPath = dir + "/" + kLockFile;
    m_lock.reset(openLockFile(lockPath, &m_problem));
    if (!m_lock.valid()) {
        m_status = SAR_FILEERR;
        return;
    }
    while (flock(m_lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            m_problem = "cannot lock " + lockPath + ": " + strerror(errno);
            m_status = SAR_FILEERR;
            return;
        }
    }
    m_status = Store::read(m_data, &m_problem);
    // Under the lock no other writer can make the store file meanwhile: when it is missing
    // now, this change creates the store, which gets its identity.
    struct stat st;
    if (m_status == SAR_OK && lstat(Store::filePath().c_str(), &st) != 0 && errno == ENOENT) {
        unsigned char id[kStoreIdBytes];
        if (RAND_bytes(id, sizeof id) != 1) {
            m_problem = "cannot make the identity of a new store";
            m_status = SAR_FAIL;
            return;
        }
        m_data.storeId.assign(reinterpret_cast<const char *>(id), sizeof id);
    }
}

StoreTransaction::~StoreTransaction() = default; // closing m_lock releases the lock

ULONG StoreTransaction::commit()
{
    if (m_status != SAR_OK)
        return m_status;
    const std::string dir = Store::directory();
    const std::string temp = dir + "/" + kTempFile;
    const std::string text = Store::serialize(m_data);
    // Only this user can write the folder, so whatever lies under the temporary name was
    // left by a writer of ours that was interrupted. It goes, and the file is made afresh:
    // never through a link, never reusing a file that exists.
    if (unlink(temp.c_str()) != 0 && errno != ENOENT) {
        m_problem = "cannot remove " + temp + ": " + strerror(errno);
        return SAR_WRITEFILEERR;
    }
    UniqueFd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        m_problem = "cannot create " + temp + ": " + strerror(errno);
        return SAR_WRITEFILEERR;
    }
    fchmod(fd.get(), 0600);
    bool ok = writeAll(fd.get(), text) && fsync(fd.get()) == 0;
    ok = fd.close() == 0 && ok;
    if (!ok || rename(temp.c_str(), Store::filePath().c_str()) != 0) {
        m_problem = "cannot write " + Store::filePath() + ": " + strerror(errno);
        unlink(temp.c_str());
        return SAR_WRITEFILEERR;
    }
    const UniqueFd dirFd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.valid())
        fsync(dirFd.get());
    return SAR_OK;
}

} // namespace mvtoken
