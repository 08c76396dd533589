// Module entry of rl_zev.dll: the library keeps no per-thread state, so the per-thread
// attach and detach notifications are switched off; nothing else happens here.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE a_hModule, DWORD a_dwReason, LPVOID /*a_pReserved*/)
{
    if (a_dwReason == DLL_PROCESS_ATTACH)
        DisableThreadLibraryCalls(a_hModule);
    return TRUE;
}
