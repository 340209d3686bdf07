// A stand-in for the product's core library, in two releases.
#include <windows.h>

extern "C" __declspec(dllexport) int VelmoraCoreRelease() { return VELMORA_RELEASE; }

extern "C" __declspec(dllexport) double VelmoraCoreRound(double amount) {
#if VELMORA_RELEASE >= 8
  // Release 8 rounds to the cent half away from zero.
  return amount < 0 ? -static_cast<long long>(-amount * 100 + 0.5) / 100.0
                    : static_cast<long long>(amount * 100 + 0.5) / 100.0;
#else
  return static_cast<long long>(amount * 100) / 100.0;
#endif
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
