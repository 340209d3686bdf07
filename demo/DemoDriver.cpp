// Plays the user in the demo when nobody sits at the display: waits for the
// updater's dialog, presses Update, and answers the outcome message, saving a
// screenshot of the dialog, the progress window and the outcome on the way.
//
//   demo_driver SCREENSHOT_DIR NAMES_FILE [--backup]
//
// The progress window paints its two lines (the patch, then the file and its
// percentage) and has no controls to read them from. The driver reads them
// from the window's pixels instead: it grabs the window from the screen and
// finds the text whose drawing, done the way the window draws it, gives the
// same client area. NAMES_FILE lists what the patches may show, a line
// "PATCH<tab>FILE" for each file a patch touches.
//
// Prints each message the updater shows. Exits 0 once "Velmora is updated!"
// was seen and the progress window's screenshot shows a file name and a
// percentage, 1 otherwise.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

std::string WindowText(HWND window) {
  char text[1024] = {};
  SendMessageA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
  return text;
}

// A window as the screen shows it: 32-bit pixels, top row first.
struct Capture {
  int width = 0, height = 0;
  std::vector<std::uint32_t> pixels;
  // The client area within the picture.
  int clientLeft = 0, clientTop = 0, clientWidth = 0, clientHeight = 0;

  std::uint32_t At(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
  std::uint32_t Client(int x, int y) const { return At(clientLeft + x, clientTop + y); }
};

bool Grab(HWND window, Capture& capture) {
  RECT rect, client;
  POINT origin = {0, 0};
  if (!GetWindowRect(window, &rect) || !GetClientRect(window, &client) ||
      !ClientToScreen(window, &origin))
    return false;
  capture.width = rect.right - rect.left;
  capture.height = rect.bottom - rect.top;
  capture.clientLeft = origin.x - rect.left;
  capture.clientTop = origin.y - rect.top;
  capture.clientWidth = client.right;
  capture.clientHeight = client.bottom;
  if (capture.width <= 0 || capture.height <= 0 ||
      capture.clientLeft + capture.clientWidth > capture.width ||
      capture.clientTop + capture.clientHeight > capture.height)
    return false;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, capture.width, capture.height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, capture.width, capture.height, screen, rect.left, rect.top, SRCCOPY);
  SelectObject(memory, old);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = capture.width;
  info.bmiHeader.biHeight = -capture.height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  capture.pixels.assign(static_cast<std::size_t>(capture.width) * capture.height, 0);
  const int rows = GetDIBits(memory, bitmap, 0, static_cast<UINT>(capture.height),
                             capture.pixels.data(), &info, DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return rows == capture.height;
}

// As a 24-bit BMP file.
bool Save(const Capture& capture, const std::string& path) {
  BITMAPINFOHEADER info = {};
  info.biSize = sizeof info;
  info.biWidth = capture.width;
  info.biHeight = capture.height;
  info.biPlanes = 1;
  info.biBitCount = 24;
  const std::size_t stride = (static_cast<std::size_t>(capture.width) * 3 + 3) & ~std::size_t{3};
  std::string rows(stride * capture.height, '\0');
  for (int y = 0; y < capture.height; ++y) {
    char* row = &rows[(capture.height - 1 - y) * stride];
    for (int x = 0; x < capture.width; ++x) {
      const std::uint32_t pixel = capture.At(x, y);
      row[3 * x] = static_cast<char>(pixel & 0xFF);
      row[3 * x + 1] = static_cast<char>((pixel >> 8) & 0xFF);
      row[3 * x + 2] = static_cast<char>((pixel >> 16) & 0xFF);
    }
  }
  BITMAPFILEHEADER file = {};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info;
  file.bfSize = file.bfOffBits + static_cast<DWORD>(rows.size());
  FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) return false;
  const bool written = std::fwrite(&file, sizeof file, 1, out) == 1 &&
                       std::fwrite(&info, sizeof info, 1, out) == 1 &&
                       std::fwrite(rows.data(), 1, rows.size(), out) == rows.size();
  return std::fclose(out) == 0 && written;
}

bool Screenshot(HWND window, const std::string& path) {
  Capture capture;
  return Grab(window, capture) && Save(capture, path);
}

// Draws a candidate text as the progress window paints it (the DC's own
// font, the grey text background, centred lines broken at the client's
// width) and compares the result with the grabbed client area.
class PaintedText {
 public:
  PaintedText(int width, int height) : width_(width), height_(height) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    dc_ = CreateCompatibleDC(nullptr);
    void* bits = nullptr;
    bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bits_ = static_cast<const std::uint32_t*>(bits);
    if (bitmap_) old_ = SelectObject(dc_, bitmap_);
  }
  ~PaintedText() {
    if (bitmap_) {
      SelectObject(dc_, old_);
      DeleteObject(bitmap_);
    }
    DeleteDC(dc_);
  }
  PaintedText(const PaintedText&) = delete;
  PaintedText& operator=(const PaintedText&) = delete;

  int LineHeight() {
    TEXTMETRICA metrics = {};
    return GetTextMetricsA(dc_, &metrics) ? metrics.tmHeight : 0;
  }
  int Width(const std::string& line) {
    SIZE size = {};
    return GetTextExtentPoint32A(dc_, line.c_str(), static_cast<int>(line.size()), &size) ? size.cx
                                                                                          : 0;
  }

  bool Shows(const Capture& capture, const std::string& text) {
    if (!bits_ || capture.clientWidth != width_ || capture.clientHeight != height_) return false;
    // The erased background, from a corner no text reaches.
    const std::uint32_t background = capture.Client(width_ - 1, height_ - 1);
    HBRUSH brush = CreateSolidBrush(
        RGB((background >> 16) & 0xFF, (background >> 8) & 0xFF, background & 0xFF));
    RECT rect = {0, 0, width_, height_};
    FillRect(dc_, &rect, brush);
    DeleteObject(brush);
    SetBkColor(dc_, RGB(192, 192, 192));
    DrawTextA(dc_, text.c_str(), static_cast<int>(text.size()), &rect, DT_CENTER | DT_WORDBREAK);
    GdiFlush();
    for (int y = 0; y < height_; ++y)
      for (int x = 0; x < width_; ++x)
        if (!Close(bits_[static_cast<std::size_t>(y) * width_ + x], capture.Client(x, y)))
          return false;
    return true;
  }

 private:
  static bool Close(std::uint32_t a, std::uint32_t b) {
    for (int shift = 0; shift < 24; shift += 8) {
      const int d = static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF);
      if (d > 24 || d < -24) return false;
    }
    return true;
  }

  int width_, height_;
  HDC dc_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ old_ = nullptr;
  const std::uint32_t* bits_ = nullptr;
};

struct Reading {
  std::string patch, file;
  int percent = -1;
};

// The leftmost and rightmost columns of dark pixels in rows [top, bottom)
// of the client area; false when there are none.
bool InkColumns(const Capture& capture, int top, int bottom, int& left, int& right) {
  left = capture.clientWidth;
  right = -1;
  for (int y = top; y < bottom && y < capture.clientHeight; ++y)
    for (int x = 0; x < capture.clientWidth; ++x) {
      const std::uint32_t pixel = capture.Client(x, y);
      if ((pixel & 0xFF) + ((pixel >> 8) & 0xFF) + ((pixel >> 16) & 0xFF) < 384) {
        if (x < left) left = x;
        if (x > right) right = x;
      }
    }
  return right >= 0;
}

// Which patch, file and percentage the grabbed progress window shows, if it
// shows a file with a percentage. Only texts whose centred second line
// spans the columns the picture's second line has ink in are drawn and
// compared.
bool Read(const Capture& capture, const std::vector<std::pair<std::string, std::string>>& names,
          Reading& reading) {
  PaintedText painted(capture.clientWidth, capture.clientHeight);
  const int line = painted.LineHeight();
  int left, right;
  if (line <= 0 || !InkColumns(capture, line, 2 * line, left, right)) return false;
  for (const auto& [patch, file] : names)
    for (int percent = 0; percent <= 100; ++percent) {
      const std::string second = file + ":  " + std::to_string(percent) + "%";
      const int width = painted.Width(second);
      const int start = (capture.clientWidth - width) / 2;
      if (left < start - 2 || left > start + 4 || right > start + width + 2 ||
          right < start + width - 6)
        continue;
      if (painted.Shows(capture, patch + "\n" + second)) {
        reading = {patch, file, percent};
        return true;
      }
    }
  return false;
}

std::vector<std::pair<std::string, std::string>> ReadNames(const char* path) {
  std::vector<std::pair<std::string, std::string>> names;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t tab = line.find('\t');
    if (tab != std::string::npos) names.emplace_back(line.substr(0, tab), line.substr(tab + 1));
  }
  return names;
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
  if (argc < 3) {
    std::fprintf(stderr, "usage: demo_driver SCREENSHOT_DIR NAMES_FILE [--backup]\n");
    return 2;
  }
  const std::string shots = argv[1];
  const auto names = ReadNames(argv[2]);
  const bool backup = argc > 3 && std::string(argv[3]) == "--backup";
  if (names.empty()) {
    std::printf("demo: no file names in %s\n", argv[2]);
    return 2;
  }

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

  bool progressShot = false, shotHalfway = false, updated = false;
  Reading shot;
  // Each patch may get a progress window of its own; they follow each other
  // until the outcome message.
  HWND progress = nullptr;
  DWORD progressShown = 0, progressGone = 0;
  int progressWindows = 0, readings = 0;
  std::set<std::string> filesRead, patchesRead;
  for (int boxes = 0; boxes < 4;) {
    HWND current = progressGone ? nullptr : FindWindowA("#32770", "Updating ...");
    if (current && current != progress) {
      if (!progress) progressShown = GetTickCount();
      progress = current;
      ++progressWindows;
    }
    Capture capture;
    Reading reading;
    // Wine hands a painted window to the X server a moment after it paints:
    // only what the screen shows counts.
    if (current && IsWindowVisible(current) && Grab(current, capture) &&
        Read(capture, names, reading)) {
      ++readings;
      filesRead.insert(reading.patch + ": " + reading.file);
      patchesRead.insert(reading.patch);
      // The first reading is kept at once; one of a file halfway through, if
      // one comes, makes the better picture.
      const bool halfway = reading.percent > 0 && reading.percent < 100;
      if ((!progressShot || (halfway && !shotHalfway)) &&
          Save(capture, shots + "\\2-progress.bmp")) {
        progressShot = true;
        shotHalfway = halfway;
        shot = reading;
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
  std::size_t named = 0;
  for (const auto& name : names) named += patchesRead.count(name.first);
  if (progress) {
    const std::string turns =
        progressWindows > 1 ? " (" + std::to_string(progressWindows) + " windows in turn)" : "";
    std::printf(
        "demo: the progress window was on screen for %.1f s%s; %d readings of it showed "
        "%zu of the %zu files its patches name, each with a percentage\n",
        ((progressGone ? progressGone : GetTickCount()) - progressShown) / 1000.0, turns.c_str(),
        readings, filesRead.size(), named);
  }
  if (progressShot)
    std::printf("demo: the progress window's screenshot shows \"%s\", \"%s:  %d%%\"\n",
                shot.patch.c_str(), shot.file.c_str(), shot.percent);
  else
    std::printf(
        "demo: FAILED: no screenshot of the progress window showing a file name and a "
        "percentage\n");
  if (!updated && IsWindow(dialog)) PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
  return updated && progressShot ? 0 : 1;
}
