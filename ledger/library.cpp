#include "library.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <errno.h>
#include <mutex>

namespace {

// The libraries loaded: few, each once.
struct Loaded {
    const char *soname;
    void *handle;
};
Loaded loaded[4];
std::mutex guard;

void *Handle(const char *soname, const char **why)
{
    std::lock_guard<std::mutex> lock(guard);
    for (const Loaded &each : loaded)
        if (each.soname != nullptr && std::strcmp(each.soname, soname) == 0)
            return each.handle;
    void *handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        *why = dlerror();
        return nullptr;
    }
    for (Loaded &each : loaded)
        if (each.soname == nullptr) {
            each = {soname, handle};
            break;
        }
    return handle;
}

} // namespace

bool Library_load(const char *soname, Fault &fault)
{
    const char *why = "";
    return Handle(soname, &why) != nullptr || Fault_fail(fault, "", "%s", why); // why names the library
}

void *Library_function(const char *soname, const char *name)
{
    const char *why = "";
    void *handle = Handle(soname, &why);
    void *function = handle != nullptr ? dlsym(handle, name) : nullptr;
    if (function == nullptr) {
        std::fprintf(stderr, "%s: %s: %s\n", program_invocation_short_name, name, handle != nullptr ? dlerror() : why);
        std::abort(); // a library of the package's that is not there
    }
    return function;
}
