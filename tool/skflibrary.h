#ifndef SKFLIBRARY_H
#define SKFLIBRARY_H

#include <QString>

// The token library's binding place beside the program, and the binding that each page
// makes for itself with a handle of its own.
namespace SkfLibrary {

// The program's directory, then "/../mvukeytool/libSKFAPI.so".
QString path();

// Opens the library at path() (lazy, global). On failure writes the loader's error to
// the debug log and gives null.
void *bindForPage();

// The first name of the present devices, or empty.
QString firstPresentDevice(void *lib);

} // namespace SkfLibrary

#endif // SKFLIBRARY_H
