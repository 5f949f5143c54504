#include "envvars.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "strtools_public.h"

std::string GetEnvironmentVariable(const char* pchName) {
    if (!pchName) {
        return std::string();
    }
    const char* pchValue = getenv(pchName);
    return pchValue ? std::string(pchValue) : std::string();
}

bool SetEnvironmentVariable(const char* pchName, const char* pchValue) {
    if (!pchName) {
        return false;
    }
    if (pchValue) {
        return setenv(pchName, pchValue, 1) == 0;
    }
    return unsetenv(pchName) == 0;
}

bool GetEnvironmentVariableAsBool(const char* pchName, bool bDefault) {
    std::string sValue = GetEnvironmentVariable(pchName);
    if (sValue.empty()) {
        return bDefault;
    }
    sValue = StringToLower(sValue);
    if (sValue == "y" || sValue == "yes" || sValue == "true") {
        return true;
    }
    if (sValue == "n" || sValue == "no" || sValue == "false") {
        return false;
    }
    if (sValue[0] >= '0' && sValue[0] <= '9') {
        return static_cast<int32_t>(strtol(sValue.c_str(), nullptr, 10)) != 0;
    }
    fprintf(stderr,
            "GetEnvironmentVariableAsBool(%s): Unable to parse value '%s', using default %d\n",
            pchName, sValue.c_str(), bDefault ? 1 : 0);
    return bDefault;
}
