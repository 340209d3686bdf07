// A stand-in for the product's main program, built in both editions and both
// releases, so the demo has real executables to patch. Its main window has the
// product's window class, which the updater looks for.
#include <windows.h>

#include <cstdio>

#ifndef VELMORA_RELEASE
#error "VELMORA_RELEASE must be 7 or 8"
#endif
#ifndef VELMORA_EDITION
#error "VELMORA_EDITION must be \"Standard\" or \"Pro\""
#endif

namespace {

// Rates the program shows; a release changes a few of them, as a real one would.
const double kRates[] = {
#if VELMORA_RELEASE >= 8
    0.081, 0.19, 0.27, 0.35, 0.42, 0.45, 0.051, 0.10,
#else
    0.08, 0.19, 0.27, 0.35, 0.42, 0.45, 0.05, 0.10,
#endif
};

LRESULT CALLBACK FrameProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      char text[128];
      const int length = std::snprintf(text, sizeof text, "Velmora %s, release %d (top rate %.3f)",
                                       VELMORA_EDITION, VELMORA_RELEASE, kRates[5]);
      TextOutA(dc, 10, 10, text, length);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
  WNDCLASSA frame = {};
  frame.lpfnWndProc = &FrameProcedure;
  frame.hInstance = instance;
  frame.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  frame.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  frame.lpszClassName = "TernFrame";
  RegisterClassA(&frame);
  HWND window = CreateWindowA("TernFrame", "Velmora", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                              CW_USEDEFAULT, 480, 200, nullptr, nullptr, instance, nullptr);
  ShowWindow(window, show);
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return 0;
}
