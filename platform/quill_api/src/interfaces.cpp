#include "interfaces.h"

#include <map>
#include <memory>
#include <mutex>

#include "host_client.h"
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

class CInterfaceBase {
public:
    explicit CInterfaceBase(std::string strVersion) : m_strVersion(std::move(strVersion)) {}
    virtual ~CInterfaceBase() = default;
    virtual void* AsInterface() = 0;

protected:
    uint64_t Unexpected(int nSlot) {
        Host().ReportUnexpected(m_strVersion.c_str(), nSlot);
        return 0;
    }
    // A method call that answers nothing.
    void Notify(lattice_proto::EOp eOp, const CWireWriter& args = CWireWriter()) {
        Frame reply;
        Host().SessionCall(eOp, args, reply);
    }
    std::string m_strVersion;
};

template <typename TInterface>
class CInterfaceImpl : public CInterfaceBase, public TInterface {
public:
    using CInterfaceBase::CInterfaceBase;
    void* AsInterface() override { return static_cast<TInterface*>(this); }
};

#define QUILL_UNUSED_IMPL(n)        \
    uint64_t Unused##n() override { \
        return Unexpected(n);       \
    }

class CUtilsImpl final : public CInterfaceImpl<IQuillUtils> {
public:
    using CInterfaceImpl::CInterfaceImpl;
    QUILL_UNUSED_IMPL(0)
    QUILL_UNUSED_IMPL(1)
    QUILL_UNUSED_IMPL(2)
    QUILL_UNUSED_IMPL(3)
    QUILL_UNUSED_IMPL(4)
    QUILL_UNUSED_IMPL(5)
    QUILL_UNUSED_IMPL(6)
    QUILL_UNUSED_IMPL(7)
    QUILL_UNUSED_IMPL(8)
    QUILL_UNUSED_IMPL(10)
    QUILL_UNUSED_IMPL(11)
    QUILL_UNUSED_IMPL(12)
    QUILL_UNUSED_IMPL(13)
    QUILL_UNUSED_IMPL(14)
    QUILL_UNUSED_IMPL(15)
    QUILL_UNUSED_IMPL(16)
    QUILL_UNUSED_IMPL(17)
    QUILL_UNUSED_IMPL(18)
    QUILL_UNUSED_IMPL(19)
    QUILL_UNUSED_IMPL(20)
    QUILL_UNUSED_IMPL(21)
    QUILL_UNUSED_IMPL(22)
    QUILL_UNUSED_IMPL(24)
    QUILL_UNUSED_IMPL(25)
    QUILL_UNUSED_IMPL(26)

    uint32_t GetAppId() override {
        Frame reply;
        if (!Host().SessionCall(lattice_proto::Op_Q_UtilsAppId, CWireWriter(), reply)) {
            return 0;
        }
        CWireReader reader(reply.payload);
        uint32_t unAppId = reader.U32();
        return reader.Ok() ? unAppId : 0;
    }

    const char* GetUiLanguage() override {
        Frame reply;
        std::string strLanguage;
        if (Host().SessionCall(lattice_proto::Op_Q_UtilsLanguage, CWireWriter(), reply)) {
            CWireReader reader(reply.payload);
            strLanguage = reader.Str();
            if (!reader.Ok()) {
                strLanguage.clear();
            }
        }
        return KeepString(Key_Language, std::move(strLanguage));
    }

    void RequestDashboardStart() override { Notify(lattice_proto::Op_Q_UtilsStartDashboard); }
};

class CUserImpl final : public CInterfaceImpl<IQuillUser> {
public:
    using CInterfaceImpl::CInterfaceImpl;
    QUILL_UNUSED_IMPL(0)
    QUILL_UNUSED_IMPL(1)

    uint64_t GetUserId() override {
        Frame reply;
        if (!Host().SessionCall(lattice_proto::Op_Q_UserId, CWireWriter(), reply)) {
            return 0;
        }
        CWireReader reader(reply.payload);
        uint64_t ulId = reader.U64();
        return reader.Ok() ? ulId : 0;
    }
};

class CFriendsImpl final : public CInterfaceImpl<IQuillFriends> {
public:
    using CInterfaceImpl::CInterfaceImpl;

    const char* GetDisplayName() override {
        Frame reply;
        std::string strName;
        if (Host().SessionCall(lattice_proto::Op_Q_FriendsPersonaName, CWireWriter(), reply)) {
            CWireReader reader(reply.payload);
            strName = reader.Str();
            if (!reader.Ok()) {
                strName.clear();
            }
        }
        return KeepString(Key_DisplayName, std::move(strName));
    }
};

class CScreenshotsImpl final : public CInterfaceImpl<IQuillScreenshots> {
public:
    using CInterfaceImpl::CInterfaceImpl;
    QUILL_UNUSED_IMPL(0)
    QUILL_UNUSED_IMPL(1)
    QUILL_UNUSED_IMPL(2)
    QUILL_UNUSED_IMPL(3)
    QUILL_UNUSED_IMPL(4)
    QUILL_UNUSED_IMPL(5)
    QUILL_UNUSED_IMPL(6)
    QUILL_UNUSED_IMPL(7)

    uint32_t AddScreenshotPair(int32_t nType, const char* pchFirstFile,
                               const char* pchSecondFile) override {
        CWireWriter args;
        args.I32(nType);
        args.Str(pchFirstFile ? pchFirstFile : "");
        args.Str(pchSecondFile ? pchSecondFile : "");
        Frame reply;
        if (!Host().SessionCall(lattice_proto::Op_Q_ScreenshotAdd, args, reply)) {
            return 0;
        }
        CWireReader reader(reply.payload);
        uint32_t unHandle = reader.U32();
        return reader.Ok() ? unHandle : 0;
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
        Frame reply;
        Host().SessionCall(lattice_proto::Op_Q_PrivateStart, args, reply);
    }
    static void ConnectionParams(const std::string& strVersion, const char* pchParams) {
        CWireWriter args;
        args.Str(strVersion);
        args.Str(pchParams ? pchParams : "");
        Frame reply;
        Host().SessionCall(lattice_proto::Op_Q_PrivateConnectionParams, args, reply);
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
        Frame reply;
        if (!Host().SessionCall(lattice_proto::Op_Q_PrivateInvite, args, reply)) {
            return false;
        }
        CWireReader reader(reply.payload);
        bool bInvited = reader.Bool();
        return reader.Ok() && bInvited;
    }
};

// The shape handed out for versions the host client serves that this library
// has no methods for: a caller that calls into one reaches a slot that is
// recorded as unexpected and answers 0, never this library's own destructor.
// clang-format off
class IQuillUnknownInterface {
public:
    QUILL_UNUSED_SLOT(0) QUILL_UNUSED_SLOT(1) QUILL_UNUSED_SLOT(2) QUILL_UNUSED_SLOT(3)
    QUILL_UNUSED_SLOT(4) QUILL_UNUSED_SLOT(5) QUILL_UNUSED_SLOT(6) QUILL_UNUSED_SLOT(7)
    QUILL_UNUSED_SLOT(8) QUILL_UNUSED_SLOT(9) QUILL_UNUSED_SLOT(10) QUILL_UNUSED_SLOT(11)
    QUILL_UNUSED_SLOT(12) QUILL_UNUSED_SLOT(13) QUILL_UNUSED_SLOT(14) QUILL_UNUSED_SLOT(15)

protected:
    ~IQuillUnknownInterface() = default;
};

class CEmptyImpl final : public CInterfaceImpl<IQuillUnknownInterface> {
public:
    using CInterfaceImpl::CInterfaceImpl;
    QUILL_UNUSED_IMPL(0) QUILL_UNUSED_IMPL(1) QUILL_UNUSED_IMPL(2) QUILL_UNUSED_IMPL(3)
    QUILL_UNUSED_IMPL(4) QUILL_UNUSED_IMPL(5) QUILL_UNUSED_IMPL(6) QUILL_UNUSED_IMPL(7)
    QUILL_UNUSED_IMPL(8) QUILL_UNUSED_IMPL(9) QUILL_UNUSED_IMPL(10) QUILL_UNUSED_IMPL(11)
    QUILL_UNUSED_IMPL(12) QUILL_UNUSED_IMPL(13) QUILL_UNUSED_IMPL(14) QUILL_UNUSED_IMPL(15)
};
// clang-format on

std::unique_ptr<CInterfaceBase> MakeInterface(const std::string& strVersion) {
    if (strVersion == QUILLUTILS_INTERFACE_VERSION) {
        return std::make_unique<CUtilsImpl>(strVersion);
    }
    if (strVersion == QUILLUSER_INTERFACE_VERSION) {
        return std::make_unique<CUserImpl>(strVersion);
    }
    if (strVersion == QUILLFRIENDS_INTERFACE_VERSION) {
        return std::make_unique<CFriendsImpl>(strVersion);
    }
    if (strVersion == QUILLSCREENSHOTS_INTERFACE_VERSION) {
        return std::make_unique<CScreenshotsImpl>(strVersion);
    }
    if (strVersion == QUILLORRERYPRIVATE001_INTERFACE_VERSION) {
        return std::make_unique<CPrivate001Impl>(strVersion);
    }
    if (strVersion == QUILLORRERYPRIVATE002_INTERFACE_VERSION) {
        return std::make_unique<CPrivate002Impl>(strVersion);
    }
    return std::make_unique<CEmptyImpl>(strVersion);
}

}  // namespace

void* FindInterfaceObject(const std::string& strVersion) {
    static std::mutex s_mutex;
    static auto* s_pObjects = new std::map<std::string, std::unique_ptr<CInterfaceBase>>;
    std::lock_guard<std::mutex> lock(s_mutex);
    auto& pObject = (*s_pObjects)[strVersion];
    if (!pObject) {
        pObject = MakeInterface(strVersion);
    }
    return pObject->AsInterface();
}

void ReleaseThreadStrings() {
    for (std::string& str : tl_strings) {
        std::string().swap(str);
    }
}

}  // namespace quill_stub
