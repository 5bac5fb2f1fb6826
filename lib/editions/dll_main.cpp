// Loading and unloading do no work of the library's own: no export depends on them.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
