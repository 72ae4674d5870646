// POSIX implementation of the dynamic libraries of the platform contract
// (platform.h): dlopen (dlmopen into the base namespace on glibc) and dlsym.
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
#ifdef __GLIBC__
    // The loader searches the RUNPATH of the object that calls it, which
    // should be libulmot (its own directory, where the platform-support
    // library is installed). A dlopen that another library interposes (the
    // sanitizers' runtimes do) is that library's call, and libulmot's RUNPATH
    // is then not searched; dlmopen into the program's own namespace is the
    // same load, and nothing interposes it.
    return static_cast<Library *>(dlmopen(LM_ID_BASE, file, RTLD_NOW | RTLD_LOCAL));
#else
    return static_cast<Library *>(dlopen(file, RTLD_NOW | RTLD_LOCAL));
#endif
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
