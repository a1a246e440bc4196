// A scripted token library (see fakeskf_state.h) for what the real stand-in never does:
// chosen results and retry counts, no stored handle, over-long reported lengths, and,
// built with FAKESKF_WITHOUT_VERIFYPIN or FAKESKF_WITHOUT_CHANGEPIN, a missing PIN function.

#include <cstring>

#include "fakeskf_state.h"

namespace {

FakeSkfState g_state;
char g_handleTarget;

void *fakeHandle()
{
    return &g_handleTarget;
}

ULONG record(const char *function)
{
    g_state.calls++;
    strncpy(g_state.function, function, sizeof g_state.function - 1);
    return g_state.result;
}

void recordName(const char *name)
{
    memset(g_state.name, 0, sizeof g_state.name);
    if (name)
        strncpy(g_state.name, name, sizeof g_state.name - 1);
}

ULONG nameList(const char *function, void *h, LPSTR list, ULONG *size)
{
    g_state.handle = h;
    g_state.bufferSize = *size;
    memcpy(list, g_state.names, g_state.namesLength < *size ? g_state.namesLength : *size);
    *size = g_state.reportedLength ? g_state.reportedLength : g_state.namesLength;
    return record(function);
}

} // namespace

SKF_EXPORT FakeSkfState *fakeskf_state()
{
    return &g_state;
}

SKF_EXPORT ULONG SKF_EnumDev(BOOL, LPSTR list, ULONG *size)
{
    return nameList("SKF_EnumDev", nullptr, list, size);
}
SKF_CHECK_TYPE(SKF_EnumDev);

SKF_EXPORT ULONG SKF_EnumApplication(DEVHANDLE h, LPSTR list, ULONG *size)
{
    return nameList("SKF_EnumApplication", h, list, size);
}
SKF_CHECK_TYPE(SKF_EnumApplication);

SKF_EXPORT ULONG SKF_EnumContainer(HAPPLICATION h, LPSTR list, ULONG *size)
{
    return nameList("SKF_EnumContainer", h, list, size);
}
SKF_CHECK_TYPE(SKF_EnumContainer);

SKF_EXPORT ULONG SKF_ConnectDev(LPSTR name, DEVHANDLE *ph)
{
    recordName(name);
    if (g_state.storeHandle)
        *ph = fakeHandle();
    return record("SKF_ConnectDev");
}
SKF_CHECK_TYPE(SKF_ConnectDev);

SKF_EXPORT ULONG SKF_OpenApplication(DEVHANDLE h, LPSTR name, HAPPLICATION *ph)
{
    g_state.handle = h;
    memcpy(g_state.appName, name, sizeof g_state.appName);
    if (g_state.storeHandle)
        *ph = fakeHandle();
    return record("SKF_OpenApplication");
}
SKF_CHECK_TYPE(SKF_OpenApplication);

SKF_EXPORT ULONG SKF_OpenContainer(HAPPLICATION h, LPSTR name, HCONTAINER *ph)
{
    g_state.handle = h;
    recordName(name);
    if (g_state.storeHandle)
        *ph = fakeHandle();
    return record("SKF_OpenContainer");
}
SKF_CHECK_TYPE(SKF_OpenContainer);

SKF_EXPORT ULONG SKF_CloseContainer(HCONTAINER h)
{
    g_state.handle = h;
    return record("SKF_CloseContainer");
}
SKF_CHECK_TYPE(SKF_CloseContainer);

SKF_EXPORT ULONG SKF_CloseApplication(HAPPLICATION h)
{
    g_state.handle = h;
    return record("SKF_CloseApplication");
}
SKF_CHECK_TYPE(SKF_CloseApplication);

SKF_EXPORT ULONG SKF_ExportCertificate(HCONTAINER h, BOOL sign, BYTE *cert, ULONG *len)
{
    g_state.handle = h;
    g_state.sign = sign;
    g_state.bufferSize = *len;
    memcpy(cert, g_state.cert, g_state.certLength < *len ? g_state.certLength : *len);
    *len = g_state.reportedCertLength ? g_state.reportedCertLength : g_state.certLength;
    return record("SKF_ExportCertificate");
}
SKF_CHECK_TYPE(SKF_ExportCertificate);

#ifndef FAKESKF_WITHOUT_VERIFYPIN
SKF_EXPORT ULONG SKF_VerifyPIN(HAPPLICATION h, ULONG type, LPSTR pin, ULONG *retries)
{
    g_state.handle = h;
    g_state.type = type;
    memcpy(g_state.pin, pin, sizeof g_state.pin);
    *retries = g_state.retries;
    return record("SKF_VerifyPIN");
}
SKF_CHECK_TYPE(SKF_VerifyPIN);
#endif

#ifndef FAKESKF_WITHOUT_CHANGEPIN
SKF_EXPORT ULONG SKF_ChangePIN(HAPPLICATION h, ULONG type, LPSTR oldPin, LPSTR newPin, ULONG *retries)
{
    g_state.handle = h;
    g_state.type = type;
    memcpy(g_state.pin, oldPin, sizeof g_state.pin);
    memcpy(g_state.pin2, newPin, sizeof g_state.pin2);
    *retries = g_state.retries;
    return record("SKF_ChangePIN");
}
SKF_CHECK_TYPE(SKF_ChangePIN);
#endif

SKF_EXPORT ULONG SKF_UnblockPIN(HAPPLICATION h, LPSTR adminPin, LPSTR userPin, ULONG *retries)
{
    g_state.handle = h;
    memcpy(g_state.pin, adminPin, sizeof g_state.pin);
    memcpy(g_state.pin2, userPin, sizeof g_state.pin2);
    *retries = g_state.retries;
    return record("SKF_UnblockPIN");
}
SKF_CHECK_TYPE(SKF_UnblockPIN);

SKF_EXPORT ULONG SKF_GetDevInfo(DEVHANDLE h, DEVINFO *info)
{
    g_state.handle = h;
    *info = g_state.devInfo;
    return record("SKF_GetDevInfo");
}
SKF_CHECK_TYPE(SKF_GetDevInfo);

SKF_EXPORT ULONG SKF_GetContainerType(HCONTAINER h, ULONG *type)
{
    g_state.handle = h;
    *type = g_state.containerType;
    return record("SKF_GetContainerType");
}
SKF_CHECK_TYPE(SKF_GetContainerType);

SKF_EXPORT ULONG SKF_SetLabel(DEVHANDLE h, LPSTR label)
{
    g_state.handle = h;
    recordName(label);
    return record("SKF_SetLabel");
}
SKF_CHECK_TYPE(SKF_SetLabel);

SKF_EXPORT ULONG SKF_DeleteApplication(DEVHANDLE h, LPSTR name)
{
    g_state.handle = h;
    recordName(name);
    return record("SKF_DeleteApplication");
}
SKF_CHECK_TYPE(SKF_DeleteApplication);

SKF_EXPORT ULONG SKF_CreateApplication(DEVHANDLE h, LPSTR name, LPSTR adminPin, ULONG adminRetries, LPSTR userPin,
                                        ULONG userRetries, ULONG rights, HAPPLICATION *ph)
{
    g_state.handle = h;
    recordName(name);
    memcpy(g_state.pin, adminPin, sizeof g_state.pin);
    memcpy(g_state.pin2, userPin, sizeof g_state.pin2);
    g_state.adminRetries = adminRetries;
    g_state.userRetries = userRetries;
    g_state.rights = rights;
    if (g_state.storeHandle)
        *ph = fakeHandle();
    return record("SKF_CreateApplication");
}
SKF_CHECK_TYPE(SKF_CreateApplication);
