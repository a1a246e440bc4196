// The store file: its encoding, and that a writer killed at any moment leaves the store
// as it was before or after the change.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <poll.h>
#include <pwd.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <new>
#include <random>
#include <stdexcept>
#include <string>

#include <openssl/crypto.h>

#include "pin.h"
#include "store.h"
#include "token_fixture.h"

using namespace mvtoken;

namespace {

StoreData sampleStore(int containers, size_t certBytes)
{
    StoreData data;
    data.nextId = 1000;
    data.caKeyDer = std::string("\x30\x82\x01", 3);
    DeviceRecord d;
    d.name = "dev one";
    d.label = "Label #1, with spaces";
    d.serialNumber = "SN";
    d.present = true;
    d.generation = 3;
    ApplicationRecord a;
    a.id = 7;
    a.name = "app";
    a.adminPin = PinRecord{"salt", std::string(kPinHashBytes, 'h'), 20000, 10, 9};
    a.userPin = PinRecord{"s2", std::string(kPinHashBytes, '2'), 20000, 3, 0};
    std::mt19937 rng(42);
    for (int i = 0; i < containers; ++i) {
        ContainerRecord c;
        c.id = 10 + i;
        c.name = "con" + std::to_string(i);
        c.kind = i % 2 ? KeyKind::Rsa : KeyKind::Sm2;
        c.signKeyDer.resize(certBytes / 2);
        for (auto &ch : c.signKeyDer)
            ch = static_cast<char>(rng());
        c.signCertDer.assign(certBytes, '\0');
        a.containers.push_back(c);
    }
    d.applications.push_back(a);
    data.devices.push_back(d);
    data.devices.push_back(DeviceRecord{"empty", "", "", "", false, 0, {}});
    return data;
}

TEST(Store, EncodingRoundTripsAndRefusesEveryTruncation)
{
    const StoreData data = sampleStore(3, 40);
    const std::string text = Store::serialize(data);
    StoreData back;
    ASSERT_TRUE(Store::parse(text, back));
    EXPECT_EQ(Store::serialize(back), text);
    EXPECT_EQ(back.devices[0].label, "Label #1, with spaces");
    EXPECT_EQ(back.devices[0].applications[0].userPin.retriesLeft, 0u);
    EXPECT_EQ(back.devices[0].applications[0].containers[1].kind, KeyKind::Rsa);
    EXPECT_EQ(back.devices[0].applications[0].containers[2].signCertDer, std::string(40, '\0'));

    // Only a whole store reads: every shorter prefix is refused (the last byte is the
    // final line feed).
    for (size_t n = 0; n + 1 < text.size(); ++n)
        ASSERT_FALSE(Store::parse(text.substr(0, n), back)) << "prefix of " << n << " bytes";
    // Damage inside a line is refused as well.
    std::string bad = text;
    bad[bad.find("device") + 8] = 'z';
    EXPECT_FALSE(Store::parse(bad, back));
    EXPECT_FALSE(Store::parse(text + "device 41 0 0 - - -\n", back));
}

// A child rewrites a large store again and again; the parent kills it with SIGKILL as soon
// as it sees the temporary file being written, and the store must read as one of the
// versions the child wrote completely.
TEST(Store, AWriterKilledMidWayLeavesAWholeStore)
{
    const std::string dir = tokentest::makeStore();
    {
        StoreTransaction txn;
        ASSERT_EQ(txn.status(), SAR_OK);
        txn.data() = sampleStore(200, 4000); // a few MB: each write takes many write() calls
        txn.data().devices[0].label = "0";
        ASSERT_EQ(txn.commit(), SAR_OK);
    }
    int midWrite = 0;
    int lastLabel = 0;
    for (int round = 0; round < 12; ++round) {
        int fd = inotify_init1(IN_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_GE(inotify_add_watch(fd, dir.c_str(), IN_MODIFY), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int i = 1;; ++i) {
                StoreTransaction txn;
                if (txn.status() != SAR_OK)
                    _exit(3);
                txn.data().devices[0].label = std::to_string(std::stoi(txn.data().devices[0].label) + 1);
                if (txn.commit() != SAR_OK)
                    _exit(4);
            }
        }
        // Let a few writes complete in some rounds, then strike during the next write.
        const int skip = round % 3 * 40;
        int seen = 0;
        char buf[4096];
        struct pollfd p = {fd, POLLIN, 0};
        while (poll(&p, 1, 10000) > 0) {
            ssize_t len = read(fd, buf, sizeof buf);
            bool tmpModified = false;
            for (char *q = buf; q < buf + len;) {
                auto *e = reinterpret_cast<struct inotify_event *>(q);
                if (e->len && !strcmp(e->name, "store.db.tmp"))
                    tmpModified = true;
                q += sizeof(struct inotify_event) + e->len;
            }
            if (tmpModified && ++seen > skip)
                break;
        }
        kill(pid, SIGKILL);
        int st = 0;
        waitpid(pid, &st, 0);
        close(fd);
        ASSERT_TRUE(WIFSIGNALED(st)) << "the writer stopped by itself with " << WEXITSTATUS(st);

        struct stat tmp;
        if (stat((dir + "/store.db.tmp").c_str(), &tmp) == 0 &&
            tmp.st_size < static_cast<off_t>(tokentest::readFile(dir + "/store.db").size()))
            ++midWrite;
        StoreData data;
        ASSERT_EQ(Store::read(data), SAR_OK) << "round " << round;
        ASSERT_EQ(data.devices.size(), 2u);
        ASSERT_EQ(data.devices[0].applications[0].containers.size(), 200u);
        const int label = std::stoi(data.devices[0].label);
        EXPECT_GE(label, lastLabel);
        lastLabel = label;
    }
    // The kills really fell inside writes (a half-written temporary file was left).
    EXPECT_GT(midWrite, 0);
    // A later writer is not disturbed by what a killed one left behind.
    StoreTransaction txn;
    ASSERT_EQ(txn.status(), SAR_OK);
    txn.data().devices[0].label = "after";
    ASSERT_EQ(txn.commit(), SAR_OK);
    StoreData data;
    ASSERT_EQ(Store::read(data), SAR_OK);
    EXPECT_EQ(data.devices[0].label, "after");
    tokentest::removeTree(dir);
}

// A well-formed store of two devices whose numbers and names the cases below change one at
// a time.
std::string damageBase()
{
    const std::string hash = "5a " + std::string(2 * kPinHashBytes, 'e');
    return "mvukey-store 1\n"
           "store-id 00112233445566778899aabbccddeeff\n"
           "next-id 50\n"
           "ca - -\n"
           "device 6431 1 7 4c - -\n"
           "app 11 6131 0 " + hash + " 20000 10 9 " + hash + " 20000 3 3\n"
           "container 21 6331 2 - - - -\n"
           "container 22 6332 1 - - - -\n"
           "device 6432 0 0 - - -\n"
           "app 12 6132 0 " + hash + " 20000 5 5 " + hash + " 20000 5 5\n"
           "end\n";
}

struct StoreEdit {
    const char *what;
    const char *from; // found once in damageBase()
    std::string to;
};

std::string edited(const StoreEdit &e)
{
    std::string text = damageBase();
    const size_t at = text.find(e.from);
    if (at == std::string::npos || text.find(e.from, at + 1) != std::string::npos)
        throw std::logic_error(std::string("not found once: ") + e.from);
    return text.replace(at, strlen(e.from), e.to);
}

// Numbers out of range, and names or ids that repeat, make a store damaged: it is refused
// as a whole, so that no PIN check hashes with a count read from it and no id is given
// twice. The numbers at the edges of the ranges are read.
TEST(Store, OutOfRangeNumbersAndRepeatedNamesOrIdsAreDamage)
{
    const std::string hash = "5a " + std::string(2 * kPinHashBytes, 'e');
    const std::vector<StoreEdit> damaged = {
        {"iterations 2^31-1", "20000 10 9", "2147483647 10 9"},
        {"iterations 2^31", "20000 10 9", "2147483648 10 9"},
        {"iterations 2^32", "20000 10 9", "4294967296 10 9"},
        {"iterations above the bound", "20000 10 9", "1000001 10 9"},
        {"iterations below the bound", "20000 10 9", "999 10 9"},
        {"no iterations", "20000 10 9", "0 10 9"},
        {"negative iterations", "20000 10 9", "-20000 10 9"},
        {"retry count 0", "20000 3 3", "20000 0 0"},
        {"retry count 256", "20000 3 3", "20000 256 256"},
        {"more retries left than the count", "20000 3 3", "20000 3 4"},
        {"negative retries left", "20000 3 3", "20000 3 -1"},
        {"hash one byte short", "20000 3 3", "20000 3 3\napp 13 6133 0 5a " + std::string(62, 'e') +
                                                   " 20000 1 1 5a " + std::string(64, 'e') + " 20000 1 1"},
        {"next-id 2^64-1", "next-id 50", "next-id 18446744073709551615"},
        {"next-id 2^63", "next-id 50", "next-id 9223372036854775808"},
        {"next-id 2^64", "next-id 50", "next-id 18446744073709551616"},
        {"next-id 0", "next-id 50", "next-id 0"},
        {"next-id already given", "next-id 50", "next-id 22"},
        {"next-id twice", "next-id 50", "next-id 50\nnext-id 60"},
        {"negative next-id", "next-id 50", "next-id -18446744073709551566"},
        {"generation 2^64-1", "device 6431 1 7", "device 6431 1 18446744073709551615"},
        {"generation 2^63", "device 6431 1 7", "device 6431 1 9223372036854775808"},
        {"presence 2", "device 6431 1 7", "device 6431 2 7"},
        {"device name twice", "device 6432 0 0", "device 6431 0 0"},
        {"application name twice on a device", "\nend", "\napp 13 6132 0 " + hash + " 20000 5 5 " + hash +
                                                            " 20000 5 5\nend"},
        {"application id twice", "app 12 6132", "app 11 6132"},
        {"application id 0", "app 12 6132", "app 0 6132"},
        {"container name twice", "container 22 6332", "container 22 6331"},
        {"container id twice", "container 22 6332", "container 21 6332"},
        {"container id 0", "container 22 6332", "container 0 6332"},
        {"store id twice", "next-id 50", "store-id 00112233445566778899aabbccddeeff\nnext-id 50"},
        {"store id too short", "store-id 00112233445566778899aabbccddeeff", "store-id 00112233"},
    };
    StoreData data;
    ASSERT_TRUE(Store::parse(damageBase(), data));
    EXPECT_EQ(Store::serialize(data), damageBase());
    for (const auto &e : damaged)
        EXPECT_FALSE(Store::parse(edited(e), data)) << e.what;

    const std::vector<StoreEdit> edges = {
        {"fewest iterations", "20000 10 9", "1000 10 9"},
        {"most iterations", "20000 10 9", "1000000 10 9"},
        {"retry count 255", "20000 3 3", "20000 255 0"},
        {"last next-id", "next-id 50", "next-id 9223372036854775807"},
        {"last generation", "device 6431 1 7", "device 6431 1 9223372036854775807"},
        {"a name of one device's application on another", "app 12 6132", "app 12 6131"},
        {"no store id (an older store)", "store-id 00112233445566778899aabbccddeeff\n", ""},
    };
    for (const auto &e : edges) {
        ASSERT_TRUE(Store::parse(edited(e), data)) << e.what;
        EXPECT_EQ(Store::serialize(data), edited(e)) << e.what;
    }

    // Read from the store folder, a damaged store is refused with its message, and no
    // change is made to it.
    const std::string dir = tokentest::makeStore();
    ASSERT_TRUE(Store::makeDirectory());
    for (const auto &e : {damaged[0], damaged[12], damaged[19], damaged[24]}) {
        SCOPED_TRACE(e.what);
        FILE *f = fopen((dir + "/store.db").c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs(edited(e).c_str(), f);
        fclose(f);
        std::string problem;
        EXPECT_EQ(Store::read(data, &problem), SAR_READFILEERR);
        EXPECT_EQ(problem, "the store file " + dir + "/store.db is damaged");
        StoreTransaction txn;
        EXPECT_EQ(txn.status(), SAR_READFILEERR);
        EXPECT_EQ(txn.commit(), SAR_READFILEERR);
        EXPECT_EQ(tokentest::readFile(dir + "/store.db"), edited(e));
    }
    tokentest::removeTree(dir);
}

// A store gets its identity when it is created, keeps it through every change, and a store
// made anew at the same place gets another one. A store written before stores had an
// identity is not given one: handles opened on it stay good.
TEST(Store, AStoreGetsItsIdentityWhenItIsCreated)
{
    const std::string dir = tokentest::makeStore();
    std::string first;
    {
        StoreTransaction txn;
        ASSERT_EQ(txn.status(), SAR_OK);
        first = txn.data().storeId;
        EXPECT_EQ(first.size(), 16u);
        ASSERT_EQ(txn.commit(), SAR_OK);
    }
    {
        StoreTransaction txn;
        ASSERT_EQ(txn.status(), SAR_OK);
        EXPECT_EQ(txn.data().storeId, first);
        txn.data().nextId = 7;
        ASSERT_EQ(txn.commit(), SAR_OK);
    }
    StoreData data;
    ASSERT_EQ(Store::read(data), SAR_OK);
    EXPECT_EQ(data.storeId, first);
    ASSERT_EQ(unlink((dir + "/store.db").c_str()), 0);
    {
        StoreTransaction txn;
        ASSERT_EQ(txn.status(), SAR_OK);
        EXPECT_EQ(txn.data().storeId.size(), 16u);
        EXPECT_NE(txn.data().storeId, first);
    }
    FILE *f = fopen((dir + "/store.db").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("mvukey-store 1\nnext-id 1\nca - -\nend\n", f);
    fclose(f);
    {
        StoreTransaction txn;
        ASSERT_EQ(txn.status(), SAR_OK);
        EXPECT_EQ(txn.data().storeId, "");
        ASSERT_EQ(txn.commit(), SAR_OK);
    }
    EXPECT_EQ(tokentest::readFile(dir + "/store.db"), "mvukey-store 1\nnext-id 1\nca - -\nend\n");
    tokentest::removeTree(dir);
}

TEST(Store, DamagedFileReadsAsAnErrorAndAMissingOneAsEmpty)
{
    const std::string dir = tokentest::makeStore();
    StoreData data;
    EXPECT_EQ(Store::read(data), SAR_OK);
    EXPECT_TRUE(data.devices.empty());
    ASSERT_TRUE(Store::makeDirectory());
    FILE *f = fopen((dir + "/store.db").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("mvukey-store 1\ndevice", f);
    fclose(f);
    EXPECT_EQ(Store::read(data), SAR_READFILEERR);
    StoreTransaction txn;
    EXPECT_EQ(txn.status(), SAR_READFILEERR);
    EXPECT_EQ(txn.commit(), SAR_READFILEERR); // a damaged store is never overwritten
    tokentest::removeTree(dir);
}

// A store that somebody else could change is refused before anything is read or written,
// with a problem that names the folder or file; the folder keeps its mode.
struct RefusedStore {
    const char *name;
    bool needsRoot;                                   // makes files of another user
    std::function<void(const std::string &)> damage;  // applied to a provisioned store
    const char *problem;                              // part of the problem text
};

// The bytes of the regular files of a refused store (a FIFO is not opened).
std::string storeBytes(const std::string &dir)
{
    std::string bytes;
    for (const std::string name : {"/store.db", "/../elsewhere.db"}) {
        struct stat st;
        if (stat((dir + name).c_str(), &st) == 0 && S_ISREG(st.st_mode))
            bytes += name + ":" + tokentest::readFile(dir + name);
    }
    return bytes;
}

void chownToNobody(const std::string &path)
{
    const struct passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    ASSERT_EQ(chown(path.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
}

TEST(Store, RefusesAStoreThatOthersCanChange)
{
    std::vector<RefusedStore> cases = {
        {"folder 0777", false, [](const std::string &dir) { chmod(dir.c_str(), 0777); },
         "is writable by group and others (mode 0777)"},
        {"folder 1777", false, [](const std::string &dir) { chmod(dir.c_str(), 01777); }, "(mode 1777)"},
        {"folder 0770", false, [](const std::string &dir) { chmod(dir.c_str(), 0770); }, "writable by its group"},
        {"store file 0666", false, [](const std::string &dir) { chmod((dir + "/store.db").c_str(), 0666); },
         "store.db is writable by group and others"},
        {"FIFO store file", false,
         [](const std::string &dir) {
             unlink((dir + "/store.db").c_str());
             mkfifo((dir + "/store.db").c_str(), 0600);
         },
         "store.db is not a regular file"},
        {"linked store file", false,
         [](const std::string &dir) {
             rename((dir + "/store.db").c_str(), (dir + "/../elsewhere.db").c_str());
             symlink("../elsewhere.db", (dir + "/store.db").c_str());
         },
         "store.db is a symbolic link"},
        {"folder of another user", true, [](const std::string &dir) { chownToNobody(dir); },
         "belongs to user id"},
        {"store file of another user", true, [](const std::string &dir) { chownToNobody(dir + "/store.db"); },
         "store.db belongs to user id"},
    };
    // The lock is judged as the store file is, by readers as by writers.
    for (const auto &lock : tokentest::badLocks())
        cases.push_back({lock.name, lock.needsRoot,
                         [make = lock.make](const std::string &dir) { ASSERT_TRUE(make(dir + "/store.lock")); },
                         lock.problem});
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && geteuid() != 0) {
            std::cout << "[ SKIPPED  ] " << c.name << ": making files of another user needs root\n";
            continue;
        }
        const std::string dir = tokentest::makeStore();
        {
            StoreTransaction txn;
            ASSERT_EQ(txn.status(), SAR_OK);
            txn.data() = sampleStore(1, 10);
            ASSERT_EQ(txn.commit(), SAR_OK);
        }
        c.damage(dir);
        struct stat before;
        ASSERT_EQ(stat(dir.c_str(), &before), 0);
        const std::string bytes = storeBytes(dir);

        StoreData data;
        std::string problem;
        EXPECT_EQ(Store::read(data, &problem), SAR_FILEERR);
        EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
        EXPECT_NE(problem.find(dir), std::string::npos) << problem;
        EXPECT_TRUE(data.devices.empty());
        {
            StoreTransaction txn;
            EXPECT_EQ(txn.status(), SAR_FILEERR);
            EXPECT_NE(txn.problem().find(c.problem), std::string::npos) << txn.problem();
            txn.data().devices.clear();
            EXPECT_NE(txn.commit(), SAR_OK);
        }
        if (std::string(c.problem).find("store.") == std::string::npos) { // a refused folder
            EXPECT_FALSE(Store::makeDirectory());
        }
        struct stat after;
        ASSERT_EQ(stat(dir.c_str(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_uid, before.st_uid);
        EXPECT_EQ(storeBytes(dir), bytes);
        EXPECT_NE(stat((dir + "/store.db.tmp").c_str(), &after), 0) << "nothing was written";
        tokentest::removeTree(dir);
    }
}

// The folders the store makes are 0700 and its files 0600 whatever the umask, so that a
// later change can still open them.
TEST(Store, FilesAndFoldersArePrivateWhateverTheUmask)
{
    for (const mode_t mask : {0277, 0777, 0}) {
        SCOPED_TRACE(mask);
        const std::string dir = tokentest::makeStore() + "/one/two";
        setenv("MVUKEY_STORE", dir.c_str(), 1);
        const mode_t old = umask(mask);
        for (const char *label : {"first", "second"}) {
            StoreTransaction txn;
            ASSERT_EQ(txn.status(), SAR_OK) << txn.problem();
            txn.data() = sampleStore(1, 10);
            txn.data().devices[0].label = label;
            EXPECT_EQ(txn.commit(), SAR_OK) << txn.problem();
        }
        umask(old);
        struct stat st;
        for (const std::string &folder : {dir, dir + "/..", dir + "/../.."}) {
            ASSERT_EQ(stat(folder.c_str(), &st), 0) << folder;
            EXPECT_EQ(st.st_mode & 07777, 0700u) << folder;
        }
        for (const char *file : {"/store.lock", "/store.db"}) {
            ASSERT_EQ(stat((dir + file).c_str(), &st), 0) << file;
            EXPECT_EQ(st.st_mode & 07777, 0600u) << file;
        }
        StoreData data;
        ASSERT_EQ(Store::read(data), SAR_OK);
        EXPECT_EQ(data.devices[0].label, "second");
        tokentest::removeTree(dir);
    }
}

// An existing folder that only its owner can write is used as it is: its mode stays.
TEST(Store, UsesAnOwnFolderWithoutChangingItsMode)
{
    const std::string dir = tokentest::makeStore();
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    StoreTransaction txn;
    ASSERT_EQ(txn.status(), SAR_OK) << txn.problem();
    txn.data() = sampleStore(1, 10);
    ASSERT_EQ(txn.commit(), SAR_OK);
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    ASSERT_EQ(stat((dir + "/store.db").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    tokentest::removeTree(dir);
}

// The temporary file is made afresh: a link planted under its name is removed, not
// followed, and the file it points to stays as it was.
TEST(Store, APlantedTemporaryLinkIsNotFollowed)
{
    const std::string dir = tokentest::makeStore();
    ASSERT_TRUE(Store::makeDirectory());
    const std::string victim = dir + "/../victim";
    {
        FILE *f = fopen(victim.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs("the caller's own file\n", f);
        fclose(f);
    }
    ASSERT_EQ(symlink(victim.c_str(), (dir + "/store.db.tmp").c_str()), 0);
    StoreTransaction txn;
    ASSERT_EQ(txn.status(), SAR_OK);
    txn.data() = sampleStore(1, 10);
    ASSERT_EQ(txn.commit(), SAR_OK) << txn.problem();
    EXPECT_EQ(tokentest::readFile(victim), "the caller's own file\n");
    StoreData back;
    ASSERT_EQ(Store::read(back), SAR_OK);
    EXPECT_EQ(Store::serialize(back), Store::serialize(txn.data()));
    struct stat st;
    ASSERT_EQ(lstat((dir + "/store.db").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    tokentest::removeTree(dir);
}

// OpenSSL's allocations, failing from the moment g_noMemory is set.
bool g_noMemory = false;
void *opensslMalloc(size_t n, const char *, int) { return g_noMemory ? nullptr : malloc(n); }
void *opensslRealloc(void *p, size_t n, const char *, int) { return g_noMemory ? nullptr : realloc(p, n); }
void opensslFree(void *p, const char *, int) { free(p); }

// A PIN whose hash cannot be made for want of memory is no wrong PIN: the check ends in
// std::bad_alloc (SAR_MEMORYERR from the library), never in "incorrect".
TEST(Store, APinCheckWithoutMemoryIsNoWrongPin)
{
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (!CRYPTO_set_mem_functions(opensslMalloc, opensslRealloc, opensslFree))
            _exit(3); // OpenSSL allocated already in this process
        PinRecord record;
        if (!setPin(record, "123456", 3) || !pinMatches(record, "123456"))
            _exit(4);
        g_noMemory = true;
        try {
            pinMatches(record, "123456");
            _exit(1);
        } catch (const std::bad_alloc &) {
            _exit(0);
        }
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st)) << "the child ended by signal " << WTERMSIG(st);
    if (WEXITSTATUS(st) == 3)
        GTEST_SKIP() << "OpenSSL's allocator cannot be replaced in this process";
    EXPECT_EQ(WEXITSTATUS(st), 0) << "1: the right PIN was answered without memory; 4: no PIN could be set";
}

// Without HOME the default store lies in the user's home of the password database.
TEST(Store, WithoutHomeTheDefaultStoreIsInTheUsersHome)
{
    const struct passwd *pw = getpwuid(geteuid());
    ASSERT_NE(pw, nullptr);
    const std::string saved[] = {tokentest::envOr("MVUKEY_STORE", ""), tokentest::envOr("XDG_DATA_HOME", ""),
                                 tokentest::envOr("HOME", "")};
    unsetenv("MVUKEY_STORE");
    unsetenv("XDG_DATA_HOME");
    unsetenv("HOME");
    EXPECT_EQ(Store::directory(), std::string(pw->pw_dir) + "/.local/share/mvukey");
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(Store::directory(), "/home/someone/.local/share/mvukey");
    const char *names[] = {"MVUKEY_STORE", "XDG_DATA_HOME", "HOME"};
    for (int i = 0; i < 3; ++i) {
        if (saved[i].empty())
            unsetenv(names[i]);
        else
            setenv(names[i], saved[i].c_str(), 1);
    }
}

} // namespace
