// The path lists of a loaded registry, as the registry fuzz targets compare
// them before and after a save or a repair.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "strtools_public.h"
#include "vrpathregistry.h"

namespace fuzz_support {

struct RegistryLists {
    std::vector<std::string> runtime, config, log, drivers;
    bool operator==(const RegistryLists&) const = default;
};

// The histories and external drivers; with bCurrentFirst each of the first
// three lists starts with the registry's current path.
inline RegistryLists ListsOf(const CVRPathRegistry& registry, bool bCurrentFirst = false) {
    RegistryLists lists;
    if (bCurrentFirst) {
        lists.runtime.push_back(registry.GetRuntimePath());
        lists.config.push_back(registry.GetConfigPath());
        lists.log.push_back(registry.GetLogPath());
    }
    for (uint32_t i = 0; i < registry.GetRuntimeHistoryCount(); ++i)
        lists.runtime.push_back(registry.GetRuntimeHistoryPath(i));
    for (uint32_t i = 0; i < registry.GetConfigHistoryCount(); ++i)
        lists.config.push_back(registry.GetConfigHistoryPath(i));
    for (uint32_t i = 0; i < registry.GetLogHistoryCount(); ++i)
        lists.log.push_back(registry.GetLogHistoryPath(i));
    for (uint32_t i = 0; i < registry.GetExternalDriverCount(); ++i)
        lists.drivers.push_back(registry.GetExternalDriverPath(i));
    return lists;
}

// Whether every path is valid UTF-8: the registry is JSON text, which
// carries only such paths unchanged through a save.
inline bool IsText(const RegistryLists& lists) {
    for (const auto* pList : {&lists.runtime, &lists.config, &lists.log, &lists.drivers}) {
        for (const std::string& sPath : *pList) {
            std::string sRepaired;
            if (!RepairUTF8(sPath, sRepaired)) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace fuzz_support
