// The stand-in's device, application, PIN, container and certificate calls, bound by name
// as the program binds them, over a store provisioned with the mvtoken tool.

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstring>
#include <functional>

#include <openssl/x509.h>

#include "keys.h"
#include "ossl_ptr.h"
#include "store.h"
#include "token_fixture.h"

using namespace tokentest;

namespace {

class SkfCalls : public ::testing::Test {
protected:
    std::string store;

    void SetUp() override
    {
        ASSERT_NE(standin().handle, nullptr) << dlerror();
        store = makeStore();
    }
    void TearDown() override { removeTree(store); }

    void run(const std::vector<std::string> &args)
    {
        Result r = runMvtoken(args);
        ASSERT_EQ(r.status, 0) << r.output;
    }

    // dev1 (inserted) / app1 (admin 8 retries, user 3) / sm2c (SM2, signature certificate)
    // and rsac (RSA, encryption certificate).
    void provision()
    {
        run({"init-device", "dev1", "--label", "Key One", "--serial", "SN-0001", "--manufacturer", "Mirvale Labs"});
        run({"insert", "dev1"});
        run({"create-app", "dev1", "app1", "--admin-pin", "admin-pin-1", "--user-pin", "user-pin-1",
             "--admin-retries", "8", "--user-retries", "3"});
        run({"create-container", "dev1", "app1", "sm2c", "--key", "sm2"});
        run({"create-container", "dev1", "app1", "rsac", "--key", "rsa"});
        run({"issue-cert", "dev1", "app1", "sm2c", "--sign", "--subject", "/C=CN/O=Test/CN=Signer"});
        run({"issue-cert", "dev1", "app1", "rsac", "--enc", "--subject", "/C=CN/O=Test/CN=Encrypter"});
    }

    DEVHANDLE connect(const char *name)
    {
        DEVHANDLE h = nullptr;
        EXPECT_EQ(SKF(SKF_ConnectDev)(const_cast<char *>(name), &h), SAR_OK);
        return h;
    }

    HAPPLICATION openApp(DEVHANDLE hDev, const char *name)
    {
        HAPPLICATION h = nullptr;
        EXPECT_EQ(SKF(SKF_OpenApplication)(hDev, const_cast<char *>(name), &h), SAR_OK);
        return h;
    }

    HCONTAINER openContainer(HAPPLICATION hApp, const char *name)
    {
        HCONTAINER h = nullptr;
        EXPECT_EQ(SKF(SKF_OpenContainer)(hApp, const_cast<char *>(name), &h), SAR_OK);
        return h;
    }

    ULONG verify(HAPPLICATION hApp, ULONG type, const char *pin, ULONG *retries)
    {
        return SKF(SKF_VerifyPIN)(hApp, type, const_cast<char *>(pin), retries);
    }
};

TEST_F(SkfCalls, EnumeratesAndConnectsOnlyPresentDevices)
{
    for (const char *d : {"dev-a", "dev-b", "dev-c"})
        run({"init-device", d});
    run({"insert", "dev-c"});
    run({"insert", "dev-a"});

    char list[64];
    ULONG size = sizeof list;
    ASSERT_EQ(SKF(SKF_EnumDev)(TRUE, list, &size), SAR_OK);
    EXPECT_EQ(splitNames(list, size), (std::vector<std::string>{"dev-a", "dev-c"}));
    EXPECT_EQ(size, 13u); // "dev-a\0dev-c\0\0"
    size = sizeof list;
    ASSERT_EQ(SKF(SKF_EnumDev)(FALSE, list, &size), SAR_OK);
    EXPECT_EQ(splitNames(list, size), (std::vector<std::string>{"dev-a", "dev-b", "dev-c"}));

    // Size query, then a buffer one byte short: nothing written.
    size = 0;
    ASSERT_EQ(SKF(SKF_EnumDev)(TRUE, nullptr, &size), SAR_OK);
    EXPECT_EQ(size, 13u);
    memset(list, 'x', sizeof list);
    size = 12;
    EXPECT_EQ(SKF(SKF_EnumDev)(TRUE, list, &size), SAR_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 13u);
    EXPECT_EQ(list[0], 'x');

    DEVHANDLE h = reinterpret_cast<DEVHANDLE>(0x1);
    EXPECT_EQ(SKF(SKF_ConnectDev)(const_cast<char *>("dev-b"), &h), SAR_DEVICE_REMOVED);
    EXPECT_EQ(h, reinterpret_cast<DEVHANDLE>(0x1)); // no handle stored on failure
    EXPECT_EQ(SKF(SKF_ConnectDev)(const_cast<char *>("no-such"), &h), SAR_DEVICE_REMOVED);
    EXPECT_NE(connect("dev-a"), nullptr);
}

TEST_F(SkfCalls, DeviceInformationAndLabel)
{
    provision();
    DEVHANDLE h = connect("dev1");
    DEVINFO info;
    memset(&info, 0xAA, sizeof info);
    ASSERT_EQ(SKF(SKF_GetDevInfo)(h, &info), SAR_OK);
    EXPECT_STREQ(info.Label, "Key One");
    EXPECT_STREQ(info.SerialNumber, "SN-0001");
    EXPECT_STREQ(info.Manufacturer, "Mirvale Labs");

    ASSERT_EQ(SKF(SKF_SetLabel)(h, const_cast<char *>("Relabelled")), SAR_OK);
    ASSERT_EQ(SKF(SKF_GetDevInfo)(h, &info), SAR_OK);
    EXPECT_STREQ(info.Label, "Relabelled");
    // A label fills at most the 32 bytes of its field.
    EXPECT_EQ(SKF(SKF_SetLabel)(h, const_cast<char *>("123456789012345678901234567890123")), SAR_NAMELENERR);
    ASSERT_EQ(SKF(SKF_SetLabel)(h, const_cast<char *>("12345678901234567890123456789012")), SAR_OK);
    ASSERT_EQ(SKF(SKF_GetDevInfo)(h, &info), SAR_OK);
    EXPECT_EQ(std::string(info.Label, sizeof info.Label), "12345678901234567890123456789012");
}

TEST_F(SkfCalls, HandlesOfARemovedDeviceStayStale)
{
    provision();
    DEVHANDLE hDev = connect("dev1");
    HAPPLICATION hApp = openApp(hDev, "app1");
    HCONTAINER hCon = openContainer(hApp, "sm2c");
    run({"remove", "dev1"});
    DEVINFO info;
    ULONG retries = 0, type = 0;
    EXPECT_EQ(SKF(SKF_GetDevInfo)(hDev, &info), SAR_DEVICE_REMOVED);
    EXPECT_EQ(verify(hApp, USER_TYPE, "user-pin-1", &retries), SAR_DEVICE_REMOVED);
    EXPECT_EQ(SKF(SKF_GetContainerType)(hCon, &type), SAR_DEVICE_REMOVED);
    run({"insert", "dev1"});
    EXPECT_EQ(SKF(SKF_GetDevInfo)(hDev, &info), SAR_DEVICE_REMOVED); // an older insertion
    EXPECT_EQ(SKF(SKF_GetDevInfo)(connect("dev1"), &info), SAR_OK);
}

// Signs 20 bytes with the RSA container's signature key.
ULONG rsaSign(HCONTAINER hCon)
{
    BYTE data[20] = {1, 2, 3};
    BYTE sig[128];
    ULONG len = sizeof sig;
    return SKF(SKF_RSASignData)(hCon, data, sizeof data, sig, &len);
}

// A token loses its log-in when it is pulled out: after a removal and an insertion made by
// another process, fresh handles of the same application need the PIN again.
TEST_F(SkfCalls, RemovingTheDeviceEndsTheLogIn)
{
    provision();
    ULONG retries = 0;
    HAPPLICATION hApp = openApp(connect("dev1"), "app1");
    ASSERT_EQ(verify(hApp, USER_TYPE, "user-pin-1", &retries), SAR_OK);
    ASSERT_EQ(rsaSign(openContainer(hApp, "rsac")), SAR_OK);

    run({"remove", "dev1"});
    run({"insert", "dev1"});
    hApp = openApp(connect("dev1"), "app1");
    HCONTAINER hCon = openContainer(hApp, "rsac");
    EXPECT_EQ(rsaSign(hCon), SAR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(verify(hApp, USER_TYPE, "user-pin-1", &retries), SAR_OK);
    EXPECT_EQ(rsaSign(hCon), SAR_OK);
}

// Handles and log-ins belong to one store: after the store is deleted and provisioned anew
// at the same place (the same device name, ids that start again from 1), nothing held in
// the process reaches the new store, and the new application's PIN is its own to give.
TEST_F(SkfCalls, HandlesAndLogInsOfADeletedStoreReachNoNewOne)
{
    provision();
    ULONG retries = 0;
    DEVHANDLE hDev = connect("dev1");
    HAPPLICATION hApp = openApp(hDev, "app1");
    HCONTAINER hCon = openContainer(hApp, "rsac");
    ASSERT_EQ(verify(hApp, USER_TYPE, "user-pin-1", &retries), SAR_OK);
    ASSERT_EQ(rsaSign(hCon), SAR_OK);

    removeTree(store);
    run({"init-device", "dev1"});
    run({"insert", "dev1"});
    run({"create-app", "dev1", "appB", "--admin-pin", "12345678", "--user-pin", "999999", "--user-retries", "5"});
    run({"create-container", "dev1", "appB", "R", "--key", "rsa"});
    run({"create-container", "dev1", "appB", "R2", "--key", "rsa"}); // the id of the old rsac

    DEVINFO info;
    EXPECT_EQ(SKF(SKF_GetDevInfo)(hDev, &info), SAR_DEVICE_REMOVED);
    EXPECT_EQ(verify(hApp, USER_TYPE, "wrong", &retries), SAR_DEVICE_REMOVED);
    EXPECT_EQ(verify(hApp, USER_TYPE, "999999", &retries), SAR_DEVICE_REMOVED);
    EXPECT_EQ(rsaSign(hCon), SAR_DEVICE_REMOVED);
    mvtoken::StoreData data;
    ASSERT_EQ(mvtoken::Store::read(data), SAR_OK);
    EXPECT_EQ(data.findDevice("dev1")->findApplication("appB")->userPin.retriesLeft, 5u);

    HAPPLICATION hB = openApp(connect("dev1"), "appB");
    for (const char *name : {"R", "R2"})
        EXPECT_EQ(rsaSign(openContainer(hB, name)), SAR_USER_NOT_LOGGED_IN) << name;
    ASSERT_EQ(verify(hB, USER_TYPE, "999999", &retries), SAR_OK);
    EXPECT_EQ(rsaSign(openContainer(hB, "R2")), SAR_OK);
}

// A damaged store is refused before any PIN is hashed: a PBKDF2 count out of range
// neither hangs the check nor fails the right PIN; no retry is spent.
TEST_F(SkfCalls, APinCheckOnADamagedStoreSpendsNoRetry)
{
    provision();
    HAPPLICATION hApp = openApp(connect("dev1"), "app1");
    const std::string path = store + "/store.db";
    const std::string good = readFile(path);
    for (const char *count : {"2147483648", "4294967295"}) {
        SCOPED_TRACE(count);
        std::string text = good;
        const size_t at = text.find(" 20000 3 3");
        ASSERT_NE(at, std::string::npos);
        text.replace(at + 1, 5, count);
        FILE *f = fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs(text.c_str(), f);
        fclose(f);
        ULONG retries = 99;
        EXPECT_EQ(verify(hApp, USER_TYPE, "user-pin-1", &retries), SAR_READFILEERR);
        EXPECT_EQ(readFile(path), text);
        Result list = runMvtoken({"list"});
        EXPECT_NE(list.status, 0);
        EXPECT_NE(list.output.find("the store file " + path + " is damaged"), std::string::npos) << list.output;
    }
}

TEST_F(SkfCalls, UnknownAndClosedHandlesAreRefused)
{
    provision();
    HAPPLICATION hApp = openApp(connect("dev1"), "app1");
    HCONTAINER hCon = openContainer(hApp, "sm2c");
    ASSERT_EQ(SKF(SKF_CloseContainer)(hCon), SAR_OK);
    ASSERT_EQ(SKF(SKF_CloseApplication)(hApp), SAR_OK);

    for (void *bad : {static_cast<void *>(nullptr), reinterpret_cast<void *>(0x1234), hApp, hCon}) {
        SCOPED_TRACE(reinterpret_cast<std::uintptr_t>(bad));
        DEVINFO info;
        char list[256];
        BYTE cert[2048];
        ULONG size = sizeof list, retries = 0, type = 0, len = sizeof cert;
        HANDLE out = nullptr;
        EXPECT_EQ(SKF(SKF_GetDevInfo)(bad, &info), SAR_INVALIDHANDLEERR);
        EXPECT_EQ(SKF(SKF_EnumApplication)(bad, list, &size), SAR_INVALIDHANDLEERR);
        EXPECT_EQ(SKF(SKF_OpenApplication)(bad, const_cast<char *>("app1"), &out), SAR_INVALIDHANDLEERR);
        EXPECT_EQ(SKF(SKF_EnumContainer)(bad, list, &size), SAR_INVALIDHANDLEERR);
        EXPECT_EQ(SKF(SKF_OpenContainer)(bad, const_cast<char *>("sm2c"), &out), SAR_INVALIDHANDLEERR);
        EXPECT_EQ(verify(bad, USER_TYPE, "user-pin-1", &retries), SAR_INVALIDHANDLEERR);
        EXPECT_EQ(SKF(SKF_GetContainerType)(bad, &type), SAR_INVALIDHANDLEERR);
        EXPECT_EQ(SKF(SKF_ExportCertificate)(bad, TRUE, cert, &len), SAR_INVALIDHANDLEERR);
        EXPECT_EQ(SKF(SKF_CloseContainer)(bad), SAR_INVALIDHANDLEERR);
        EXPECT_EQ(SKF(SKF_CloseApplication)(bad), SAR_INVALIDHANDLEERR);
        EXPECT_EQ(out, nullptr);
    }
}

// A store whose lock others could change is refused by the calls that only read, as by
// those that change it, and by the tool's listing; nothing is handed out.
TEST_F(SkfCalls, ABadLockRefusesReadsAsWrites)
{
    for (const auto &lock : badLocks()) {
        SCOPED_TRACE(lock.name);
        if (lock.needsRoot && geteuid() != 0) {
            std::cout << "[ SKIPPED  ] " << lock.name << ": needs root\n";
            continue;
        }
        removeTree(store);
        store = makeStore();
        provision();
        DEVHANDLE hDev = connect("dev1");
        ASSERT_TRUE(lock.make(store + "/store.lock"));
        const std::string before = readFile(store + "/store.db");

        char list[256];
        ULONG size = sizeof list;
        DEVHANDLE hOther = nullptr;
        HAPPLICATION hApp = nullptr;
        EXPECT_EQ(SKF(SKF_EnumDev)(TRUE, list, &size), SAR_FILEERR);
        EXPECT_EQ(SKF(SKF_ConnectDev)(const_cast<char *>("dev1"), &hOther), SAR_FILEERR);
        size = sizeof list;
        EXPECT_EQ(SKF(SKF_EnumApplication)(hDev, list, &size), SAR_FILEERR);
        EXPECT_EQ(SKF(SKF_OpenApplication)(hDev, const_cast<char *>("app1"), &hApp), SAR_FILEERR);
        EXPECT_EQ(SKF(SKF_SetLabel)(hDev, const_cast<char *>("changed")), SAR_FILEERR);
        EXPECT_EQ(hOther, nullptr);
        EXPECT_EQ(hApp, nullptr);
        for (const std::vector<std::string> &args : {std::vector<std::string>{"list"}, {"remove", "dev1"}}) {
            const Result r = runMvtoken(args);
            EXPECT_NE(r.status, 0) << args[0];
            EXPECT_NE(r.output.find(lock.problem), std::string::npos) << args[0] << ": " << r.output;
        }
        EXPECT_EQ(readFile(store + "/store.db"), before);
    }
}

TEST_F(SkfCalls, WrongPinsLockAfterTheRetryCountAndTheCounterPersists)
{
    provision();
    HAPPLICATION hApp = openApp(connect("dev1"), "app1");
    ULONG retries = 99;
    // A right PIN after a wrong one gives the retries back.
    EXPECT_EQ(verify(hApp, USER_TYPE, "wrong", &retries), SAR_PIN_INCORRECT);
    EXPECT_EQ(retries, 2u);
    EXPECT_EQ(verify(hApp, USER_TYPE, "user-pin-1", &retries), SAR_OK);

    const ULONG expected[] = {2, 1, 0};
    for (ULONG left : expected) {
        EXPECT_EQ(verify(hApp, USER_TYPE, "wrong", &retries), left ? SAR_PIN_INCORRECT : SAR_PIN_LOCKED);
        EXPECT_EQ(retries, left);
    }
    // Locked: the right PIN is refused as well, and the lock is on disk for every process.
    EXPECT_EQ(verify(hApp, USER_TYPE, "user-pin-1", &retries), SAR_PIN_LOCKED);
    EXPECT_EQ(retries, 0u);
    Result list = runMvtoken({"list"});
    EXPECT_NE(list.output.find("user-retries=0/3"), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("admin-retries=8/8"), std::string::npos) << list.output;

    // The administrator PIN unblocks it; a wrong administrator PIN costs its own retry.
    ULONG adminLeft = 0;
    EXPECT_EQ(SKF(SKF_UnblockPIN)(hApp, const_cast<char *>("bad-admin"), const_cast<char *>("new-user"), &adminLeft),
              SAR_PIN_INCORRECT);
    EXPECT_EQ(adminLeft, 7u);
    EXPECT_EQ(SKF(SKF_UnblockPIN)(hApp, const_cast<char *>("admin-pin-1"), const_cast<char *>("new-user"), &adminLeft),
              SAR_OK);
    EXPECT_EQ(verify(hApp, USER_TYPE, "user-pin-1", &retries), SAR_PIN_INCORRECT);
    EXPECT_EQ(verify(hApp, USER_TYPE, "new-user", &retries), SAR_OK);
    EXPECT_EQ(verify(hApp, ADMIN_TYPE, "admin-pin-1", &retries), SAR_OK);
    EXPECT_EQ(retries, 8u);
}

// A store that cannot be written spends no retry, and the count reported with the write
// error is the one the store still holds (not a 0 that reads as "locked").
TEST_F(SkfCalls, PinCheckOnAStoreThatCannotBeWrittenReportsTheRetriesLeft)
{
    provision();
    HAPPLICATION hApp = openApp(connect("dev1"), "app1");
    ULONG retries = 99;
    ASSERT_EQ(verify(hApp, USER_TYPE, "wrong", &retries), SAR_PIN_INCORRECT);
    ASSERT_EQ(retries, 2u);
    // The store is replaced through a temporary file; a directory in its place fails
    // every write, whoever runs the test.
    const std::string blocker = store + "/store.db.tmp";
    ASSERT_EQ(mkdir(blocker.c_str(), 0700), 0);
    const std::string before = readFile(store + "/store.db");
    for (const char *pin : {"wrong", "user-pin-1"}) {
        retries = 99;
        EXPECT_EQ(verify(hApp, USER_TYPE, pin, &retries), SAR_WRITEFILEERR) << pin;
        EXPECT_EQ(retries, 2u) << pin;
    }
    ULONG adminLeft = 99;
    EXPECT_EQ(SKF(SKF_UnblockPIN)(hApp, const_cast<char *>("bad-admin"), const_cast<char *>("new-user"), &adminLeft),
              SAR_WRITEFILEERR);
    EXPECT_EQ(adminLeft, 8u);
    EXPECT_EQ(readFile(store + "/store.db"), before);
    ASSERT_EQ(rmdir(blocker.c_str()), 0);
    EXPECT_EQ(verify(hApp, USER_TYPE, "user-pin-1", &retries), SAR_OK);
    EXPECT_EQ(retries, 3u);
}

TEST_F(SkfCalls, ChangePinChecksTheOldPinFirst)
{
    provision();
    HAPPLICATION hApp = openApp(connect("dev1"), "app1");
    ULONG retries = 0;
    const std::string longPin(64, 'p');
    // A new PIN that no buffer holds is refused before the old one is tried.
    EXPECT_EQ(SKF(SKF_ChangePIN)(hApp, USER_TYPE, const_cast<char *>("user-pin-1"), const_cast<char *>(longPin.c_str()),
                                 &retries),
              SAR_PIN_LEN_RANGE);
    EXPECT_EQ(SKF(SKF_ChangePIN)(hApp, USER_TYPE, const_cast<char *>("nope"), const_cast<char *>("changed"), &retries),
              SAR_PIN_INCORRECT);
    EXPECT_EQ(retries, 2u);
    const std::string pin63(63, 'q');
    ASSERT_EQ(SKF(SKF_ChangePIN)(hApp, USER_TYPE, const_cast<char *>("user-pin-1"), const_cast<char *>(pin63.c_str()),
                                 &retries),
              SAR_OK);
    EXPECT_EQ(retries, 3u);
    EXPECT_EQ(verify(hApp, USER_TYPE, "user-pin-1", &retries), SAR_PIN_INCORRECT);
    EXPECT_EQ(verify(hApp, USER_TYPE, pin63.c_str(), &retries), SAR_OK);
}

TEST_F(SkfCalls, StoreIsPrivateAndHoldsNoPinInClear)
{
    provision();
    HAPPLICATION hApp = openApp(connect("dev1"), "app1");
    ULONG retries = 0;
    ASSERT_EQ(SKF(SKF_ChangePIN)(hApp, ADMIN_TYPE, const_cast<char *>("admin-pin-1"),
                                 const_cast<char *>("Secret-Admin-77"), &retries),
              SAR_OK);
    struct stat st;
    ASSERT_EQ(stat(store.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    for (const char *f : {"/store.db", "/store.lock"}) {
        ASSERT_EQ(stat((store + f).c_str(), &st), 0) << f;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << f;
    }
    const std::string bytes = readFile(store + "/store.db");
    auto hex = [](const std::string &s) {
        std::string h;
        char b[3];
        for (unsigned char c : s) {
            snprintf(b, sizeof b, "%02x", c);
            h += b;
        }
        return h;
    };
    for (const std::string pin : {"user-pin-1", "admin-pin-1", "Secret-Admin-77"}) {
        EXPECT_EQ(bytes.find(pin), std::string::npos) << pin;
        EXPECT_EQ(bytes.find(hex(pin)), std::string::npos) << pin;
    }
}

TEST_F(SkfCalls, ApplicationsAreCreatedDeletedAndReachedById)
{
    provision();
    DEVHANDLE hDev = connect("dev1");
    HAPPLICATION hNew = nullptr;
    ASSERT_EQ(SKF(SKF_CreateApplication)(hDev, const_cast<char *>("app2"), const_cast<char *>("a2-admin"), 5,
                                         const_cast<char *>("a2-user"), 4, SECURE_ADM_ACCOUNT, &hNew),
              SAR_OK);
    ASSERT_NE(hNew, nullptr);
    HAPPLICATION hDup = nullptr;
    EXPECT_EQ(SKF(SKF_CreateApplication)(hDev, const_cast<char *>("app2"), const_cast<char *>("x"), 5,
                                         const_cast<char *>("y"), 4, SECURE_ADM_ACCOUNT, &hDup),
              SAR_APPLICATION_EXISTS);
    EXPECT_EQ(SKF(SKF_CreateApplication)(hDev, const_cast<char *>("app3"), const_cast<char *>("x"), 0,
                                         const_cast<char *>("y"), 4, SECURE_ADM_ACCOUNT, &hDup),
              SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF(SKF_CreateApplication)(hDev, const_cast<char *>("app3"), const_cast<char *>("x"), ~0ULL,
                                         const_cast<char *>("y"), 4, SECURE_ADM_ACCOUNT, &hDup),
              SAR_INVALIDPARAMERR);
    EXPECT_EQ(hDup, nullptr);

    char list[128];
    ULONG size = sizeof list;
    ASSERT_EQ(SKF(SKF_EnumApplication)(hDev, list, &size), SAR_OK);
    EXPECT_EQ(splitNames(list, size), (std::vector<std::string>{"app1", "app2"}));
    ULONG retries = 0;
    EXPECT_EQ(verify(hNew, USER_TYPE, "a2-user", &retries), SAR_OK);
    EXPECT_EQ(retries, 4u);

    ASSERT_EQ(SKF(SKF_DeleteApplication)(hDev, const_cast<char *>("app2")), SAR_OK);
    EXPECT_EQ(SKF(SKF_DeleteApplication)(hDev, const_cast<char *>("app2")), SAR_APPLICATION_NOT_EXISTS);
    EXPECT_EQ(verify(hNew, USER_TYPE, "a2-user", &retries), SAR_APPLICATION_NOT_EXISTS);
    // A new application of the same name is not reached through the old handle.
    ASSERT_EQ(SKF(SKF_CreateApplication)(hDev, const_cast<char *>("app2"), const_cast<char *>("b-admin"), 5,
                                         const_cast<char *>("b-user"), 4, SECURE_ADM_ACCOUNT, &hDup),
              SAR_OK);
    EXPECT_EQ(verify(hNew, USER_TYPE, "b-user", &retries), SAR_APPLICATION_NOT_EXISTS);
    EXPECT_EQ(verify(hDup, USER_TYPE, "b-user", &retries), SAR_OK);
}

TEST_F(SkfCalls, ContainersExportTheirCertificates)
{
    provision();
    HAPPLICATION hApp = openApp(connect("dev1"), "app1");
    char list[128];
    ULONG size = sizeof list;
    ASSERT_EQ(SKF(SKF_EnumContainer)(hApp, list, &size), SAR_OK);
    EXPECT_EQ(splitNames(list, size), (std::vector<std::string>{"sm2c", "rsac"}));
    HCONTAINER hNone = nullptr;
    EXPECT_EQ(SKF(SKF_OpenContainer)(hApp, const_cast<char *>("nope"), &hNone), SAR_FILE_NOT_EXIST);
    EXPECT_EQ(hNone, nullptr);

    HCONTAINER hSm2 = openContainer(hApp, "sm2c"), hRsa = openContainer(hApp, "rsac");
    ULONG type = 0;
    ASSERT_EQ(SKF(SKF_GetContainerType)(hSm2, &type), SAR_OK);
    EXPECT_EQ(type, 2u);
    ASSERT_EQ(SKF(SKF_GetContainerType)(hRsa, &type), SAR_OK);
    EXPECT_EQ(type, 1u);

    BYTE cert[2048];
    ULONG len = sizeof cert;
    EXPECT_EQ(SKF(SKF_ExportCertificate)(hSm2, FALSE, cert, &len), SAR_CERTNOTFOUNTERR);
    EXPECT_EQ(SKF(SKF_ExportCertificate)(hRsa, TRUE, cert, &len), SAR_CERTNOTFOUNTERR);
    len = 0;
    ASSERT_EQ(SKF(SKF_ExportCertificate)(hSm2, TRUE, nullptr, &len), SAR_OK);
    const ULONG needed = len;
    len = needed - 1;
    EXPECT_EQ(SKF(SKF_ExportCertificate)(hSm2, TRUE, cert, &len), SAR_BUFFER_TOO_SMALL);
    len = sizeof cert;
    ASSERT_EQ(SKF(SKF_ExportCertificate)(hSm2, TRUE, cert, &len), SAR_OK);
    EXPECT_EQ(len, needed);

    // The certificate is for the container's signature key and verifies under the demo CA
    // (SM2 with SM3 and the default signer ID).
    mvtoken::StoreData data;
    ASSERT_EQ(mvtoken::Store::read(data), SAR_OK);
    const mvtoken::ContainerRecord *rec = data.findDevice("dev1")->findApplication("app1")->findContainer("sm2c");
    const unsigned char *p = cert;
    const mvtoken::UniquePtr<X509> x(d2i_X509(nullptr, &p, static_cast<long>(len)));
    ASSERT_NE(x, nullptr);
    const mvtoken::UniquePtr<EVP_PKEY> key = mvtoken::loadKeyPair(*rec, true);
    EXPECT_EQ(X509_check_private_key(x.get(), key.get()), 1);
    p = reinterpret_cast<const unsigned char *>(data.caCertDer.data());
    const mvtoken::UniquePtr<X509> ca(d2i_X509(nullptr, &p, static_cast<long>(data.caCertDer.size())));
    ASSERT_NE(ca, nullptr);
    mvtoken::UniquePtr<ASN1_OCTET_STRING> id(ASN1_OCTET_STRING_new());
    ASN1_OCTET_STRING_set(id.get(), reinterpret_cast<const unsigned char *>("1234567812345678"), 16);
    X509_set0_distinguishing_id(x.get(), id.release());
    EXPECT_EQ(X509_verify(x.get(), X509_get0_pubkey(ca.get())), 1);
}

// No C++ exception leaves the library: a process whose address space is too small for the
// store gets SAR_MEMORYERR from the call, instead of ending in std::terminate. A change
// that runs out of memory after it took the store's lock gives the lock back, so the
// process can make the next change once memory is there again.
TEST_F(SkfCalls, RunningOutOfMemoryIsAResultCode)
{
#ifdef TOKENTEST_ASAN
    GTEST_SKIP() << "AddressSanitizer needs its whole address space";
#endif
    {
        mvtoken::StoreTransaction txn;
        ASSERT_EQ(txn.status(), SAR_OK);
        mvtoken::DeviceRecord d;
        d.name = "big";
        d.present = true;
        d.label.assign(48 << 20, 'L'); // 96 MB of hex in the store file
        txn.data().devices.push_back(d);
        ASSERT_EQ(txn.commit(), SAR_OK);
    }
    auto enumDev = SKF(SKF_EnumDev);
    auto setLabel = SKF(SKF_SetLabel);
    DEVHANDLE dev = nullptr;
    ASSERT_EQ(SKF(SKF_ConnectDev)(const_cast<char *>("big"), &dev), SAR_OK);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        struct rlimit old;
        if (!limitAddressSpace(32 << 20, &old))
            _exit(4);
        char names[64];
        ULONG size = sizeof names;
        if (enumDev(TRUE, names, &size) != SAR_MEMORYERR)
            _exit(1);
        if (setLabel(dev, const_cast<char *>("small")) != SAR_MEMORYERR)
            _exit(5);
        if (setrlimit(RLIMIT_AS, &old) != 0)
            _exit(4);
        alarm(30); // a lock still held would block the next change for good
        _exit(setLabel(dev, const_cast<char *>("small")) == SAR_OK ? 0 : 6);
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st)) << "the child ended by signal " << WTERMSIG(st);
    EXPECT_EQ(WEXITSTATUS(st), 0);
}

// Whatever the memory at hand, a call on a sound store answers SAR_OK or SAR_MEMORYERR,
// never that the store is damaged, and the store stays whole. The limits run from the
// address space the process has already to one in which every call succeeds.
TEST_F(SkfCalls, OutOfMemoryNeverCallsASoundStoreDamaged)
{
#ifdef TOKENTEST_ASAN
    GTEST_SKIP() << "AddressSanitizer needs its whole address space";
#endif
    provision();
    {
        mvtoken::StoreTransaction txn;
        ASSERT_EQ(txn.status(), SAR_OK);
        txn.data().devices[0].manufacturer.assign(6 << 20, 'M'); // 12 MB of hex
        ASSERT_EQ(txn.commit(), SAR_OK);
    }
    const std::string before = readFile(store + "/store.db");
    auto enumDev = SKF(SKF_EnumDev);
    auto connectDev = SKF(SKF_ConnectDev);
    auto getDevInfo = SKF(SKF_GetDevInfo);
    auto setLabel = SKF(SKF_SetLabel);
    DEVHANDLE dev = connect("dev1");
    int outOfMemory = 0;
    for (rlim_t headroom = 0;; headroom += 2 << 20) {
        ASSERT_LT(headroom, rlim_t(1) << 30);
        SCOPED_TRACE(headroom);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (!limitAddressSpace(headroom))
                _exit(99);
            // Exit status: one bit per call that ran out of memory; 100 + the call for any
            // other result.
            int status = 0, bit = 1, call = 0;
            DEVHANDLE other = nullptr;
            DEVINFO info;
            char names[64];
            ULONG size = sizeof names;
            for (const ULONG rc : {enumDev(TRUE, names, &size), connectDev(const_cast<char *>("dev1"), &other),
                                   getDevInfo(dev, &info), setLabel(dev, const_cast<char *>("Key One"))}) {
                if (rc == SAR_MEMORYERR)
                    status |= bit;
                else if (rc != SAR_OK)
                    _exit(100 + call);
                bit <<= 1;
                ++call;
            }
            _exit(status);
        }
        int st = 0;
        ASSERT_EQ(waitpid(pid, &st, 0), pid);
        ASSERT_TRUE(WIFEXITED(st)) << "the child ended by signal " << WTERMSIG(st);
        ASSERT_LT(WEXITSTATUS(st), 16) << "status " << WEXITSTATUS(st) << " (100 + n: call n gave another result)";
        EXPECT_EQ(readFile(store + "/store.db"), before);
        if (WEXITSTATUS(st) == 0)
            break;
        ++outOfMemory;
    }
    EXPECT_GT(outOfMemory, 0);
}

} // namespace
