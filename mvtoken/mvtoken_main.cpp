// mvtoken: provisions and inspects the token store that the stand-in libSKFAPI.so serves.
// Every command is one store transaction: it changes everything it says or nothing.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include <cerrno>
#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include "keys.h"
#include "ossl_ptr.h"
#include "pin.h"
#include "skf_util.h"
#include "store.h"

using namespace mvtoken;

namespace {

const char kUsage[] =
    "usage:\n"
    "  mvtoken init-device NAME [--label L] [--serial S] [--manufacturer M]\n"
    "  mvtoken insert NAME\n"
    "  mvtoken remove NAME\n"
    "  mvtoken create-app DEV APP --admin-pin P --user-pin P [--admin-retries N] [--user-retries N]\n"
    "  mvtoken create-container DEV APP CON --key sm2|rsa\n"
    "  mvtoken import-cert DEV APP CON --sign|--enc FILE\n"
    "  mvtoken issue-cert DEV APP CON --sign|--enc --subject \"/C=CN/O=.../CN=...\"\n"
    "  mvtoken list\n"
    "The store is the directory named by MVUKEY_STORE (default: ~/.local/share/mvukey).\n";

struct Failure {
    std::string message;
    int code;
};

[[noreturn]] void fail(const std::string &message, int code = 1)
{
    throw Failure{message, code};
}

// Positional arguments and --options of one command. flags take no value.
struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;

    Args(int argc, char **argv, int first, const std::vector<std::string> &valued,
         const std::vector<std::string> &flags)
    {
        for (int i = first; i < argc; ++i) {
            std::string a = argv[i];
            if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
                bool isValued = false, isFlag = false;
                for (const auto &v : valued)
                    isValued = isValued || v == a;
                for (const auto &f : flags)
                    isFlag = isFlag || f == a;
                if (!isValued && !isFlag)
                    fail("unknown option " + a, 2);
                if (options.count(a))
                    fail("option " + a + " given twice", 2);
                if (isValued) {
                    if (i + 1 >= argc)
                        fail("option " + a + " needs a value", 2);
                    options[a] = argv[++i];
                } else {
                    options[a] = "";
                }
            } else {
                positional.push_back(a);
            }
        }
    }

    void expect(size_t n, const char *what) const
    {
        if (positional.size() != n)
            fail(std::string("expected ") + what, 2);
    }
    bool has(const std::string &o) const { return options.count(o) != 0; }
    std::string get(const std::string &o, const std::string &fallback = std::string()) const
    {
        auto it = options.find(o);
        return it == options.end() ? fallback : it->second;
    }
};

void checkName(const std::string &name, const char *what)
{
    if (name.empty() || name.size() > kMaxNameBytes)
        fail(std::string(what) + " name must be 1 to 63 bytes");
}

void checkPin(const std::string &pin, const char *what)
{
    if (pin.empty() || pin.size() > kMaxPinBytes)
        fail(std::string(what) + " must be 1 to 63 bytes");
}

ULONG parseRetries(const std::string &text, const char *what)
{
    char *end = nullptr;
    errno = 0;
    long n = strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || errno || n < 1 || n > static_cast<long>(kMaxPinRetries))
        fail(std::string(what) + " must be a number from 1 to 255");
    return static_cast<ULONG>(n);
}

// "cannot read the store at DIR", and why when the store said so.
std::string storeFailure(const char *what, const std::string &problem)
{
    std::string text = std::string("cannot ") + what + " the store at " + Store::directory();
    return problem.empty() ? text : text + ": " + problem;
}

void open(StoreTransaction &txn)
{
    if (txn.status() != SAR_OK)
        fail(storeFailure("read", txn.problem()));
}

void commit(StoreTransaction &txn)
{
    if (txn.commit() != SAR_OK)
        fail(storeFailure("write", txn.problem()));
}

DeviceRecord &device(StoreData &data, const std::string &name)
{
    DeviceRecord *d = data.findDevice(name);
    if (!d)
        fail("no device \"" + name + "\"");
    return *d;
}

ApplicationRecord &application(StoreData &data, const std::string &dev, const std::string &app)
{
    ApplicationRecord *a = device(data, dev).findApplication(app);
    if (!a)
        fail("no application \"" + app + "\" on device \"" + dev + "\"");
    return *a;
}

ContainerRecord &container(StoreData &data, const Args &args)
{
    ContainerRecord *c = application(data, args.positional[0], args.positional[1]).findContainer(args.positional[2]);
    if (!c)
        fail("no container \"" + args.positional[2] + "\" in application \"" + args.positional[1] + "\"");
    return *c;
}

bool signFlag(const Args &args)
{
    if (args.has("--sign") == args.has("--enc"))
        fail("give one of --sign and --enc", 2);
    return args.has("--sign");
}

std::string randomSerialNumber()
{
    unsigned char bytes[8];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        fail("no random bytes");
    char text[17];
    for (int i = 0; i < 8; ++i)
        snprintf(text + 2 * i, 3, "%02X", bytes[i]);
    return std::string("MV") + text;
}

// A byte as the listing writes one it does not show: \xhh.
void appendEscaped(std::string &out, unsigned char c)
{
    char hex[5];
    snprintf(hex, sizeof hex, "\\x%02x", c);
    out += hex;
}

// A name or text of the store as the listing shows it: valid UTF-8 stays, control
// characters (C0, DEL, C1), bytes that are no UTF-8 and the backslash are written as
// \xHH (\\ for the backslash), so that no name can move the cursor, send a terminal
// sequence or fake a line of the listing.
std::string shown(const std::string &text)
{
    std::string out;
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        if (c == '\\') {
            out += "\\\\";
            ++i;
            continue;
        }
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7f)
                appendEscaped(out, c);
            else
                out += static_cast<char>(c);
            ++i;
            continue;
        }
        // The length of a well-formed UTF-8 sequence starting at i, or 0.
        size_t len = 0;
        unsigned cp = 0;
        if (c >= 0xc2 && c <= 0xdf)
            len = 2, cp = c & 0x1f;
        else if (c >= 0xe0 && c <= 0xef)
            len = 3, cp = c & 0x0f;
        else if (c >= 0xf0 && c <= 0xf4)
            len = 4, cp = c & 0x07;
        for (size_t k = 1; len && k < len; ++k) {
            if (i + k >= n || (p[i + k] & 0xc0) != 0x80)
                len = 0;
            else
                cp = cp << 6 | (p[i + k] & 0x3f);
        }
        const bool overlong = (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
        const bool invalid = cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff) || (cp >= 0x80 && cp <= 0x9f);
        if (!len || overlong || invalid) {
            appendEscaped(out, c);
            ++i;
            continue;
        }
        out.append(text, i, len);
        i += len;
    }
    return out;
}

// A token keeps its label in GBK, the command line speaks UTF-8. Converts `in` from one
// encoding to the other; false when it does not convert. With `escape`, the result is
// written as the listing shows text (see shown()) and a byte that does not convert is
// written as \xhh instead, the conversion going on.
bool convertText(const std::string &in, const char *from, const char *to, bool escape, std::string &out)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        if (errno == ENOMEM)
            throw std::bad_alloc();
        return false;
    }
    out.clear();
    std::vector<char> input(in.begin(), in.end());
    char *src = input.data();
    size_t srcLeft = input.size();
    bool ok = true;
    while (srcLeft > 0) {
        char buffer[256];
        char *dst = buffer;
        size_t dstLeft = sizeof buffer;
        const size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        const std::string converted(buffer, static_cast<size_t>(dst - buffer));
        out += escape ? shown(converted) : converted;
        if (rc != static_cast<size_t>(-1) || errno == E2BIG)
            continue;
        if (!escape) {
            ok = false;
            break;
        }
        appendEscaped(out, static_cast<unsigned char>(*src));
        ++src;
        --srcLeft;
    }
    iconv_close(cd);
    return ok;
}

int initDevice(int argc, char **argv)
{
    Args args(argc, argv, 2, {"--label", "--serial", "--manufacturer"}, {});
    args.expect(1, "NAME");
    const std::string name = args.positional[0];
    checkName(name, "device");
    DeviceRecord d;
    d.name = name;
    const bool labelGiven = args.has("--label");
    if (!convertText(args.get("--label", name), "UTF-8", "GBK", false, d.label))
        fail(labelGiven ? "the label must be UTF-8 text that GBK can hold"
                        : "the name has no GBK form for the label field: give a label with --label");
    d.serialNumber = args.has("--serial") ? args.get("--serial") : randomSerialNumber();
    d.manufacturer = args.get("--manufacturer", "Mirvale");
    if (d.label.size() > sizeof(DEVINFO::Label))
        fail(labelGiven ? "the label must be at most 32 bytes in GBK"
                        : "the name is longer than the 32 bytes of the label field: give a label with --label");
    if (d.serialNumber.size() > sizeof(DEVINFO::SerialNumber))
        fail("the serial number must be at most 32 bytes");
    if (d.manufacturer.size() > sizeof(DEVINFO::Manufacturer))
        fail("the manufacturer must be at most 64 bytes");
    StoreTransaction txn;
    open(txn);
    if (txn.data().findDevice(name))
        fail("device \"" + name + "\" exists already");
    txn.data().devices.push_back(d);
    commit(txn);
    std::cout << "device " << shown(name) << " created (not inserted)\n";
    return 0;
}

int setPresence(int argc, char **argv, bool present)
{
    Args args(argc, argv, 2, {}, {});
    args.expect(1, "NAME");
    StoreTransaction txn;
    open(txn);
    DeviceRecord &d = device(txn.data(), args.positional[0]);
    if (d.present == present)
        fail("device \"" + d.name + "\" is already " + (present ? "inserted" : "removed"));
    if (present && !d.canInsert())
        fail("device \"" + d.name + "\" cannot be inserted again: its insertion count is used up");
    d.present = present;
    if (present)
        d.generation++;
    commit(txn);
    std::cout << "device " << shown(d.name) << (present ? " inserted\n" : " removed\n");
    return 0;
}

int createApp(int argc, char **argv)
{
    Args args(argc, argv, 2, {"--admin-pin", "--user-pin", "--admin-retries", "--user-retries"}, {});
    args.expect(2, "DEV APP");
    const std::string app = args.positional[1];
    checkName(app, "application");
    if (!args.has("--admin-pin") || !args.has("--user-pin"))
        fail("--admin-pin and --user-pin are required", 2);
    const std::string adminPin = args.get("--admin-pin"), userPin = args.get("--user-pin");
    checkPin(adminPin, "the administrator PIN");
    checkPin(userPin, "the user PIN");
    const ULONG adminRetries = parseRetries(args.get("--admin-retries", "10"), "--admin-retries");
    const ULONG userRetries = parseRetries(args.get("--user-retries", "10"), "--user-retries");
    StoreTransaction txn;
    open(txn);
    DeviceRecord &d = device(txn.data(), args.positional[0]);
    if (d.findApplication(app))
        fail("application \"" + app + "\" exists already on device \"" + d.name + "\"");
    ApplicationRecord a;
    if (!txn.data().takeId(a.id))
        fail("the store has no id left to give");
    a.name = app;
    a.createFileRights = SECURE_ANYONE_ACCOUNT;
    if (!setPin(a.adminPin, adminPin, adminRetries) || !setPin(a.userPin, userPin, userRetries))
        fail("cannot hash the PINs");
    d.applications.push_back(std::move(a));
    commit(txn);
    std::cout << "application " << shown(app) << " created on " << shown(d.name) << "\n";
    return 0;
}

int createContainer(int argc, char **argv)
{
    Args args(argc, argv, 2, {"--key"}, {});
    args.expect(3, "DEV APP CON");
    const std::string con = args.positional[2];
    checkName(con, "container");
    const std::string keyText = args.get("--key");
    KeyKind kind = keyText == "sm2" ? KeyKind::Sm2 : keyText == "rsa" ? KeyKind::Rsa : KeyKind::None;
    if (kind == KeyKind::None)
        fail("--key must be sm2 or rsa", 2);
    StoreTransaction txn;
    open(txn);
    ApplicationRecord &a = application(txn.data(), args.positional[0], args.positional[1]);
    if (a.findContainer(con))
        fail("container \"" + con + "\" exists already");
    ContainerRecord c;
    if (!txn.data().takeId(c.id))
        fail("the store has no id left to give");
    c.name = con;
    c.kind = kind;
    c.signKeyDer = generateKeyPair(kind);
    c.encKeyDer = generateKeyPair(kind);
    if (c.signKeyDer.empty() || c.encKeyDer.empty())
        fail("cannot generate the key pairs");
    a.containers.push_back(std::move(c));
    commit(txn);
    std::cout << "container " << shown(con) << " created with " << keyText << " key pairs\n";
    return 0;
}

// A certificate the program can read fits its 2,048-byte buffer; far larger files are
// refused unread, and so is anything but a regular file (a FIFO, a device).
constexpr off_t kMaxCertificateFile = 64 * 1024;

std::string readCertificateFile(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        fail("cannot read " + path + ": " + strerror(errno));
    struct stat st;
    std::string why;
    if (fstat(fd, &st) != 0)
        why = "cannot read " + path + ": " + strerror(errno);
    else if (!S_ISREG(st.st_mode))
        why = path + " is not a regular file";
    else if (st.st_size > kMaxCertificateFile)
        why = path + " is larger than 64 KiB: no certificate file";
    std::string bytes;
    char buf[4096];
    while (why.empty()) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0)
            break;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            why = "cannot read " + path + ": " + strerror(errno);
        else if (bytes.size() + static_cast<size_t>(n) > static_cast<size_t>(kMaxCertificateFile))
            why = path + " is larger than 64 KiB: no certificate file"; // it grew meanwhile
        else
            bytes.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    if (!why.empty())
        fail(why);
    return bytes;
}

int importCert(int argc, char **argv)
{
    Args args(argc, argv, 2, {}, {"--sign", "--enc"});
    args.expect(4, "DEV APP CON FILE");
    const bool sign = signFlag(args);
    const std::string der = certificateToDer(readCertificateFile(args.positional[3]));
    if (der.empty())
        fail(args.positional[3] + " holds no X.509 certificate (DER or PEM)");
    StoreTransaction txn;
    open(txn);
    ContainerRecord &c = container(txn.data(), args);
    (sign ? c.signCertDer : c.encCertDer) = der;
    commit(txn);
    std::cout << (sign ? "signature" : "encryption") << " certificate imported into " << shown(c.name) << "\n";
    return 0;
}

int issueCert(int argc, char **argv)
{
    Args args(argc, argv, 2, {"--subject"}, {"--sign", "--enc"});
    args.expect(3, "DEV APP CON");
    const bool sign = signFlag(args);
    if (!args.has("--subject"))
        fail("--subject is required", 2);
    StoreTransaction txn;
    open(txn);
    ContainerRecord &c = container(txn.data(), args);
    const std::string keyDer = sign ? c.signKeyDer : c.encKeyDer;
    if (keyDer.empty())
        fail("container \"" + c.name + "\" holds no key pair");
    std::string error;
    const std::string der = issueCertificate(txn.data(), keyDer, args.get("--subject"), sign, error);
    if (der.empty())
        fail(error);
    (sign ? c.signCertDer : c.encCertDer) = der;
    commit(txn);
    std::cout << (sign ? "signature" : "encryption") << " certificate issued for " << shown(c.name) << "\n";
    return 0;
}

// A certificate's subject as "/C=CN/O=.../CN=...": each attribute's short name (its
// dotted number when it has none) and its value as UTF-8 text, whatever string type
// holds it. The text is not escaped here: the listing escapes all it prints once.
std::string certSubject(const std::string &der)
{
    if (der.empty())
        return "none";
    ERR_clear_error(); // what fails below is judged by its own errors
    const unsigned char *p = reinterpret_cast<const unsigned char *>(der.data());
    const UniquePtr<X509> cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!cert) {
        throwIfOutOfMemory();
        return "(unreadable)";
    }
    const X509_NAME *name = X509_get_subject_name(cert.get());
    std::string line;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY *entry = X509_NAME_get_entry(name, i);
        const ASN1_OBJECT *object = X509_NAME_ENTRY_get_object(entry);
        const int nid = OBJ_obj2nid(object);
        const char *shortName = nid == NID_undef ? nullptr : OBJ_nid2sn(nid);
        char number[128];
        if (!shortName) {
            if (OBJ_obj2txt(number, sizeof number, object, 1) <= 0) {
                throwIfOutOfMemory();
                snprintf(number, sizeof number, "?");
            }
            shortName = number;
        }
        const ASN1_STRING *value = X509_NAME_ENTRY_get_data(entry);
        unsigned char *utf8 = nullptr;
        const int len = ASN1_STRING_to_UTF8(&utf8, value);
        line += std::string("/") + shortName + "=";
        if (len >= 0) {
            line.append(reinterpret_cast<const char *>(utf8), static_cast<size_t>(len));
            OPENSSL_free(utf8);
        } else {
            throwIfOutOfMemory();
            // A value that its own string type does not hold: its bytes, escaped where
            // they are no UTF-8.
            line.append(reinterpret_cast<const char *>(ASN1_STRING_get0_data(value)),
                        static_cast<size_t>(ASN1_STRING_length(value)));
        }
    }
    return line;
}

int list(int argc, char **argv)
{
    Args args(argc, argv, 2, {}, {});
    args.expect(0, "no arguments");
    StoreData data;
    std::string problem;
    if (Store::read(data, &problem) != SAR_OK)
        fail(storeFailure("read", problem));
    std::cout << "store " << shown(Store::directory()) << "\n";
    for (const auto &d : data.devices) {
        std::string label;
        convertText(d.label, "GBK", "UTF-8", true, label);
        std::cout << "device " << shown(d.name) << (d.present ? " [inserted]" : " [removed]")
                  << " label=" << label << " serial=" << shown(d.serialNumber)
                  << " manufacturer=" << shown(d.manufacturer) << "\n";
        for (const auto &a : d.applications) {
            std::cout << "  application " << shown(a.name) << " admin-retries=" << a.adminPin.retriesLeft << "/"
                      << a.adminPin.maxRetries << " user-retries=" << a.userPin.retriesLeft << "/"
                      << a.userPin.maxRetries << "\n";
            for (const auto &c : a.containers) {
                std::cout << "    container " << shown(c.name) << " key="
                          << (c.kind == KeyKind::Sm2 ? "sm2" : c.kind == KeyKind::Rsa ? "rsa" : "none") << "\n"
                          << "      sign-cert: " << shown(certSubject(c.signCertDer)) << "\n"
                          << "      enc-cert: " << shown(certSubject(c.encCertDer)) << "\n";
            }
        }
    }
    return 0;
}

} // namespace

int runCommand(int argc, char **argv)
{
    if (argc < 2) {
        std::cerr << "mvtoken: no command given\n" << kUsage;
        return 2;
    }
    if (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h")) {
        std::cout << kUsage;
        return 0;
    }
    const std::string command = argv[1];
    try {
        if (command == "init-device")
            return initDevice(argc, argv);
        if (command == "insert")
            return setPresence(argc, argv, true);
        if (command == "remove")
            return setPresence(argc, argv, false);
        if (command == "create-app")
            return createApp(argc, argv);
        if (command == "create-container")
            return createContainer(argc, argv);
        if (command == "import-cert")
            return importCert(argc, argv);
        if (command == "issue-cert")
            return issueCert(argc, argv);
        if (command == "list")
            return list(argc, argv);
        fail("unknown command " + command, 2);
    } catch (const Failure &f) {
        std::cerr << "mvtoken: " << shown(f.message) << "\n";
        if (f.code == 2)
            std::cerr << kUsage;
        return f.code;
    }
}

int main(int argc, char **argv)
{
    // Without memory the command ends with a message, its change not made (a
    // transaction commits only at its end), and the store is never called damaged.
    try {
        return runCommand(argc, argv);
    } catch (const std::bad_alloc &) {
        fputs("mvtoken: out of memory\n", stderr);
        return 1;
    }
}
