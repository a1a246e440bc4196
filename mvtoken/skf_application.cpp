// SKF application calls: create, enumerate, delete, open and close applications, and the
// administrator and user PINs.

#include <memory>

#include "pin.h"
#include "session.h"
#include "skf_export.h"
#include "skf_util.h"
#include "store.h"

using namespace mvtoken;

namespace {

bool validRetries(ULONG n)
{
    return n >= 1 && n <= kMaxPinRetries;
}

bool validNewPin(const char *p, std::string &out)
{
    return takeText(p, kMaxPinBytes, out) && !out.empty();
}

// Checks a PIN against its record. The retry is spent and written to the store before
// the PIN is looked at, so that no interruption can test a PIN for free; a right PIN
// then gives the retries back. *retries is always the count that the store holds on
// return, also when the store cannot be written.
ULONG checkPin(StoreTransaction &txn, PinRecord &record, const char *pin, ULONG *retries)
{
    if (record.retriesLeft == 0) {
        *retries = 0;
        return SAR_PIN_LOCKED;
    }
    record.retriesLeft--;
    ULONG rc = txn.commit();
    if (rc != SAR_OK) {
        record.retriesLeft++;
        *retries = record.retriesLeft;
        return rc;
    }
    std::string text;
    // A PIN too long for any PIN of the token is simply wrong.
    const bool match = takeText(pin, kMaxPinBytes, text) && pinMatches(record, text);
    if (!match) {
        *retries = record.retriesLeft;
        return record.retriesLeft == 0 ? SAR_PIN_LOCKED : SAR_PIN_INCORRECT;
    }
    const ULONG spent = record.retriesLeft;
    record.retriesLeft = record.maxRetries;
    rc = txn.commit();
    if (rc != SAR_OK)
        record.retriesLeft = spent;
    *retries = record.retriesLeft;
    return rc;
}

// One PIN check in one store transaction: pin against the PIN that pick chooses in the
// application of hApplication. A refused PIN logs the application out and gives the check's
// result; an accepted one gives the result of accepted(txn, device, app, record), where
// device is the reference of the application's device in this store and insertion.
template <typename Pick, typename Accepted>
ULONG withCheckedPin(HAPPLICATION hApplication, const char *pin, ULONG *retries, Pick pick, Accepted accepted)
{
    StoreTransaction txn;
    ULONG rc = txn.status();
    DeviceRecord *d = nullptr;
    ApplicationRecord *a = nullptr;
    if (rc == SAR_OK)
        rc = resolveApplication(hApplication, txn.data(), &d, &a);
    if (rc != SAR_OK)
        return rc;
    const DeviceRef device = refOf(txn.data(), *d);
    PinRecord &record = pick(*a);
    rc = checkPin(txn, record, pin, retries);
    if (rc != SAR_OK) {
        setLoggedIn(device, a->id, -1);
        return rc;
    }
    return accepted(txn, device, *a, record);
}

} // namespace

SKF_EXPORT ULONG SKF_CreateApplication(DEVHANDLE hDev, LPSTR szAppName, LPSTR szAdminPin, ULONG ulAdminPinRetryCount,
                                       LPSTR szUserPin, ULONG ulUserPinRetryCount, ULONG ulCreateFileRights,
                                       HAPPLICATION *phApplication)
try {
    std::string name, adminPin, userPin;
    if (!phApplication || !szAppName || !szAdminPin || !szUserPin)
        return SAR_INVALIDPARAMERR;
    if (!takeText(szAppName, kMaxNameBytes, name) || name.empty())
        return SAR_APPLICATION_NAME_INVALID;
    if (!validNewPin(szAdminPin, adminPin) || !validNewPin(szUserPin, userPin))
        return SAR_PIN_LEN_RANGE;
    if (!validRetries(ulAdminPinRetryCount) || !validRetries(ulUserPinRetryCount))
        return SAR_INVALIDPARAMERR;
    StoreTransaction txn;
    DeviceRecord *d = nullptr;
    ULONG rc = resolveDeviceHandle(hDev, txn.status(), txn.data(), &d);
    if (rc != SAR_OK)
        return rc;
    if (d->findApplication(name))
        return SAR_APPLICATION_EXISTS;
    ApplicationRecord app;
    if (!txn.data().takeId(app.id))
        return SAR_FAIL;
    app.name = name;
    app.createFileRights = ulCreateFileRights;
    if (!setPin(app.adminPin, adminPin, ulAdminPinRetryCount) || !setPin(app.userPin, userPin, ulUserPinRetryCount))
        return SAR_FAIL;
    const std::uint64_t appId = app.id;
    const DeviceRef device = refOf(txn.data(), *d);
    d->applications.push_back(std::move(app));
    rc = txn.commit();
    if (rc != SAR_OK)
        return rc;
    auto appSession = std::make_shared<ApplicationSession>();
    appSession->device = device;
    appSession->appId = appId;
    *phApplication = registerHandle(HandleKind::Application, appSession);
    return SAR_OK;
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_CreateApplication);

SKF_EXPORT ULONG SKF_EnumApplication(DEVHANDLE hDev, LPSTR szAppName, ULONG *pulSize)
try {
    if (!pulSize)
        return SAR_INVALIDPARAMERR;
    StoreData data;
    DeviceRecord *d = nullptr;
    const ULONG rc = resolveDeviceHandle(hDev, Store::read(data), data, &d);
    if (rc != SAR_OK)
        return rc;
    std::vector<std::string> names;
    for (const auto &a : d->applications)
        names.push_back(a.name);
    return putNameList(names, szAppName, pulSize);
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_EnumApplication);

SKF_EXPORT ULONG SKF_DeleteApplication(DEVHANDLE hDev, LPSTR szAppName)
try {
    std::string name;
    if (!szAppName)
        return SAR_INVALIDPARAMERR;
    if (!takeText(szAppName, kMaxNameBytes, name) || name.empty())
        return SAR_APPLICATION_NAME_INVALID;
    StoreTransaction txn;
    DeviceRecord *d = nullptr;
    ULONG rc = resolveDeviceHandle(hDev, txn.status(), txn.data(), &d);
    if (rc != SAR_OK)
        return rc;
    ApplicationRecord *a = d->findApplication(name);
    if (!a)
        return SAR_APPLICATION_NOT_EXISTS;
    const std::uint64_t appId = a->id;
    const DeviceRef device = refOf(txn.data(), *d);
    d->applications.erase(d->applications.begin() + (a - d->applications.data()));
    rc = txn.commit();
    if (rc == SAR_OK)
        setLoggedIn(device, appId, -1);
    return rc;
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_DeleteApplication);

SKF_EXPORT ULONG SKF_OpenApplication(DEVHANDLE hDev, LPSTR szAppName, HAPPLICATION *phApplication)
try {
    std::string name;
    if (!phApplication || !szAppName)
        return SAR_INVALIDPARAMERR;
    if (!takeText(szAppName, kMaxNameBytes, name) || name.empty())
        return SAR_APPLICATION_NAME_INVALID;
    StoreData data;
    DeviceRecord *d = nullptr;
    const ULONG rc = resolveDeviceHandle(hDev, Store::read(data), data, &d);
    if (rc != SAR_OK)
        return rc;
    ApplicationRecord *a = d->findApplication(name);
    if (!a)
        return SAR_APPLICATION_NOT_EXISTS;
    auto appSession = std::make_shared<ApplicationSession>();
    appSession->device = refOf(data, *d);
    appSession->appId = a->id;
    *phApplication = registerHandle(HandleKind::Application, appSession);
    return SAR_OK;
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_OpenApplication);

SKF_EXPORT ULONG SKF_CloseApplication(HAPPLICATION hApplication)
try {
    auto session = lookupHandleAs<ApplicationSession>(hApplication, HandleKind::Application);
    if (!session || !releaseHandle(hApplication, HandleKind::Application))
        return SAR_INVALIDHANDLEERR;
    setLoggedIn(session->device, session->appId, -1);
    return SAR_OK;
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_CloseApplication);

SKF_EXPORT ULONG SKF_VerifyPIN(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szPIN, ULONG *pulRetryCount)
try {
    if (!szPIN || !pulRetryCount)
        return SAR_INVALIDPARAMERR;
    if (ulPINType != ADMIN_TYPE && ulPINType != USER_TYPE)
        return SAR_USER_TYPE_INVALID;
    return withCheckedPin(
        hApplication, szPIN, pulRetryCount,
        [&](ApplicationRecord &app) -> PinRecord & { return ulPINType == ADMIN_TYPE ? app.adminPin : app.userPin; },
        [&](StoreTransaction &, const DeviceRef &device, ApplicationRecord &app, PinRecord &) {
            setLoggedIn(device, app.id, static_cast<int>(ulPINType));
            return ULONG(SAR_OK);
        });
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_VerifyPIN);

SKF_EXPORT ULONG SKF_ChangePIN(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szOldPin, LPSTR szNewPin,
                               ULONG *pulRetryCount)
try {
    std::string newPin;
    if (!szOldPin || !szNewPin || !pulRetryCount)
        return SAR_INVALIDPARAMERR;
    if (ulPINType != ADMIN_TYPE && ulPINType != USER_TYPE)
        return SAR_USER_TYPE_INVALID;
    if (!validNewPin(szNewPin, newPin))
        return SAR_PIN_LEN_RANGE;
    return withCheckedPin(
        hApplication, szOldPin, pulRetryCount,
        [&](ApplicationRecord &app) -> PinRecord & { return ulPINType == ADMIN_TYPE ? app.adminPin : app.userPin; },
        [&](StoreTransaction &txn, const DeviceRef &, ApplicationRecord &, PinRecord &record) {
            if (!setPin(record, newPin, record.maxRetries))
                return ULONG(SAR_FAIL);
            const ULONG rc = txn.commit();
            *pulRetryCount = record.retriesLeft;
            return rc;
        });
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_ChangePIN);

SKF_EXPORT ULONG SKF_UnblockPIN(HAPPLICATION hApplication, LPSTR szAdminPIN, LPSTR szNewUserPIN, ULONG *pulRetryCount)
try {
    std::string newPin;
    if (!szAdminPIN || !szNewUserPIN || !pulRetryCount)
        return SAR_INVALIDPARAMERR;
    if (!validNewPin(szNewUserPIN, newPin))
        return SAR_PIN_LEN_RANGE;
    return withCheckedPin(
        hApplication, szAdminPIN, pulRetryCount, [](ApplicationRecord &app) -> PinRecord & { return app.adminPin; },
        [&](StoreTransaction &txn, const DeviceRef &, ApplicationRecord &app, PinRecord &) {
            if (!setPin(app.userPin, newPin, app.userPin.maxRetries))
                return ULONG(SAR_FAIL);
            return txn.commit();
        });
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_UnblockPIN);
