// The DLL's process-attach and process-detach handler. The runtime builds and destroys the
// static objects around it; the handler itself does nothing and always reports success.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
