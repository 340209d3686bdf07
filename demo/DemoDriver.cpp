// Plays the user in the demo when nobody sits at the display: waits for the
// updater's dialog, presses Update, and answers the outcome message, saving a
// screenshot of the dialog, the progress window (once it shows a file name
// and a percentage) and the outcome on the way.
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

// Saves the screen's area of `window` as a 24-bit BMP file. Returns how many
// dark pixels the lower half of its client area holds: the progress window
// paints its file line there (a name and a percentage), and nothing else.
int Screenshot(HWND window, const std::string& path) {
  RECT rect;
  if (!GetWindowRect(window, &rect)) return 0;
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

  RECT client;
  POINT origin = {0, 0};
  if (!GetClientRect(window, &client) || !ClientToScreen(window, &origin)) return 0;
  int dark = 0;
  const int left = origin.x - rect.left, top = origin.y - rect.top;
  for (int y = top + client.bottom / 2; y < top + client.bottom && y < height; ++y) {
    // Rows of a bottom-up bitmap.
    const unsigned char* row = reinterpret_cast<const unsigned char*>(pixels.data()) +
                               static_cast<DWORD>(height - 1 - y) * stride;
    for (int x = left; x < left + client.right && x < width; ++x)
      if (row[3 * x] + row[3 * x + 1] + row[3 * x + 2] < 200) ++dark;
  }
  return dark;
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
  std::printf("demo: the dialog shows the directory %s\n",
              WindowText(GetDlgItem(dialog, 1000)).c_str());
  if (backup) SendMessageA(GetDlgItem(dialog, 1004), BM_SETCHECK, BST_CHECKED, 0);
  Screenshot(dialog, shots + "\\1-dialog.bmp");
  std::printf("demo: pressing Update\n");
  std::fflush(stdout);
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));

  bool progressShot = false, updated = false;
  // Each patch gets a progress window of its own; they follow each other
  // until the outcome message.
  HWND progress = nullptr;
  DWORD progressShown = 0, progressGone = 0;
  int progressWindows = 0;
  for (int boxes = 0; boxes < 4;) {
    HWND current = progressGone ? nullptr : FindWindowA("#32770", "Updating ...");
    if (current && current != progress) {
      if (!progress) progressShown = GetTickCount();
      progress = current;
      ++progressWindows;
    }
    if (current && !progressShot && GetTickCount() - progressShown > 100) {
      // Wine hands the painted window to the X server a moment after it
      // paints; a file line in the picture means a name and a percentage.
      if (Screenshot(progress, shots + "\\2-progress.bmp") > 20) {
        progressShot = true;
        std::printf("demo: the progress window shows a file and its percentage\n");
        std::fflush(stdout);
      }
    }
    HWND box = FindWindowA("#32770", "Velmora Patch");
    if (box && IsWindowVisible(box)) {
      if (progress && !progressGone) progressGone = GetTickCount();
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
  if (progress)
    std::printf("demo: the progress window was on screen for %.1f s%s\n",
                ((progressGone ? progressGone : GetTickCount()) - progressShown) / 1000.0,
                progressWindows > 1
                    ? (" (" + std::to_string(progressWindows) + " windows in turn)").c_str()
                    : "");
  // The picture is a courtesy: a window up for half a second on a busy
  // machine may reach the X server too late for it. The update is the job.
  if (!progressShot)
    std::printf("demo: no screenshot of the progress window with a file name and a percentage\n");
  if (!updated && IsWindow(dialog)) PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
  return updated ? 0 : 1;
}
