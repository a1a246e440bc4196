// SKF device calls: enumeration, connection, device information and label.

#include <algorithm>
#include <cstring>
#include <memory>

#include "session.h"
#include "skf_export.h"
#include "skf_util.h"
#include "store.h"

using namespace mvtoken;

SKF_EXPORT ULONG SKF_EnumDev(BOOL bPresent, LPSTR szNameList, ULONG *pulSize)
try {
    if (!pulSize)
        return SAR_INVALIDPARAMERR;
    StoreData data;
    ULONG rc = Store::read(data);
    if (rc != SAR_OK)
        return rc;
    std::vector<std::string> names;
    for (const auto &d : data.devices)
        if (d.present || !bPresent)
            names.push_back(d.name);
    return putNameList(names, szNameList, pulSize);
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_EnumDev);

SKF_EXPORT ULONG SKF_ConnectDev(LPSTR szName, DEVHANDLE *phDev)
try {
    std::string name;
    if (!phDev || !takeText(szName, kMaxNameBytes, name) || name.empty())
        return SAR_INVALIDPARAMERR;
    StoreData data;
    ULONG rc = Store::read(data);
    if (rc != SAR_OK)
        return rc;
    DeviceRecord *d = data.findDevice(name);
    if (!d || !d->present)
        return SAR_DEVICE_REMOVED;
    auto session = std::make_shared<DeviceSession>();
    session->device = refOf(data, *d);
    *phDev = registerHandle(HandleKind::Device, session);
    return SAR_OK;
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_ConnectDev);

SKF_EXPORT ULONG SKF_GetDevInfo(DEVHANDLE hDev, DEVINFO *pDevInfo)
try {
    if (!pDevInfo)
        return SAR_INVALIDPARAMERR;
    StoreData data;
    DeviceRecord *d = nullptr;
    const ULONG rc = resolveDeviceHandle(hDev, Store::read(data), data, &d);
    if (rc != SAR_OK)
        return rc;
    DEVINFO info;
    memset(&info, 0, sizeof info);
    info.Version = VERSION{1, 0};
    memcpy(info.Manufacturer, d->manufacturer.data(), std::min(d->manufacturer.size(), sizeof info.Manufacturer));
    static const char issuer[] = "Mirvale token stand-in";
    memcpy(info.Issuer, issuer, sizeof issuer);
    memcpy(info.Label, d->label.data(), std::min(d->label.size(), sizeof info.Label));
    memcpy(info.SerialNumber, d->serialNumber.data(), std::min(d->serialNumber.size(), sizeof info.SerialNumber));
    info.HWVersion = VERSION{1, 0};
    info.FirmwareVersion = VERSION{1, 0};
    info.AlgSymCap = SGD_SM1_ECB;
    info.AlgAsymCap = 0x00010000UL | 0x00020100UL; // RSA, SM2 signature
    info.AlgHashCap = SGD_SM3;
    info.DevAuthAlgId = SGD_SM1_ECB;
    info.TotalSpace = 64 * 1024;
    const size_t used = Store::serialize(data).size();
    info.FreeSpace = used < info.TotalSpace ? info.TotalSpace - used : 0;
    *pDevInfo = info;
    return SAR_OK;
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_GetDevInfo);

SKF_EXPORT ULONG SKF_SetLabel(DEVHANDLE hDev, LPSTR szLabel)
try {
    std::string label;
    if (!szLabel)
        return SAR_INVALIDPARAMERR;
    if (!takeText(szLabel, sizeof(DEVINFO::Label), label))
        return SAR_NAMELENERR;
    StoreTransaction txn;
    DeviceRecord *d = nullptr;
    const ULONG rc = resolveDeviceHandle(hDev, txn.status(), txn.data(), &d);
    if (rc != SAR_OK)
        return rc;
    d->label = label;
    return txn.commit();
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_SetLabel);
