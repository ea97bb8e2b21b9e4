// Module entry. Loading and unloading the module do nothing of the system's
// own; on Windows the loader only needs an entry point that agrees to load.
#if defined(_WIN32)
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD /*reason*/, LPVOID /*reserved*/) {
  return TRUE;
}
#endif
