// SKF_WaitForDevEvent: insertions and removals made by another process (the mvtoken tool)
// wake a blocked wait at once, while other threads keep calling the library.

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <thread>

#include "token_fixture.h"

using namespace tokentest;
using Clock = std::chrono::steady_clock;

namespace {

std::string g_store;

struct Event {
    ULONG rc = ~0ULL;
    std::string name;
    ULONG code = 0;
};

Event waitOnce()
{
    char name[512];
    memset(name, 0, sizeof name);
    ULONG len = sizeof name, code = 0;
    Event e;
    e.rc = SKF(SKF_WaitForDevEvent)(name, &len, &code);
    e.name.assign(name, strnlen(name, len < sizeof name ? len : sizeof name));
    e.code = code;
    return e;
}

void run(const std::vector<std::string> &args)
{
    Result r = runMvtoken(args);
    ASSERT_EQ(r.status, 0) << r.output;
}

// The library's own periodic re-check is 5 s; a wake well inside that came from the
// store change itself.
constexpr auto kPromptWake = std::chrono::milliseconds(2500);

TEST(SkfEvents, InsertionAndRemovalByAnotherProcessWakeABlockedWait)
{
    run({"init-device", "ev-key"});
    for (int code : {SKF_DEV_EVENT_INSERTED, SKF_DEV_EVENT_REMOVED}) {
        SCOPED_TRACE(code);
        auto waiter = std::async(std::launch::async, waitOnce);
        // The wait stays blocked while nothing changes.
        EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
        const auto start = Clock::now();
        run({code == SKF_DEV_EVENT_INSERTED ? "insert" : "remove", "ev-key"});
        ASSERT_EQ(waiter.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        EXPECT_LT(Clock::now() - start, kPromptWake);
        Event e = waiter.get();
        EXPECT_EQ(e.rc, SAR_OK);
        EXPECT_EQ(e.name, "ev-key");
        EXPECT_EQ(e.code, static_cast<ULONG>(code));
    }
}

TEST(SkfEvents, ChangesBetweenWaitsAreAllReportedInOrder)
{
    run({"init-device", "ev-two"});
    run({"insert", "ev-two"});
    Event e = waitOnce();
    EXPECT_EQ(e.name, "ev-two");
    EXPECT_EQ(e.code, static_cast<ULONG>(SKF_DEV_EVENT_INSERTED));
    // Pulled out and plugged in again before anyone waited: a removal, then an insertion.
    run({"remove", "ev-two"});
    run({"insert", "ev-two"});
    e = waitOnce();
    EXPECT_EQ(e.code, static_cast<ULONG>(SKF_DEV_EVENT_REMOVED));
    // A name buffer too small keeps the event for the next wait.
    char small[4];
    ULONG len = sizeof small, code = 0;
    EXPECT_EQ(SKF(SKF_WaitForDevEvent)(small, &len, &code), SAR_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 7u);
    e = waitOnce();
    EXPECT_EQ(e.name, "ev-two");
    EXPECT_EQ(e.code, static_cast<ULONG>(SKF_DEV_EVENT_INSERTED));
}

TEST(SkfEvents, OtherCallsRunWhileAWaitBlocks)
{
    run({"init-device", "busy-key"});
    run({"insert", "busy-key"});
    run({"create-app", "busy-key", "app", "--admin-pin", "admin", "--user-pin", "user"});
    run({"create-container", "busy-key", "app", "con", "--key", "sm2"});
    run({"issue-cert", "busy-key", "app", "con", "--sign", "--subject", "/CN=Busy"});
    run({"init-device", "late-key"});
    Event first = waitOnce(); // busy-key's insertion
    ASSERT_EQ(first.name, "busy-key");

    auto waiter = std::async(std::launch::async, waitOnce);
    std::atomic<int> failures{0}, calls{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&] {
            DEVHANDLE hDev = nullptr;
            HAPPLICATION hApp = nullptr;
            HCONTAINER hCon = nullptr;
            if (SKF(SKF_ConnectDev)(const_cast<char *>("busy-key"), &hDev) != SAR_OK ||
                SKF(SKF_OpenApplication)(hDev, const_cast<char *>("app"), &hApp) != SAR_OK ||
                SKF(SKF_OpenContainer)(hApp, const_cast<char *>("con"), &hCon) != SAR_OK) {
                ++failures;
                return;
            }
            for (int i = 0; i < 10; ++i) {
                ULONG retries = 0, len = 2048;
                BYTE cert[2048];
                if (SKF(SKF_VerifyPIN)(hApp, USER_TYPE, const_cast<char *>("user"), &retries) != SAR_OK)
                    ++failures;
                if (SKF(SKF_ExportCertificate)(hCon, TRUE, cert, &len) != SAR_OK)
                    ++failures;
                calls += 2;
            }
        });
    }
    for (auto &w : workers)
        w.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(calls.load(), 80);
    // The store changed many times (PIN counters), but no device came or went.
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    run({"insert", "late-key"});
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    Event e = waiter.get();
    EXPECT_EQ(e.name, "late-key");
    EXPECT_EQ(e.code, static_cast<ULONG>(SKF_DEV_EVENT_INSERTED));
}

// A wait that gives up after timeout; the waiting thread is then left behind.
bool waitWithin(std::chrono::seconds timeout, Event &out)
{
    auto promise = std::make_shared<std::promise<Event>>();
    std::future<Event> result = promise->get_future();
    std::thread([promise] { promise->set_value(waitOnce()); }).detach();
    if (result.wait_for(timeout) != std::future_status::ready)
        return false;
    out = result.get();
    return true;
}

// A store deleted and provisioned anew holds other devices, even under the same names and
// insertion counts: a waiter reports the old device's removal, then the new one's insertion.
TEST(SkfEvents, AStoreMadeAnewReportsItsDevicesAsNew)
{
    run({"init-device", "swap-key"});
    run({"insert", "swap-key"});
    Event e;
    do
        ASSERT_TRUE(waitWithin(std::chrono::seconds(20), e));
    while (e.name != "swap-key");
    ASSERT_EQ(e.code, static_cast<ULONG>(SKF_DEV_EVENT_INSERTED));

    removeTree(g_store);
    run({"init-device", "swap-key"});
    run({"insert", "swap-key"});
    std::vector<ULONG> codes; // of swap-key; the devices of earlier tests are removed too
    for (int i = 0; i < 8 && codes.size() < 2; ++i) {
        ASSERT_TRUE(waitWithin(std::chrono::seconds(20), e)) << "no event after " << codes.size();
        if (e.name == "swap-key")
            codes.push_back(e.code);
    }
    EXPECT_EQ(codes, (std::vector<ULONG>{SKF_DEV_EVENT_REMOVED, SKF_DEV_EVENT_INSERTED}));
}

// A store folder moved away or deleted while a program waits is a store without devices:
// its devices are reported removed, the wait never makes the folder again (a folder moved
// back would land inside it), and the devices of a folder that comes back are reported.
TEST(SkfEvents, AStoreFolderMovedAwayOrDeletedIsNotMadeAgain)
{
    // A store of its own: its insertions come first, then the removals of the devices of
    // the other tests' store, which are left for later.
    const std::string store = makeStore();
    run({"init-device", "mv-a"});
    run({"init-device", "mv-b"});
    run({"insert", "mv-a"});
    run({"insert", "mv-b"});
    for (int inserted = 0; inserted < 2;) {
        const Event e = waitOnce();
        ASSERT_EQ(e.rc, SAR_OK);
        if (e.name == "mv-a" || e.name == "mv-b") {
            EXPECT_EQ(e.code, static_cast<ULONG>(SKF_DEV_EVENT_INSERTED)) << e.name;
            ++inserted;
        } else {
            EXPECT_EQ(e.code, static_cast<ULONG>(SKF_DEV_EVENT_REMOVED)) << e.name;
        }
    }
    // The removals of the shared store's devices come in the order of their names, some
    // after this store's: later waits look at this store's devices only.
    auto waitOwn = [] {
        for (;;) {
            Event e = waitOnce();
            if (e.rc != SAR_OK || e.name.rfind("mv-", 0) == 0)
                return e;
            EXPECT_EQ(e.code, static_cast<ULONG>(SKF_DEV_EVENT_REMOVED)) << e.name;
        }
    };
    const std::string moved = store + ".old";
    struct stat st;
    // Both devices are reported removed, mv-b last.
    auto bothGo = [&](const char *how) {
        SCOPED_TRACE(how);
        std::vector<std::string> gone;
        while (gone.empty() || gone.back() != "mv-b") {
            const Event e = waitOwn();
            ASSERT_EQ(e.rc, SAR_OK);
            EXPECT_EQ(e.code, static_cast<ULONG>(SKF_DEV_EVENT_REMOVED)) << e.name;
            if (e.name == "mv-a" || e.name == "mv-b")
                gone.push_back(e.name);
        }
        EXPECT_EQ(gone, (std::vector<std::string>{"mv-a", "mv-b"}));
        // The last wait found its event waiting: a folder it made would be there now.
        EXPECT_NE(stat(store.c_str(), &st), 0) << "the store folder was made again";
    };

    ASSERT_EQ(rename(store.c_str(), moved.c_str()), 0);
    bothGo("moved away");
    // Moved back while a wait blocks: the devices are there again.
    auto waiter = std::async(std::launch::async, waitOwn);
    ASSERT_EQ(rename(moved.c_str(), store.c_str()), 0);
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    Event e = waiter.get();
    EXPECT_EQ(e.name, "mv-a");
    EXPECT_EQ(e.code, static_cast<ULONG>(SKF_DEV_EVENT_INSERTED));
    e = waitOwn();
    EXPECT_EQ(e.name, "mv-b");
    EXPECT_EQ(e.code, static_cast<ULONG>(SKF_DEV_EVENT_INSERTED));

    ASSERT_EQ(system(("rm -rf '" + store + "'").c_str()), 0);
    bothGo("deleted");
    // A store made anew while a wait blocks is seen.
    waiter = std::async(std::launch::async, waitOwn);
    run({"init-device", "mv-c"});
    run({"insert", "mv-c"});
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    e = waiter.get();
    EXPECT_EQ(e.name, "mv-c");
    EXPECT_EQ(e.code, static_cast<ULONG>(SKF_DEV_EVENT_INSERTED));
    removeTree(store);
    // Later tests work on the shared store again (its devices come back as insertions).
    setenv("MVUKEY_STORE", g_store.c_str(), 1);
}

// What happens around a store folder that is missing or goes away leaves a blocked wait
// asleep: its thread uses next to no CPU time while nothing happens to the store's
// devices, and an insertion that follows is still reported.
TEST(SkfEvents, AWaitSleepsWhateverHappensAroundItsStoreFolder)
{
    struct Case {
        const char *name;
        const char *below; // the store folder, below a fresh folder
        const char *device;
        std::function<void(const std::string &store)> setUp, disturb, insert;
    };
    auto provision = [](const char *device) {
        return [device](const std::string &) {
            run({"init-device", device});
            run({"insert", device});
        };
    };
    const Case cases[] = {
        {"a file written in the folder above a missing store folder", "store", "quiet-file", nullptr,
         [](const std::string &store) {
             const std::string note = store.substr(0, store.rfind('/')) + "/note";
             FILE *f = fopen(note.c_str(), "w");
             ASSERT_NE(f, nullptr);
             fputs("not a store\n", f);
             fclose(f);
         },
         provision("quiet-file")},
        {"a missing store folder made by init-device", "store", "quiet-init", nullptr,
         [](const std::string &) { run({"init-device", "quiet-init"}); },
         [](const std::string &) { run({"insert", "quiet-init"}); }},
        {"a store folder moved away, then back", "store", "quiet-moved",
         [](const std::string &) { run({"init-device", "quiet-moved"}); },
         [](const std::string &store) { ASSERT_EQ(rename(store.c_str(), (store + ".away").c_str()), 0); },
         [](const std::string &store) {
             ASSERT_EQ(rename((store + ".away").c_str(), store.c_str()), 0);
             run({"insert", "quiet-moved"});
         }},
        {"a store folder made two folders deep at once", "deep/store", "quiet-deep", nullptr,
         [](const std::string &store) { ASSERT_EQ(system(("mkdir -p '" + store + "'").c_str()), 0); },
         provision("quiet-deep")},
    };
    constexpr long long kQuietMs = 2000;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string store = makeStore();
        store.replace(store.rfind('/') + 1, std::string::npos, c.below);
        setenv("MVUKEY_STORE", store.c_str(), 1);
        if (c.setUp)
            c.setUp(store);
        // Events of the stores before this one (their devices' removals) are passed over.
        auto done = std::make_shared<std::promise<Event>>();
        std::future<Event> result = done->get_future();
        std::thread waiter([done, device = std::string(c.device)] {
            for (;;) {
                Event e = waitOnce();
                if (e.rc != SAR_OK || e.name == device) {
                    done->set_value(e);
                    return;
                }
            }
        });
        clockid_t clock;
        ASSERT_EQ(pthread_getcpuclockid(waiter.native_handle(), &clock), 0);
        auto cpuMs = [clock] {
            struct timespec ts = {0, 0};
            EXPECT_EQ(clock_gettime(clock, &ts), 0);
            return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
        };
        EXPECT_EQ(result.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout);
        c.disturb(store);
        const long long before = cpuMs();
        EXPECT_EQ(result.wait_for(std::chrono::milliseconds(kQuietMs)), std::future_status::timeout);
        // A wait that sleeps uses a few milliseconds at most; one that spins, most of a core.
        EXPECT_LT(cpuMs() - before, kQuietMs / 8) << "ms of CPU time in " << kQuietMs << " ms";

        c.insert(store);
        const bool reported = result.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
        if (!reported) {
            waiter.detach();
            FAIL() << "the insertion was not reported";
        }
        waiter.join();
        const Event e = result.get();
        EXPECT_EQ(e.rc, SAR_OK);
        EXPECT_EQ(e.code, static_cast<ULONG>(SKF_DEV_EVENT_INSERTED));
        removeTree(store);
    }
    setenv("MVUKEY_STORE", g_store.c_str(), 1);
}

// Some changes reach no watch: the store folder is a symbolic link, and its target is removed
// and made again. While something keeps waking the wait in the link's folder (a file saved
// there every 2 s, as in ~/.local/share), the wait still looks at the store within its 5 s.
TEST(SkfEvents, AStoreBehindASymbolicLinkIsLookedAtWithinTheSafetyBoundWhileFilesAreSavedBeside)
{
    constexpr auto kSafetyLook = std::chrono::seconds(5); // the library's
    constexpr auto kLoadMargin = std::chrono::seconds(5); // for a loaded machine
    constexpr auto kSavesGoOn = std::chrono::seconds(40); // after the insertion, unless reported
    const std::string link = makeStore();
    const std::string folder = link.substr(0, link.rfind('/'));
    const std::string target = folder + "/target";
    ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
    ASSERT_EQ(symlink("target", link.c_str()), 0);
    run({"init-device", "link-key"});
    run({"insert", "link-key"});

    // Each event of link-key, with the moment it was reported; the devices of the other
    // tests' stores go by as removals.
    struct Report {
        Event event;
        Clock::time_point at;
    };
    auto promises = std::make_shared<std::vector<std::promise<Report>>>(3);
    std::vector<std::future<Report>> reports;
    for (auto &p : *promises)
        reports.push_back(p.get_future());
    std::thread waiter([promises] {
        for (auto &p : *promises) {
            Event e;
            do
                e = waitOnce();
            while (e.rc == SAR_OK && e.name != "link-key");
            p.set_value(Report{e, Clock::now()});
        }
    });
    std::atomic<bool> stop{false};
    std::thread saver;
    struct AtEnd {
        std::function<void()> work;
        ~AtEnd() { work(); }
    } atEnd{[&] {
        stop = true;
        if (saver.joinable())
            saver.join();
        if (reports.back().valid())
            waiter.detach(); // blocked in a wait that never ended; it ends with the process
        else
            waiter.join();
        removeTree(link);
        setenv("MVUKEY_STORE", g_store.c_str(), 1);
    }};
    auto next = [&](std::future<Report> &f, std::chrono::seconds within) {
        Report r;
        if (f.wait_for(within) == std::future_status::ready) {
            r = f.get();
            EXPECT_EQ(r.event.rc, SAR_OK);
        }
        return r;
    };

    Report r = next(reports[0], std::chrono::seconds(20));
    ASSERT_EQ(r.event.code, static_cast<ULONG>(SKF_DEV_EVENT_INSERTED)) << "no first insertion";

    // A file saved every 2 s in the link's folder the way editors save it: written aside,
    // then renamed onto its name.
    saver = std::thread([&stop, folder] {
        const std::string aside = folder + "/notes.tmp", notes = folder + "/notes";
        for (int n = 0; !stop; ++n) {
            if (FILE *f = fopen(aside.c_str(), "w")) {
                fprintf(f, "save %d\n", n);
                fclose(f);
                rename(aside.c_str(), notes.c_str());
            }
            for (int i = 0; i < 20 && !stop; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });

    // The target removed: the link dangles, a store without devices.
    ASSERT_EQ(system(("rm -rf '" + target + "'").c_str()), 0);
    r = next(reports[1], std::chrono::seconds(20));
    ASSERT_EQ(r.event.code, static_cast<ULONG>(SKF_DEV_EVENT_REMOVED)) << "no removal";
    // The next wait goes to sleep meanwhile, on the link's folder.
    EXPECT_EQ(reports[2].wait_for(std::chrono::milliseconds(500)), std::future_status::timeout);

    // The target made again with the device in it, inserted: no watch sees this.
    ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
    run({"init-device", "link-key"});
    run({"insert", "link-key"});
    const auto inserted = Clock::now();
    reports[2].wait_for(kSavesGoOn);
    stop = true; // a wait that missed it sees the insertion once nothing wakes it
    saver.join();
    r = next(reports[2], std::chrono::seconds(20));
    ASSERT_EQ(r.event.code, static_cast<ULONG>(SKF_DEV_EVENT_INSERTED)) << "no insertion";
    using std::chrono::milliseconds;
    EXPECT_LT(std::chrono::duration_cast<milliseconds>(r.at - inserted).count(),
              milliseconds(kSafetyLook + kLoadMargin).count())
        << "ms from the insertion to its report, while a file was saved every 2 s for "
        << kSavesGoOn.count() << " s";
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // The store must be named before the library is bound: it takes its first picture of
    // the devices when it is loaded.
    g_store = makeStore();
    if (!standin().handle) {
        fprintf(stderr, "cannot bind %s: %s\n", libraryPath().c_str(), dlerror());
        return 1;
    }
    const int rc = RUN_ALL_TESTS();
    removeTree(g_store);
    return rc;
}
