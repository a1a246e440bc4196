// SKF container calls: enumerate, open and close containers, their type and certificates.

#include <memory>

#include "session.h"
#include "skf_export.h"
#include "skf_util.h"
#include "store.h"

using namespace mvtoken;

namespace {

// The container of a container handle in the current store.
ULONG readContainer(HCONTAINER hContainer, StoreData &data, ContainerRecord **container)
{
    const ULONG rc = Store::read(data);
    return rc == SAR_OK ? resolveContainer(hContainer, data, nullptr, nullptr, container) : rc;
}

} // namespace

SKF_EXPORT ULONG SKF_EnumContainer(HAPPLICATION hApplication, LPSTR szContainerName, ULONG *pulSize)
try {
    if (!pulSize)
        return SAR_INVALIDPARAMERR;
    StoreData data;
    ULONG rc = Store::read(data);
    ApplicationRecord *a = nullptr;
    if (rc == SAR_OK)
        rc = resolveApplication(hApplication, data, nullptr, &a);
    if (rc != SAR_OK)
        return rc;
    std::vector<std::string> names;
    for (const auto &c : a->containers)
        names.push_back(c.name);
    return putNameList(names, szContainerName, pulSize);
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_EnumContainer);

SKF_EXPORT ULONG SKF_OpenContainer(HAPPLICATION hApplication, LPSTR szContainerName, HCONTAINER *phContainer)
try {
    std::string name;
    if (!phContainer || !szContainerName)
        return SAR_INVALIDPARAMERR;
    if (!takeText(szContainerName, kMaxNameBytes, name) || name.empty())
        return SAR_NAMELENERR;
    StoreData data;
    ULONG rc = Store::read(data);
    DeviceRecord *d = nullptr;
    ApplicationRecord *a = nullptr;
    if (rc == SAR_OK)
        rc = resolveApplication(hApplication, data, &d, &a);
    if (rc != SAR_OK)
        return rc;
    ContainerRecord *c = a->findContainer(name);
    if (!c)
        return SAR_FILE_NOT_EXIST;
    auto session = std::make_shared<ContainerSession>();
    session->device = refOf(data, *d);
    session->appId = a->id;
    session->containerId = c->id;
    *phContainer = registerHandle(HandleKind::Container, session);
    return SAR_OK;
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_OpenContainer);

SKF_EXPORT ULONG SKF_CloseContainer(HCONTAINER hContainer)
try {
    return releaseHandle(hContainer, HandleKind::Container) ? SAR_OK : SAR_INVALIDHANDLEERR;
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_CloseContainer);

SKF_EXPORT ULONG SKF_GetContainerType(HCONTAINER hContainer, ULONG *pulContainerType)
try {
    if (!pulContainerType)
        return SAR_INVALIDPARAMERR;
    StoreData data;
    ContainerRecord *c = nullptr;
    const ULONG rc = readContainer(hContainer, data, &c);
    if (rc != SAR_OK)
        return rc;
    *pulContainerType = static_cast<ULONG>(c->kind);
    return SAR_OK;
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_GetContainerType);

SKF_EXPORT ULONG SKF_ExportCertificate(HCONTAINER hContainer, BOOL bSignFlag, BYTE *pbCert, ULONG *pulCertLen)
try {
    if (!pulCertLen)
        return SAR_INVALIDPARAMERR;
    StoreData data;
    ContainerRecord *c = nullptr;
    const ULONG rc = readContainer(hContainer, data, &c);
    if (rc != SAR_OK)
        return rc;
    const std::string &cert = bSignFlag ? c->signCertDer : c->encCertDer;
    if (cert.empty())
        return SAR_CERTNOTFOUNTERR;
    return putBytes(cert, pbCert, pulCertLen);
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_ExportCertificate);
