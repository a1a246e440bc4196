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

constexpr ULONG kMaxRetries = 255;

bool validRetries(ULONG n)
{
    return n >= 1 && n <= kMaxRetries;
}

bool validNewPin(const char *p, std::string &out)
{
    return takeText(p, kMaxPinBytes, out) && !out.empty();
}

// Checks a PIN against its record. The retry is spent and written to the store before
// the PIN is looked at, so that no interruption can test a PIN for free; a right PIN
// then gives the retries back.
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
        return rc;
    }
    std::string text;
    // A PIN too long for any PIN of the token is simply wrong.
    const bool match = takeText(pin, kMaxPinBytes, text) && pinMatches(record, text);
    if (!match) {
        *retries = record.retriesLeft;
        return record.retriesLeft == 0 ? SAR_PIN_LOCKED : SAR_PIN_INCORRECT;
    }
    record.retriesLeft = record.maxRetries;
    rc = txn.commit();
    *retries = record.retriesLeft;
    return rc;
}

} // namespace

SKF_EXPORT ULONG SKF_CreateApplication(DEVHANDLE hDev, LPSTR szAppName, LPSTR szAdminPin, ULONG ulAdminPinRetryCount,
                                       LPSTR szUserPin, ULONG ulUserPinRetryCount, ULONG ulCreateFileRights,
                                       HAPPLICATION *phApplication)
{
    std::string name, adminPin, userPin;
    if (!phApplication || !szAppName || !szAdminPin || !szUserPin)
        return SAR_INVALIDPARAMERR;
    if (!takeText(szAppName, kMaxNameBytes, name) || name.empty())
        return SAR_APPLICATION_NAME_INVALID;
    if (!validNewPin(szAdminPin, adminPin) || !validNewPin(szUserPin, userPin))
        return SAR_PIN_LEN_RANGE;
    if (!validRetries(ulAdminPinRetryCount) || !validRetries(ulUserPinRetryCount))
        return SAR_INVALIDPARAMERR;
    auto session = lookupHandleAs<DeviceSession>(hDev, HandleKind::Device);
    if (!session)
        return SAR_INVALIDHANDLEERR;
    StoreTransaction txn;
    ULONG rc = txn.status();
    DeviceRecord *d = nullptr;
    if (rc == SAR_OK)
        rc = checkDevice(txn.data(), session->device, &d);
    if (rc != SAR_OK)
        return rc;
    if (d->findApplication(name))
        return SAR_APPLICATION_EXISTS;
    ApplicationRecord app;
    app.id = txn.data().takeId();
    app.name = name;
    app.createFileRights = ulCreateFileRights;
    if (!setPin(app.adminPin, adminPin, ulAdminPinRetryCount) || !setPin(app.userPin, userPin, ulUserPinRetryCount))
        return SAR_FAIL;
    const std::uint64_t appId = app.id;
    d->applications.push_back(std::move(app));
    rc = txn.commit();
    if (rc != SAR_OK)
        return rc;
    auto appSession = std::make_shared<ApplicationSession>();
    appSession->device = session->device;
    appSession->appId = appId;
    *phApplication = registerHandle(HandleKind::Application, appSession);
    return SAR_OK;
}
SKF_CHECK_TYPE(SKF_CreateApplication);

SKF_EXPORT ULONG SKF_EnumApplication(DEVHANDLE hDev, LPSTR szAppName, ULONG *pulSize)
{
    if (!pulSize)
        return SAR_INVALIDPARAMERR;
    auto session = lookupHandleAs<DeviceSession>(hDev, HandleKind::Device);
    if (!session)
        return SAR_INVALIDHANDLEERR;
    StoreData data;
    ULONG rc = Store::read(data);
    DeviceRecord *d = nullptr;
    if (rc == SAR_OK)
        rc = checkDevice(data, session->device, &d);
    if (rc != SAR_OK)
        return rc;
    std::vector<std::string> names;
    for (const auto &a : d->applications)
        names.push_back(a.name);
    return putNameList(names, szAppName, pulSize);
}
SKF_CHECK_TYPE(SKF_EnumApplication);

SKF_EXPORT ULONG SKF_DeleteApplication(DEVHANDLE hDev, LPSTR szAppName)
{
    std::string name;
    if (!szAppName)
        return SAR_INVALIDPARAMERR;
    if (!takeText(szAppName, kMaxNameBytes, name) || name.empty())
        return SAR_APPLICATION_NAME_INVALID;
    auto session = lookupHandleAs<DeviceSession>(hDev, HandleKind::Device);
    if (!session)
        return SAR_INVALIDHANDLEERR;
    StoreTransaction txn;
    ULONG rc = txn.status();
    DeviceRecord *d = nullptr;
    if (rc == SAR_OK)
        rc = checkDevice(txn.data(), session->device, &d);
    if (rc != SAR_OK)
        return rc;
    ApplicationRecord *a = d->findApplication(name);
    if (!a)
        return SAR_APPLICATION_NOT_EXISTS;
    const std::uint64_t appId = a->id;
    d->applications.erase(d->applications.begin() + (a - d->applications.data()));
    rc = txn.commit();
    if (rc == SAR_OK)
        setLoggedIn(appId, -1);
    return rc;
}
SKF_CHECK_TYPE(SKF_DeleteApplication);

SKF_EXPORT ULONG SKF_OpenApplication(DEVHANDLE hDev, LPSTR szAppName, HAPPLICATION *phApplication)
{
    std::string name;
    if (!phApplication || !szAppName)
        return SAR_INVALIDPARAMERR;
    if (!takeText(szAppName, kMaxNameBytes, name) || name.empty())
        return SAR_APPLICATION_NAME_INVALID;
    auto session = lookupHandleAs<DeviceSession>(hDev, HandleKind::Device);
    if (!session)
        return SAR_INVALIDHANDLEERR;
    StoreData data;
    ULONG rc = Store::read(data);
    DeviceRecord *d = nullptr;
    if (rc == SAR_OK)
        rc = checkDevice(data, session->device, &d);
    if (rc != SAR_OK)
        return rc;
    ApplicationRecord *a = d->findApplication(name);
    if (!a)
        return SAR_APPLICATION_NOT_EXISTS;
    auto appSession = std::make_shared<ApplicationSession>();
    appSession->device = session->device;
    appSession->appId = a->id;
    *phApplication = registerHandle(HandleKind::Application, appSession);
    return SAR_OK;
}
SKF_CHECK_TYPE(SKF_OpenApplication);

SKF_EXPORT ULONG SKF_CloseApplication(HAPPLICATION hApplication)
{
    auto session = lookupHandleAs<ApplicationSession>(hApplication, HandleKind::Application);
    if (!session || !releaseHandle(hApplication, HandleKind::Application))
        return SAR_INVALIDHANDLEERR;
    setLoggedIn(session->appId, -1);
    return SAR_OK;
}
SKF_CHECK_TYPE(SKF_CloseApplication);

SKF_EXPORT ULONG SKF_VerifyPIN(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szPIN, ULONG *pulRetryCount)
{
    if (!szPIN || !pulRetryCount)
        return SAR_INVALIDPARAMERR;
    if (ulPINType != ADMIN_TYPE && ulPINType != USER_TYPE)
        return SAR_USER_TYPE_INVALID;
    StoreTransaction txn;
    ULONG rc = txn.status();
    ApplicationRecord *a = nullptr;
    if (rc == SAR_OK)
        rc = resolveApplication(hApplication, txn.data(), nullptr, &a);
    if (rc != SAR_OK)
        return rc;
    rc = checkPin(txn, ulPINType == ADMIN_TYPE ? a->adminPin : a->userPin, szPIN, pulRetryCount);
    setLoggedIn(a->id, rc == SAR_OK ? static_cast<int>(ulPINType) : -1);
    return rc;
}
SKF_CHECK_TYPE(SKF_VerifyPIN);

SKF_EXPORT ULONG SKF_ChangePIN(HAPPLICATION hApplication, ULONG ulPINType, LPSTR szOldPin, LPSTR szNewPin,
                               ULONG *pulRetryCount)
{
    std::string newPin;
    if (!szOldPin || !szNewPin || !pulRetryCount)
        return SAR_INVALIDPARAMERR;
    if (ulPINType != ADMIN_TYPE && ulPINType != USER_TYPE)
        return SAR_USER_TYPE_INVALID;
    if (!validNewPin(szNewPin, newPin))
        return SAR_PIN_LEN_RANGE;
    StoreTransaction txn;
    ULONG rc = txn.status();
    ApplicationRecord *a = nullptr;
    if (rc == SAR_OK)
        rc = resolveApplication(hApplication, txn.data(), nullptr, &a);
    if (rc != SAR_OK)
        return rc;
    PinRecord &record = ulPINType == ADMIN_TYPE ? a->adminPin : a->userPin;
    rc = checkPin(txn, record, szOldPin, pulRetryCount);
    if (rc != SAR_OK) {
        setLoggedIn(a->id, -1);
        return rc;
    }
    if (!setPin(record, newPin, record.maxRetries))
        return SAR_FAIL;
    rc = txn.commit();
    *pulRetryCount = record.retriesLeft;
    return rc;
}
SKF_CHECK_TYPE(SKF_ChangePIN);

SKF_EXPORT ULONG SKF_UnblockPIN(HAPPLICATION hApplication, LPSTR szAdminPIN, LPSTR szNewUserPIN, ULONG *pulRetryCount)
{
    std::string newPin;
    if (!szAdminPIN || !szNewUserPIN || !pulRetryCount)
        return SAR_INVALIDPARAMERR;
    if (!validNewPin(szNewUserPIN, newPin))
        return SAR_PIN_LEN_RANGE;
    StoreTransaction txn;
    ULONG rc = txn.status();
    ApplicationRecord *a = nullptr;
    if (rc == SAR_OK)
        rc = resolveApplication(hApplication, txn.data(), nullptr, &a);
    if (rc != SAR_OK)
        return rc;
    rc = checkPin(txn, a->adminPin, szAdminPIN, pulRetryCount);
    if (rc != SAR_OK) {
        setLoggedIn(a->id, -1);
        return rc;
    }
    if (!setPin(a->userPin, newPin, a->userPin.maxRetries))
        return SAR_FAIL;
    return txn.commit();
}
SKF_CHECK_TYPE(SKF_UnblockPIN);
