#include "session.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <tuple>
#include <unordered_map>

namespace mvtoken {

namespace {

struct HandleEntry {
    HandleKind kind;
    std::shared_ptr<HandleObject> object;
};

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<std::uintptr_t, HandleEntry> entries;
    std::uintptr_t next = 0x10000;
};

HandleTable &handles()
{
    static HandleTable table;
    return table;
}

// Store identity, device name, insertion, application id.
using LoginKey = std::tuple<std::string, std::string, std::uint64_t, std::uint64_t>;

LoginKey loginKey(const DeviceRef &device, std::uint64_t appId)
{
    return LoginKey(device.storeId, device.name, device.generation, appId);
}

struct LoginTable {
    std::mutex mutex;
    std::map<LoginKey, int> types;
};

LoginTable &logins()
{
    static LoginTable table;
    return table;
}

// The application appId on the device of ref.
ULONG findApplication(StoreData &data, const DeviceRef &ref, std::uint64_t appId, DeviceRecord **device,
                      ApplicationRecord **app)
{
    DeviceRecord *d = nullptr;
    ULONG rc = checkDevice(data, ref, &d);
    if (rc != SAR_OK)
        return rc;
    ApplicationRecord *a = d->findApplication(appId);
    if (!a)
        return SAR_APPLICATION_NOT_EXISTS;
    if (device)
        *device = d;
    *app = a;
    return SAR_OK;
}

} // namespace

void *registerHandle(HandleKind kind, std::shared_ptr<HandleObject> object)
{
    HandleTable &t = handles();
    std::lock_guard<std::mutex> lock(t.mutex);
    std::uintptr_t value = t.next;
    t.next += 0x10;
    t.entries.emplace(value, HandleEntry{kind, std::move(object)});
    return reinterpret_cast<void *>(value);
}

std::shared_ptr<HandleObject> lookupHandle(void *handle, HandleKind kind)
{
    HandleTable &t = handles();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.entries.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == t.entries.end() || it->second.kind != kind)
        return nullptr;
    return it->second.object;
}

bool releaseHandle(void *handle, HandleKind kind)
{
    std::shared_ptr<HandleObject> released; // destroyed after the lock is dropped
    HandleTable &t = handles();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.entries.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == t.entries.end() || it->second.kind != kind)
        return false;
    released = std::move(it->second.object);
    t.entries.erase(it);
    return true;
}

ULONG checkDevice(StoreData &data, const DeviceRef &ref, DeviceRecord **device)
{
    DeviceRecord *d = data.findDevice(ref.name);
    if (!d || !d->present || d->generation != ref.generation || data.storeId != ref.storeId)
        return SAR_DEVICE_REMOVED;
    if (device)
        *device = d;
    return SAR_OK;
}

DeviceRef refOf(const StoreData &data, const DeviceRecord &device)
{
    return DeviceRef{data.storeId, device.name, device.generation};
}

ULONG resolveDevice(void *handle, StoreData &data, DeviceRecord **device)
{
    if (auto s = lookupHandleAs<DeviceSession>(handle, HandleKind::Device))
        return checkDevice(data, s->device, device);
    if (auto s = lookupHandleAs<ApplicationSession>(handle, HandleKind::Application))
        return checkDevice(data, s->device, device);
    if (auto s = lookupHandleAs<ContainerSession>(handle, HandleKind::Container))
        return checkDevice(data, s->device, device);
    return SAR_INVALIDHANDLEERR;
}

ULONG resolveDeviceHandle(DEVHANDLE handle, ULONG storeStatus, StoreData &data, DeviceRecord **device)
{
    auto s = lookupHandleAs<DeviceSession>(handle, HandleKind::Device);
    if (!s)
        return SAR_INVALIDHANDLEERR;
    if (storeStatus != SAR_OK)
        return storeStatus;
    return checkDevice(data, s->device, device);
}

ULONG resolveApplication(HAPPLICATION handle, StoreData &data, DeviceRecord **device, ApplicationRecord **app)
{
    auto s = lookupHandleAs<ApplicationSession>(handle, HandleKind::Application);
    if (!s)
        return SAR_INVALIDHANDLEERR;
    ApplicationRecord *a = nullptr;
    const ULONG rc = findApplication(data, s->device, s->appId, device, &a);
    if (rc == SAR_OK && app)
        *app = a;
    return rc;
}

ULONG resolveContainer(HCONTAINER handle, StoreData &data, DeviceRecord **device, ApplicationRecord **app,
                       ContainerRecord **container)
{
    auto s = lookupHandleAs<ContainerSession>(handle, HandleKind::Container);
    if (!s)
        return SAR_INVALIDHANDLEERR;
    DeviceRecord *d = nullptr;
    ApplicationRecord *a = nullptr;
    const ULONG rc = findApplication(data, s->device, s->appId, &d, &a);
    if (rc != SAR_OK)
        return rc;
    ContainerRecord *c = a->findContainer(s->containerId);
    if (!c)
        return SAR_FILE_NOT_EXIST;
    if (device)
        *device = d;
    if (app)
        *app = a;
    if (container)
        *container = c;
    return SAR_OK;
}

int loggedInAs(const DeviceRef &device, std::uint64_t appId)
{
    LoginTable &t = logins();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.types.find(loginKey(device, appId));
    return it == t.types.end() ? -1 : it->second;
}

void setLoggedIn(const DeviceRef &device, std::uint64_t appId, int pinType)
{
    LoginTable &t = logins();
    std::lock_guard<std::mutex> lock(t.mutex);
    if (pinType < 0) {
        t.types.erase(loginKey(device, appId));
        return;
    }
    // Log-ins of an earlier insertion of this device can never be reached again.
    for (auto it = t.types.begin(); it != t.types.end();) {
        const bool earlier = std::get<0>(it->first) == device.storeId && std::get<1>(it->first) == device.name &&
                             std::get<2>(it->first) != device.generation;
        it = earlier ? t.types.erase(it) : std::next(it);
    }
    t.types[loginKey(device, appId)] = pinType;
}

} // namespace mvtoken
