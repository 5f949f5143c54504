#include "interface_objects.h"

namespace stub_common {

CInterfaceRegistry::CInterfaceRegistry(std::vector<Kind> kinds, PFNMake pfnOther)
    : m_kinds(std::move(kinds)), m_pfnOther(pfnOther) {}

void* CInterfaceRegistry::Find(const std::string& strVersion) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::unique_ptr<CInterfaceObject>& pObject = m_objects[strVersion];
    if (!pObject) {
        PFNMake pfnMake = m_pfnOther;
        for (const Kind& kind : m_kinds) {
            if (strVersion == kind.pchVersion) {
                pfnMake = kind.pfnMake;
            }
        }
        pObject = pfnMake(strVersion);
    }
    return pObject->AsInterface();
}

}  // namespace stub_common
