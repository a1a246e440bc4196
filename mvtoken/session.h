#ifndef MVTOKEN_SESSION_H
#define MVTOKEN_SESSION_H

// Handles of the stand-in token library and the objects behind them.
//
// What the SKF entry points (skf_*.cpp) may rely on:
// - A handle is an opaque number handed out by registerHandle(); it is never dereferenced
//   and never reused, so an unknown, closed or foreign value is simply not found.
//   lookupHandle() is safe on any pointer value and from any thread.
// - Device, application and container handles carry a DeviceRef: the identity of the store,
//   the device's name and the insertion (generation) it was opened in. Once the device is
//   removed, or removed and inserted again, or the store is replaced by another one, the
//   handle is stale and resolves to SAR_DEVICE_REMOVED.
// - Application and container handles name their objects by store id, so a deleted and
//   recreated object of the same name is not reached through an old handle.
// - resolveDevice() accepts a device, application or container handle (calls such as
//   SKF_RSAVerify are given a container handle where a device handle is expected).
// - The key pairs of a container: keys.h, loadKeyPair(container, sign).
// - OpenSSL objects are owned through UniquePtr<T> of ossl_ptr.h (the object's free
//   function as deleter), never by a raw pointer that a cleanup label frees.
// - Other handle kinds (symmetric keys, hashes) derive from HandleObject and use
//   HandleKind::Key / HandleKind::Hash; they may keep a DeviceRef and check it with
//   checkDevice().
// - Result codes are the SAR_* values of skfapi.h; entry points are declared as skf_export.h
//   says, and their source files are listed with the SKFAPI library in
//   mvtoken/CMakeLists.txt.

#include <cstdint>
#include <memory>
#include <string>

#include "skfapi.h"
#include "store.h"

namespace mvtoken {

enum class HandleKind { Device, Application, Container, Key, Hash };

struct HandleObject {
    virtual ~HandleObject() = default;
};

struct DeviceRef {
    std::string storeId; // StoreData::storeId
    std::string name;
    std::uint64_t generation = 0;
};

struct DeviceSession : HandleObject {
    DeviceRef device;
};

struct ApplicationSession : HandleObject {
    DeviceRef device;
    std::uint64_t appId = 0;
};

struct ContainerSession : HandleObject {
    DeviceRef device;
    std::uint64_t appId = 0;
    std::uint64_t containerId = 0;
};

// Registers an object and returns its new handle (never null).
void *registerHandle(HandleKind kind, std::shared_ptr<HandleObject> object);
// The object of a handle of the given kind, or null for any other value.
std::shared_ptr<HandleObject> lookupHandle(void *handle, HandleKind kind);
template <typename T>
std::shared_ptr<T> lookupHandleAs(void *handle, HandleKind kind)
{
    return std::dynamic_pointer_cast<T>(lookupHandle(handle, kind));
}
// Forgets a handle; false when it was not a handle of that kind.
bool releaseHandle(void *handle, HandleKind kind);

// SAR_OK when the device of ref is present in the same store and insertion, else
// SAR_DEVICE_REMOVED.
ULONG checkDevice(StoreData &data, const DeviceRef &ref, DeviceRecord **device = nullptr);
// The reference that a handle opened on the device of the store data now keeps.
DeviceRef refOf(const StoreData &data, const DeviceRecord &device);

// Resolve a handle against a store read by the caller. Results: SAR_OK with the records
// set; SAR_INVALIDHANDLEERR for a value that is not such a handle; SAR_DEVICE_REMOVED;
// SAR_APPLICATION_NOT_EXISTS; SAR_FILE_NOT_EXIST (the container is gone).
ULONG resolveDevice(void *handle, StoreData &data, DeviceRecord **device);
// A device handle only, against a store that the caller read (or locked) with the result
// storeStatus: SAR_INVALIDHANDLEERR for any other value, whatever the store; then
// storeStatus when it is not SAR_OK; then as checkDevice.
ULONG resolveDeviceHandle(DEVHANDLE handle, ULONG storeStatus, StoreData &data, DeviceRecord **device);
ULONG resolveApplication(HAPPLICATION handle, StoreData &data, DeviceRecord **device,
                         ApplicationRecord **app);
ULONG resolveContainer(HCONTAINER handle, StoreData &data, DeviceRecord **device,
                       ApplicationRecord **app, ContainerRecord **container);

// Log-in state of an application, kept per process as on a token session: set by a
// successful SKF_VerifyPIN, dropped by a refused PIN or by closing the application. A log-in
// belongs to the store and the insertion of the device (the DeviceRef of the current store)
// it was made in: removing the device ends it, in every process, and after the device is
// inserted again, or the store is replaced, the PIN is needed again.
// Returns ADMIN_TYPE, USER_TYPE or -1 when nobody is logged in.
int loggedInAs(const DeviceRef &device, std::uint64_t appId);
void setLoggedIn(const DeviceRef &device, std::uint64_t appId, int pinType);

} // namespace mvtoken

#endif // MVTOKEN_SESSION_H
