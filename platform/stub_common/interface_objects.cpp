#include "interface_objects.h"

namespace stub_common {

CInterfaceRegistry::CInterfaceRegistry(std::vector<Kind> kinds, PFNMake pfnOther)
    : m_kinds(std::move(kinds)), m_pfnOther(pfnOther) {}

void* CInterfaceRegistry::Find(std::string_view version) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_objects.find(version);
    if (it == m_objects.end()) {
        std::string strVersion(version);
        PFNMake pfnMake = m_pfnOther;
        for (const Kind& kind : m_kinds) {
            if (strVersion == kind.pchVersion) {
                pfnMake = kind.pfnMake;
            }
        }
        it = m_objects.emplace(strVersion, pfnMake(strVersion)).first;
    }
    return it->second->AsInterface();
}

}  // namespace stub_common
