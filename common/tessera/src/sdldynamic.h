// sdldynamic: the three SDL2 functions this library uses, loaded at run time
// from "libSDL2-2.0.so.0" (never linked), and the battery query built on them.
//
// SDLDynamic() builds the process-wide instance on first use (safe when
// several threads get there together) and it is unloaded at process exit.
// When the library cannot be loaded, one Error line "Error: failed to load
// dynamic SDL" is logged and every function pointer stays null; callers fall
// back (IsOnLaptop answers false, thread priorities are set directly).
#pragma once

// Values of SDL's thread priority and power state enumerations.
enum ESDLThreadPriority : int {
    k_ESDLThreadPriorityLow = 0,
    k_ESDLThreadPriorityNormal = 1,
    k_ESDLThreadPriorityHigh = 2,
};
enum ESDLPowerState : int {
    k_ESDLPowerStateUnknown = 0,
    k_ESDLPowerStateOnBattery = 1,
    k_ESDLPowerStateNoBattery = 2,
    k_ESDLPowerStateCharging = 3,
    k_ESDLPowerStateCharged = 4,
};

class CSDLDynamic {
public:
    typedef const char* (*SDL_GetError_t)();
    typedef int (*SDL_SetThreadPriority_t)(int nPriority);
    typedef int (*SDL_GetPowerInfo_t)(int* pnSeconds, int* pnPercent);

    CSDLDynamic() = default;
    ~CSDLDynamic();
    CSDLDynamic(const CSDLDynamic&) = delete;
    CSDLDynamic& operator=(const CSDLDynamic&) = delete;

    void Init();
    void Unload();

    SDL_GetError_t SDL_GetError = nullptr;
    SDL_SetThreadPriority_t SDL_SetThreadPriority = nullptr;
    SDL_GetPowerInfo_t SDL_GetPowerInfo = nullptr;
    void* m_pLibrary = nullptr;
};

CSDLDynamic& SDLDynamic();

// The machine has a battery (on battery, charging or charged).
bool IsOnLaptop();
