// POSIX implementation of the dynamic libraries of the platform contract
// (platform.h): dlopen and dlsym.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "platform.h"

namespace ulmot::plat {

Library *LoadLibrary(const char *name) {
    if (name == nullptr || std::strlen(name) > kLibraryNameMax) return nullptr;
    char file[kLibraryNameMax + sizeof "lib.so"];
    std::snprintf(file, sizeof file, "lib%s.so", name);
    // RTLD_LOCAL: the library's symbols do not take part in the resolution of
    // other libraries loaded later. The handle is never closed.
    return static_cast<Library *>(dlopen(file, RTLD_NOW | RTLD_LOCAL));
}

Procedure GetProcedure(Library *library, const char *symbol) {
    if (library == nullptr || symbol == nullptr) return nullptr;
    void *address = dlsym(library, symbol);
    // POSIX guarantees that a function's address found by dlsym converts to
    // a function pointer; copy the bits rather than cast between object and
    // function pointers.
    Procedure procedure = nullptr;
    static_assert(sizeof procedure == sizeof address);
    std::memcpy(&procedure, &address, sizeof procedure);
    return procedure;
}

}  // namespace ulmot::plat
