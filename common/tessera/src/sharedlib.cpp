#include "sharedlib.h"

#include <dlfcn.h>

void* SharedLib_Load(const char* pchPath, std::string* psError) {
    void* pHandle = dlopen(pchPath, RTLD_NOW);
    if (!pHandle && psError) {
        if (const char* pchError = dlerror()) {
            *psError = pchError;
        }
    }
    return pHandle;
}

void* SharedLib_GetFunction(void* pHandle, const char* pchName) {
    return dlsym(pHandle, pchName);
}

int SharedLib_Unload(void* pHandle) {
    return pHandle ? dlclose(pHandle) : 0;
}
