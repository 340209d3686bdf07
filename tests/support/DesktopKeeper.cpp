// Holds Wine's desktop for a whole test run. Wine starts its desktop process
// for a session's first window and ends it once no other process uses the
// desktop: started by each test, it would end after each one, holding that
// test's output open while it ends, and the next test could come upon it
// half-closed. The keeper starts it once, uses the desktop until the run's
// `wineserver -k`, and says "ready" when the desktop window has its owner.
#include <windows.h>

#include <cstdio>

int main() {
  HWND desktop = GetDesktopWindow();
  if (!desktop || !GetWindowThreadProcessId(desktop, nullptr)) {
    std::fprintf(stderr, "desktop_keeper: Wine's desktop process did not start\n");
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
  return 0;
}
