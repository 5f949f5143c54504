#include "interfaces.h"

#include <map>
#include <memory>
#include <mutex>

#include "host_client.h"
#include "interface_objects.h"
#include "quill_api.h"

namespace quill_stub {

using lattice_proto::CWireReader;
using lattice_proto::CWireWriter;
using lattice_proto::Frame;

namespace {

CHostClient& Host() {
    return CHostClient::Get();
}

// Strings handed to callers live here until the same method is called again on
// the same thread, or the thread releases its memory.
enum EStringKey { Key_Language, Key_DisplayName, Key_Count };
thread_local std::string tl_strings[Key_Count];

const char* KeepString(EStringKey eKey, std::string strValue) {
    std::string& strSlot = tl_strings[eKey];
    strSlot = std::move(strValue);
    return strSlot.c_str();
}

// A call within the current initialisation whose answer is one value; the
// fallback when there is no initialisation, the host client refused or the
// answer is malformed.
template <typename T>
T Ask(lattice_proto::EOp eOp, const CWireWriter& args, T (CWireReader::*pfnRead)(), T fallback) {
    Frame reply;
    if (!Host().SessionCall(eOp, args, reply)) {
        return fallback;
    }
    CWireReader reader(reply.payload);
    T value = (reader.*pfnRead)();
    return reader.Ok() ? value : fallback;
}

// A method call that answers nothing.
void Notify(lattice_proto::EOp eOp, const CWireWriter& args = CWireWriter()) {
    Frame reply;
    Host().SessionCall(eOp, args, reply);
}

void ReportUnexpected(const char* pchInterface, int nSlot) {
    Host().ReportUnexpected(pchInterface, nSlot);
}

template <typename TInterface>
using CInterfaceImpl = stub_common::CInterfaceImpl<TInterface, &ReportUnexpected>;

class CUtilsImpl final : public CInterfaceImpl<IQuillUtils> {
public:
    using CInterfaceImpl::CInterfaceImpl;

    uint32_t GetAppId() override {
        return Ask(lattice_proto::Op_Q_UtilsAppId, CWireWriter(), &CWireReader::U32, 0u);
    }

    const char* GetUiLanguage() override {
        return KeepString(Key_Language, Ask(lattice_proto::Op_Q_UtilsLanguage, CWireWriter(),
                                            &CWireReader::Str, std::string()));
    }

    void RequestDashboardStart() override { Notify(lattice_proto::Op_Q_UtilsStartDashboard); }
};

class CUserImpl final : public CInterfaceImpl<IQuillUser> {
public:
    using CInterfaceImpl::CInterfaceImpl;

    uint64_t GetUserId() override {
        return Ask(lattice_proto::Op_Q_UserId, CWireWriter(), &CWireReader::U64, uint64_t{0});
    }
};

class CFriendsImpl final : public CInterfaceImpl<IQuillFriends> {
public:
    using CInterfaceImpl::CInterfaceImpl;

    const char* GetDisplayName() override {
        return KeepString(Key_DisplayName, Ask(lattice_proto::Op_Q_FriendsPersonaName,
                                               CWireWriter(), &CWireReader::Str, std::string()));
    }
};

class CScreenshotsImpl final : public CInterfaceImpl<IQuillScreenshots> {
public:
    using CInterfaceImpl::CInterfaceImpl;

    uint32_t AddScreenshotPair(int32_t nType, const char* pchFirstFile,
                               const char* pchSecondFile) override {
        CWireWriter args;
        args.I32(nType);
        args.Str(pchFirstFile ? pchFirstFile : "");
        args.Str(pchSecondFile ? pchSecondFile : "");
        return Ask(lattice_proto::Op_Q_ScreenshotAdd, args, &CWireReader::U32, 0u);
    }
};

class CPrivate001Impl final : public CInterfaceImpl<IQuillOrreryPrivate001> {
public:
    using CInterfaceImpl::CInterfaceImpl;
    void StartHalyard() override { Start(m_strVersion); }
    void SetVRConnectionParams(const char* pchParams) override {
        ConnectionParams(m_strVersion, pchParams);
    }

    static void Start(const std::string& strVersion) {
        CWireWriter args;
        args.Str(strVersion);
        Notify(lattice_proto::Op_Q_PrivateStart, args);
    }
    static void ConnectionParams(const std::string& strVersion, const char* pchParams) {
        CWireWriter args;
        args.Str(strVersion);
        args.Str(pchParams ? pchParams : "");
        Notify(lattice_proto::Op_Q_PrivateConnectionParams, args);
    }
};

class CPrivate002Impl final : public CInterfaceImpl<IQuillOrreryPrivate002> {
public:
    using CInterfaceImpl::CInterfaceImpl;
    void StartHalyard() override { CPrivate001Impl::Start(m_strVersion); }
    void SetVRConnectionParams(const char* pchParams) override {
        CPrivate001Impl::ConnectionParams(m_strVersion, pchParams);
    }
    bool InviteWirelessHeadsetToConnect(uint64_t ulHeadsetId) override {
        CWireWriter args;
        args.U64(ulHeadsetId);
        return Ask(lattice_proto::Op_Q_PrivateInvite, args, &CWireReader::Bool, false);
    }
};

// The shape handed out for versions the host client serves that this library
// has no methods for: a caller that calls into one reaches a slot that is
// recorded as unexpected and answers 0, never this library's own destructor.
class IQuillUnknownInterface {
public:
    QUILL_UNUSED_SLOTS_0_8
    QUILL_UNUSED_SLOT(9)
    QUILL_UNUSED_SLOTS_10_15

protected:
    ~IQuillUnknownInterface() = default;
};

}  // namespace

void* FindInterfaceObject(const std::string& strVersion) {
    using stub_common::MakeObject;
    // Leaked on purpose: pointers handed out must outlive every caller.
    static auto* s_pRegistry = new stub_common::CInterfaceRegistry(
        {
            {QUILLUTILS_INTERFACE_VERSION, &MakeObject<CUtilsImpl>},
            {QUILLUSER_INTERFACE_VERSION, &MakeObject<CUserImpl>},
            {QUILLFRIENDS_INTERFACE_VERSION, &MakeObject<CFriendsImpl>},
            {QUILLSCREENSHOTS_INTERFACE_VERSION, &MakeObject<CScreenshotsImpl>},
            {QUILLORRERYPRIVATE001_INTERFACE_VERSION, &MakeObject<CPrivate001Impl>},
            {QUILLORRERYPRIVATE002_INTERFACE_VERSION, &MakeObject<CPrivate002Impl>},
        },
        &MakeObject<CInterfaceImpl<IQuillUnknownInterface>>);
    return s_pRegistry->Find(strVersion);
}

void ReleaseThreadStrings() {
    for (std::string& str : tl_strings) {
        std::string().swap(str);
    }
}

}  // namespace quill_stub
