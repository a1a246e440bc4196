// SKF_WaitForDevEvent: blocks until a device of the store is inserted or removed.
//
// The library remembers, per process, which devices it last saw present (from the moment
// it is loaded). A wait compares the store with that picture and reports the first
// difference; when there is none it sleeps on an inotify watch of the store directory,
// which every change of the store (a rename onto the store file) wakes at once. A device
// removed and inserted again between two waits gives a removal and then an insertion.
// A missing store folder is a store without devices; the wait never makes it.

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "skf_export.h"
#include "store.h"

using namespace mvtoken;

namespace {

struct Seen {
    bool present = false;
    std::uint64_t generation = 0;
    std::string storeId; // a store put in place of another one holds other devices
};

struct EventState {
    std::mutex mutex; // one waiter at a time
    std::map<std::string, Seen> seen;

    EventState()
    {
        StoreData data;
        if (Store::read(data) == SAR_OK)
            for (const auto &d : data.devices)
                seen[d.name] = Seen{d.present, d.generation, data.storeId};
    }
};

// A device-event thread may still be blocked in a wait while the process exits and runs
// its destructors, so the state is not a static object. It is released when the library
// is unloaded with no wait running (a program that closes its binding), and otherwise
// left to the end of the process.
EventState *g_eventState = nullptr;
std::atomic<int> g_activeWaits{0};

EventState &eventState()
{
    static EventState *state = g_eventState = new EventState;
    return *state;
}

// Taken when the library is loaded, so that changes between loading and the first wait
// are reported too.
__attribute__((constructor)) void takeFirstPicture()
{
    try {
        eventState();
    } catch (...) {
        // Without memory for it the first wait takes the picture.
    }
}

__attribute__((destructor)) void releaseEventState()
{
    if (g_activeWaits.load() == 0) {
        delete g_eventState;
        g_eventState = nullptr;
    }
}

struct ActiveWait {
    ActiveWait() { ++g_activeWaits; }
    ~ActiveWait() { --g_activeWaits; }
    ActiveWait(const ActiveWait &) = delete;
    ActiveWait &operator=(const ActiveWait &) = delete;
};

// What wakes a wait: in the store folder, every way the store file can change; in a
// folder above it (while the store folder is missing), every way a folder can appear.
constexpr uint32_t kStoreEvents =
    IN_MOVED_TO | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr uint32_t kParentEvents = IN_MOVED_TO | IN_CREATE | IN_DELETE_SELF | IN_MOVE_SELF;

struct Event {
    std::string name;
    ULONG code = 0;
    Seen after;
};

bool nextEvent(const std::map<std::string, Seen> &seen, const StoreData &data, Event &event)
{
    for (const auto &d : data.devices) {
        auto it = seen.find(d.name);
        const bool wasPresent = it != seen.end() && it->second.present;
        if (wasPresent &&
            (!d.present || d.generation != it->second.generation || data.storeId != it->second.storeId)) {
            event = Event{d.name, SKF_DEV_EVENT_REMOVED, Seen{false, it->second.generation, it->second.storeId}};
            return true;
        }
        if (!wasPresent && d.present) {
            event = Event{d.name, SKF_DEV_EVENT_INSERTED, Seen{true, d.generation, data.storeId}};
            return true;
        }
    }
    for (const auto &s : seen) { // a present device that left the store
        if (!s.second.present)
            continue;
        bool found = false;
        for (const auto &d : data.devices)
            found = found || d.name == s.first;
        if (!found) {
            event = Event{s.first, SKF_DEV_EVENT_REMOVED, Seen{false, s.second.generation, s.second.storeId}};
            return true;
        }
    }
    return false;
}

} // namespace

SKF_EXPORT ULONG SKF_WaitForDevEvent(LPSTR szDevName, ULONG *pulDevNameLen, ULONG *pulEvent)
try {
    if (!szDevName || !pulDevNameLen || !pulEvent)
        return SAR_INVALIDPARAMERR;
    ActiveWait active;
    EventState &state = eventState();
    std::lock_guard<std::mutex> lock(state.mutex);

    // The store folder is never made here: a folder that the user moved away or deleted
    // is a store without devices, and the wait watches for it to come back.
    const std::string dir = Store::directory();
    const UniqueFd inotify(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    const int fd = inotify.get();
    int watch = -1;
    bool watchingStore = false;
    ULONG rc = SAR_OK;
    for (;;) {
        if (fd >= 0 && watch < 0) { // watch first, then look, so that no change slips between
            watch = inotify_add_watch(fd, dir.c_str(), kStoreEvents);
            watchingStore = watch >= 0;
            // Without the folder, the nearest folder above it that exists: any change
            // there (the store folder made or moved back) is looked at.
            for (std::string above = dir; watch < 0 && (errno == ENOENT || errno == ENOTDIR);) {
                const size_t slash = above.find_last_of('/');
                if (slash == std::string::npos)
                    break;
                above = slash ? above.substr(0, slash) : std::string("/");
                watch = inotify_add_watch(fd, above.c_str(), kParentEvents);
                if (above == "/")
                    break;
            }
        }
        StoreData data;
        if (Store::read(data) == SAR_OK) {
            Event event;
            if (nextEvent(state.seen, data, event)) {
                if (*pulDevNameLen < event.name.size() + 1) {
                    *pulDevNameLen = event.name.size() + 1;
                    rc = SAR_BUFFER_TOO_SMALL; // the event stays for the next wait
                    break;
                }
                memcpy(szDevName, event.name.c_str(), event.name.size() + 1);
                *pulDevNameLen = event.name.size();
                *pulEvent = event.code;
                state.seen[event.name] = event.after;
                break;
            }
        }
        // Sleep until the store folder (or the folder above it that is watched) changes.
        // Without a watch (no inotify, or no folder of the path can be watched) look
        // again after a short while.
        struct pollfd p = {fd, POLLIN, 0};
        int n = poll(fd >= 0 && watch >= 0 ? &p : nullptr, fd >= 0 && watch >= 0 ? 1 : 0,
                     fd >= 0 && watch >= 0 ? 5000 : 200);
        if (n > 0) {
            alignas(struct inotify_event) char buf[4096];
            bool lost = false;
            ssize_t len;
            while ((len = read(fd, buf, sizeof buf)) > 0) {
                for (char *q = buf; q < buf + len;) {
                    auto *e = reinterpret_cast<struct inotify_event *>(q);
                    if (e->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF))
                        lost = true;
                    q += sizeof(struct inotify_event) + e->len;
                }
            }
            if (lost || !watchingStore) {
                inotify_rm_watch(fd, watch);
                watch = -1;
            }
        }
    }
    return rc;
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_WaitForDevEvent);
