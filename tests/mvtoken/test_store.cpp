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
    data.nextId = 100;
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
    a.adminPin = PinRecord{"salt", "hash", 20000, 10, 9};
    a.userPin = PinRecord{"s2", "h2", 20000, 3, 0};
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
