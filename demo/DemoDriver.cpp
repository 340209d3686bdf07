// Plays the user in the demo when nobody sits at the display: waits for the
// updater's dialog, presses Update, and answers the outcome message, saving a
// screenshot of the dialog, the progress window and the outcome on the way.
//
//   demo_driver SCREENSHOT_DIR [--backup]
//
// Prints each message the updater shows. Exits 0 once "Velmora is updated!"
// was seen, 1 otherwise.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string WindowText(HWND window) {
  char text[1024] = {};
  SendMessageA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
  return text;
}

// Saves the screen's area of `window` as a 24-bit BMP file.
void Screenshot(HWND window, const std::string& path) {
  RECT rect;
  if (!GetWindowRect(window, &rect)) return;
  const int width = rect.right - rect.left, height = rect.bottom - rect.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  SelectObject(memory, old);

  BITMAPINFOHEADER info = {};
  info.biSize = sizeof info;
  info.biWidth = width;
  info.biHeight = height;
  info.biPlanes = 1;
  info.biBitCount = 24;
  const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
  std::string pixels(stride * static_cast<DWORD>(height), '\0');
  GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), &pixels[0],
            reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
  BITMAPFILEHEADER file = {};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info;
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
  if (FILE* out = std::fopen(path.c_str(), "wb")) {
    std::fwrite(&file, sizeof file, 1, out);
    std::fwrite(&info, sizeof info, 1, out);
    std::fwrite(pixels.data(), 1, pixels.size(), out);
    std::fclose(out);
  }
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
}

HWND WaitFor(const char* className, const char* title, DWORD milliseconds) {
  for (DWORD waited = 0; waited < milliseconds; waited += 10) {
    if (HWND found = FindWindowA(className, title)) return found;
    Sleep(10);
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: demo_driver SCREENSHOT_DIR [--backup]\n");
    return 2;
  }
  const std::string shots = argv[1];
  const bool backup = argc > 2 && std::string(argv[2]) == "--backup";

  HWND dialog = WaitFor("#32770", "Velmora Update", 60000);
  if (!dialog) {
    std::printf("demo: the update dialog did not appear\n");
    return 1;
  }
  Sleep(500);  // let it paint
  std::printf("demo: the dialog shows the directory %s\n", WindowText(GetDlgItem(dialog, 1000)).c_str());
  if (backup) SendMessageA(GetDlgItem(dialog, 1004), BM_SETCHECK, BST_CHECKED, 0);
  Screenshot(dialog, shots + "\\1-dialog.bmp");
  std::printf("demo: pressing Update\n");
  std::fflush(stdout);
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));

  bool progressShot = false, updated = false;
  for (int boxes = 0; boxes < 4;) {
    if (!progressShot) {
      if (HWND progress = FindWindowA("#32770", "Updating ...")) {
        Sleep(150);
        Screenshot(progress, shots + "\\2-progress.bmp");
        progressShot = true;
      }
    }
    HWND box = FindWindowA("#32770", "Velmora Patch");
    if (box && IsWindowVisible(box)) {
      Sleep(300);
      const std::string text = WindowText(GetDlgItem(box, 0xFFFF));
      std::printf("demo: the updater says \"%s\"\n", text.c_str());
      std::fflush(stdout);
      Screenshot(box, shots + "\\3-outcome.bmp");
      updated = updated || text == "Velmora is updated!";
      PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      while (IsWindow(box)) Sleep(10);
      ++boxes;
      if (updated || text == "The update was not successful." ||
          text == "The Patch was not successful.")
        break;
      continue;
    }
    if (!IsWindow(dialog)) break;
    Sleep(5);
  }
  if (!progressShot) std::printf("demo: the progress window came and went too fast for a screenshot\n");
  if (!updated && IsWindow(dialog)) PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
  return updated ? 0 : 1;
}
