// sharedlib: thin wrappers over the dynamic loader.
//
// Thread safety: as dlopen/dlsym/dlclose (safe from any thread). Ownership: a
// loaded handle belongs to the caller until SharedLib_Unload. Failure: a null
// handle or function; SharedLib_Load can hand back the loader's error text.
#pragma once

#include <string>

// dlopen(path, RTLD_NOW). On failure, when psError is given and the loader
// has an error text, that text lands in *psError.
void* SharedLib_Load(const char* pchPath, std::string* psError = nullptr);
void* SharedLib_GetFunction(void* pHandle, const char* pchName);
// dlclose's result for a handle, 0 for null.
int SharedLib_Unload(void* pHandle);
