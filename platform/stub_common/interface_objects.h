// interface_objects: what both stand-in libraries make their interface
// objects from. Each library hands out one object per interface version
// string, made on first request and kept for the life of the process, whose
// methods forward to lattice-sim.
//
// An interface declares the positions clients of this runtime never call as
// Unused<N> placeholders. CInterfaceImpl defines every placeholder an
// interface may have: where the interface has Unused<N>, the definition
// overrides it and records an unexpected call; where it has none, it is an
// ordinary member nobody calls. So an implementation lists only the methods
// it serves.
//
// Thread safety: CInterfaceRegistry::Find may be called from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace stub_common {

// Records the call of placeholder nSlot of interface pchInterface in the
// simulator's journal.
using PFNReportUnexpected = void (*)(const char* pchInterface, int nSlot);

class CInterfaceObject {
public:
    explicit CInterfaceObject(std::string strVersion) : m_strVersion(std::move(strVersion)) {}
    virtual ~CInterfaceObject() = default;
    // The object as the interface it implements.
    virtual void* AsInterface() = 0;

protected:
    std::string m_strVersion;
};

// No member here is marked override: an UnusedN defined for an interface
// without that placeholder overrides nothing, and must not be marked.
#define STUB_COMMON_UNUSED_IMPL(n)                \
    uint64_t Unused##n() {                        \
        pfnReport(this->m_strVersion.c_str(), n); \
        return 0;                                 \
    }

template <typename TInterface, PFNReportUnexpected pfnReport>
class CInterfaceImpl : public CInterfaceObject, public TInterface {
public:
    using CInterfaceObject::CInterfaceObject;
    void* AsInterface() { return static_cast<TInterface*>(this); }

    // clang-format off
    STUB_COMMON_UNUSED_IMPL(0) STUB_COMMON_UNUSED_IMPL(1) STUB_COMMON_UNUSED_IMPL(2)
    STUB_COMMON_UNUSED_IMPL(3) STUB_COMMON_UNUSED_IMPL(4) STUB_COMMON_UNUSED_IMPL(5)
    STUB_COMMON_UNUSED_IMPL(6) STUB_COMMON_UNUSED_IMPL(7) STUB_COMMON_UNUSED_IMPL(8)
    STUB_COMMON_UNUSED_IMPL(9) STUB_COMMON_UNUSED_IMPL(10) STUB_COMMON_UNUSED_IMPL(11)
    STUB_COMMON_UNUSED_IMPL(12) STUB_COMMON_UNUSED_IMPL(13) STUB_COMMON_UNUSED_IMPL(14)
    STUB_COMMON_UNUSED_IMPL(15) STUB_COMMON_UNUSED_IMPL(16) STUB_COMMON_UNUSED_IMPL(17)
    STUB_COMMON_UNUSED_IMPL(18) STUB_COMMON_UNUSED_IMPL(19) STUB_COMMON_UNUSED_IMPL(20)
    STUB_COMMON_UNUSED_IMPL(21) STUB_COMMON_UNUSED_IMPL(22) STUB_COMMON_UNUSED_IMPL(23)
    STUB_COMMON_UNUSED_IMPL(24) STUB_COMMON_UNUSED_IMPL(25) STUB_COMMON_UNUSED_IMPL(26)
    STUB_COMMON_UNUSED_IMPL(27) STUB_COMMON_UNUSED_IMPL(28) STUB_COMMON_UNUSED_IMPL(29)
    STUB_COMMON_UNUSED_IMPL(30) STUB_COMMON_UNUSED_IMPL(31)
    // clang-format on
};

#undef STUB_COMMON_UNUSED_IMPL

class CInterfaceRegistry {
public:
    using PFNMake = std::unique_ptr<CInterfaceObject> (*)(const std::string& strVersion);
    struct Kind {
        const char* pchVersion;
        PFNMake pfnMake;
    };

    // kinds: the versions with an implementation of their own; pfnOther
    // makes the object for any other version.
    CInterfaceRegistry(std::vector<Kind> kinds, PFNMake pfnOther);

    // The object for a version string, as its interface; never null.
    // Looked up without building a string: every console line asks.
    void* Find(std::string_view version);

private:
    const std::vector<Kind> m_kinds;
    const PFNMake m_pfnOther;
    std::mutex m_mutex;
    std::map<std::string, std::unique_ptr<CInterfaceObject>, std::less<>> m_objects;
};

template <typename TObject>
std::unique_ptr<CInterfaceObject> MakeObject(const std::string& strVersion) {
    return std::make_unique<TObject>(strVersion);
}

}  // namespace stub_common
