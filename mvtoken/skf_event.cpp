// SKF_WaitForDevEvent: blocks until a device of the store is inserted or removed.
//
// The library remembers, per process, which devices it last saw present (from the moment
// it is loaded). A wait compares the store with that picture and reports the first
// difference; when there is none it sleeps on an inotify watch of the store directory,
// which every change of the store (a rename onto the store file) wakes at once, and it
// looks again at least every 5 s of its sleep for the changes that no watch sees. A device
// removed and inserted again between two waits gives a removal and then an insertion.
// A missing store folder is a store without devices; the wait never makes it, and sleeps
// on the nearest folder above it that exists until the store folder is there again.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
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

// A wait looks at the store at least this often while it sleeps, for the changes that reach
// no watch.
constexpr std::chrono::seconds kSafetyLook(5);

// What wakes a wait: in the store folder, every way the store file can change; in a
// folder above it (while the store folder is missing), every way a folder can appear in it.
// Both end with the watched folder itself deleted or moved.
constexpr uint32_t kStoreEvents =
    IN_MOVED_TO | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr uint32_t kParentEvents = IN_MOVED_TO | IN_CREATE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// The one watch a wait sleeps on: the store folder, or while it is missing the nearest
// folder above it that exists, with the name in that folder on the way to the store
// folder. Only events of this watch count; a watch it replaced still delivers its last
// events (IN_IGNORED at least), which say nothing about the store.
class StoreWatch {
public:
    StoreWatch(int inotify, std::string dir) : m_fd(inotify), m_dir(std::move(dir))
    {
        while (m_dir.size() > 1 && m_dir.back() == '/')
            m_dir.pop_back();
    }

    bool active() const { return m_wd >= 0; }

    // Watches the store folder, else the nearest existing folder above it. Without either
    // (no inotify, a folder that may not be read, no watches left) there is no watch.
    void resolve()
    {
        if (m_fd < 0)
            return;
        // Each walk again ends one folder further down, so the path's depth bounds them.
        const auto walks = std::count(m_dir.begin(), m_dir.end(), '/') + 1;
        for (long walk = 0; walk < walks; ++walk) {
            std::string path = m_dir, next;
            int wd = -1;
            while ((wd = inotify_add_watch(m_fd, path.c_str(), next.empty() ? kStoreEvents : kParentEvents)) < 0 &&
                   (errno == ENOENT || errno == ENOTDIR) && up(path, next)) {
            }
            // The same folder watched again keeps its watch descriptor.
            if (m_wd >= 0 && wd != m_wd)
                inotify_rm_watch(m_fd, m_wd);
            m_wd = wd;
            m_next = wd >= 0 ? next : std::string();
            // A folder on the way made while the walk went up lies below the one watched
            // now, which tells nothing about it: walk again.
            struct stat st;
            if (m_next.empty() || stat((path + "/" + m_next).c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
                return;
        }
    }

    // Reads what the watch reported. True when the store may have changed; the watch has
    // then moved to the folder it belongs on. Anything else (a file written in the folder
    // above the store folder, the last events of a replaced watch) leaves the wait asleep.
    bool changed()
    {
        alignas(struct inotify_event) char buf[4096];
        bool look = false, rewatch = false;
        ssize_t len;
        while ((len = read(m_fd, buf, sizeof buf)) > 0) {
            for (char *q = buf; q < buf + len;) {
                const auto *e = reinterpret_cast<const struct inotify_event *>(q);
                q += sizeof(struct inotify_event) + e->len;
                if (e->mask & IN_Q_OVERFLOW) {
                    look = rewatch = true; // events were lost
                } else if (e->wd != m_wd) {
                    continue;
                } else if (e->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
                    look = rewatch = true; // the watched folder is gone from its place
                } else if (m_next.empty()) {
                    look = true; // in the store folder
                } else if (e->len && m_next == e->name) {
                    look = rewatch = true; // the next folder on the way has appeared
                }
            }
        }
        if (rewatch)
            resolve();
        return look;
    }

private:
    // path becomes its parent folder and next its last name; false at the top.
    static bool up(std::string &path, std::string &next)
    {
        const size_t slash = path.find_last_of('/');
        if (path == "/" || path == "." || path.empty())
            return false;
        next = path.substr(slash == std::string::npos ? 0 : slash + 1);
        path = slash == std::string::npos ? std::string(".") : slash ? path.substr(0, slash) : std::string("/");
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        return !next.empty();
    }

    int m_fd;
    std::string m_dir;
    int m_wd = -1;
    std::string m_next; // empty while the store folder itself is watched
};

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
    const UniqueFd inotify(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    StoreWatch watch(inotify.get(), Store::directory());
    watch.resolve(); // watch first, then look, so that no change slips between
    ULONG rc = SAR_OK;
    for (;;) {
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
        // Sleep until the store folder (or the folder above it that is watched) changes,
        // and look again within 5 s all the same, however many events that say nothing
        // about the store wake the sleep meanwhile: some changes reach no watch (a folder
        // further up replaced or moved, a store folder that is a symbolic link whose target
        // is replaced). Without a watch, look again after a short while.
        auto now = std::chrono::steady_clock::now();
        const auto lookBy = now + kSafetyLook;
        for (;;) {
            struct pollfd p = {inotify.get(), POLLIN, 0};
            const bool watching = watch.active();
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(lookBy - now).count();
            const int n = poll(watching ? &p : nullptr, watching ? 1 : 0, watching ? static_cast<int>(left) : 200);
            if (n > 0 && watch.changed())
                break;
            now = std::chrono::steady_clock::now();
            if (n <= 0 || now >= lookBy) {
                watch.resolve();
                break;
            }
        }
    }
    return rc;
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_WaitForDevEvent);
