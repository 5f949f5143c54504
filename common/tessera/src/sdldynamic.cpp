#include "sdldynamic.h"

#include "sharedlib.h"
#include "vrlog.h"

namespace {
const char* const k_pchSDLLibrary = "libSDL2-2.0.so.0";
}

CSDLDynamic::~CSDLDynamic() {
    Unload();
}

void CSDLDynamic::Init() {
    m_pLibrary = SharedLib_Load(k_pchSDLLibrary);
    if (!m_pLibrary) {
        Log(LogLevel_Error, "Error: failed to load dynamic SDL");
        return;
    }
    SDL_GetError =
        reinterpret_cast<SDL_GetError_t>(SharedLib_GetFunction(m_pLibrary, "SDL_GetError"));
    SDL_SetThreadPriority = reinterpret_cast<SDL_SetThreadPriority_t>(
        SharedLib_GetFunction(m_pLibrary, "SDL_SetThreadPriority"));
    SDL_GetPowerInfo =
        reinterpret_cast<SDL_GetPowerInfo_t>(SharedLib_GetFunction(m_pLibrary, "SDL_GetPowerInfo"));
}

void CSDLDynamic::Unload() {
    SDL_GetError = nullptr;
    SDL_SetThreadPriority = nullptr;
    SDL_GetPowerInfo = nullptr;
    SharedLib_Unload(m_pLibrary);
    m_pLibrary = nullptr;
}

CSDLDynamic& SDLDynamic() {
    // A function-local static gives the thread-safe one-time construction.
    struct CLoadedSDL : CSDLDynamic {
        CLoadedSDL() { Init(); }
    };
    static CLoadedSDL s_SDL;
    return s_SDL;
}

bool IsOnLaptop() {
    CSDLDynamic& sdl = SDLDynamic();
    if (!sdl.SDL_GetPowerInfo) {
        return false;
    }
    int nState = sdl.SDL_GetPowerInfo(nullptr, nullptr);
    return nState != k_ESDLPowerStateUnknown && nState != k_ESDLPowerStateNoBattery;
}
