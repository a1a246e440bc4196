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
// and check it against its function type from skfapi.h with SKF_CHECK_TYPE(SKF_Name).

#include <new>
#include <type_traits>

#include "skfapi.h"

#define SKF_EXPORT extern "C" __attribute__((visibility("default")))
#define SKF_CHECK_TYPE(name) \
    static_assert(std::is_same<decltype(name), name##_Fn>::value, #name " has the interface's type")

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
