// dllmain.cpp - the DLL entry point of TarvoCoil.dll.
//
// Loading and unloading do nothing but report success: the library sets
// itself up in TRVCoilInit, so there is nothing to do under the loader
// lock, and process or thread attach/detach must not cost the host anything.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
