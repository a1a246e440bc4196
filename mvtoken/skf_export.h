#ifndef MVTOKEN_SKF_EXPORT_H
#define MVTOKEN_SKF_EXPORT_H

// The stand-in library is built with hidden visibility: only the SKF entry points are
// exported. Define each one as a guard that no exception leaves:
//   SKF_EXPORT ULONG SKF_Name(...)
//   try {
//       ...
//   } catch (...) {
//       return mvtoken::exceptionResult();
//   }
// and check it against its function type with SKF_CHECK_TYPE(SKF_Name) (both from skfapi.h).

#include <new>

#include "skfapi.h"

namespace mvtoken {

// The result code of the exception being handled: the C caller gets a code, never the
// exception.
inline ULONG exceptionResult() noexcept
{
    try {
        throw;
    } catch (const std::bad_alloc &) {
        return SAR_MEMORYERR;
    } catch (...) {
        return SAR_FAIL;
    }
}

} // namespace mvtoken

#endif // MVTOKEN_SKF_EXPORT_H
