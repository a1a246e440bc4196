#ifndef SKFLIBRARY_H
#define SKFLIBRARY_H

#include <QByteArray>
#include <QString>

#include <dlfcn.h>

#include "skfapi.h"

// Binding the token library and resolving its functions: the one place where the
// program calls the loader for the token library.
namespace SkfLibrary {

// One token function: its name and its function type, spelled once with
// SKF_FUNCTION(SKF_Name), so that a name cannot be paired with another function's type.
template <typename Fn>
struct Function {
    const char *name;
};

// Looks the function up by name in the library, anew at every call (nothing is cached);
// null when the library lacks it.
template <typename Fn>
Fn *resolve(void *lib, Function<Fn> function)
{
    return reinterpret_cast<Fn *>(dlsym(lib, function.name));
}

template <typename Fn>
bool provides(void *lib, Function<Fn> function)
{
    return resolve(lib, function) != nullptr;
}

// The program's directory, then "/../mvukeytool/libSKFAPI.so".
QString path();

// Opens the token library file, its path encoded as the file system encodes names
// (QFile::encodeName), lazy and global; a library already bound is found again.
// On failure writes one debug line, `failureText`, the loader's error text and
// `afterError` when given, and gives null.
void *bind(const QString &file, const char *failureText, const char *afterError = nullptr);

// A page's own binding of the library at path().
void *bindForPage();

// The loader's error text of the last failed call, or empty; the text is released at once
// (a thread that ends with an error text pending leaves it allocated).
QByteArray takeLoaderError();

// The first name of the present devices, or empty.
QString firstPresentDevice(void *lib);

} // namespace SkfLibrary

#define SKF_FUNCTION(name) (SkfLibrary::Function<name##_Fn>{#name})

#endif // SKFLIBRARY_H
