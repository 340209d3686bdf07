// The compiled resources, read back from this executable exactly as the
// program's code will find them.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "resource.h"

namespace {

HMODULE self() { return GetModuleHandleA(nullptr); }

const WORD kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
const DWORD kChild = WS_CHILD | WS_VISIBLE;
const WORD kButton = 0x80, kEdit = 0x81, kStatic = 0x82;

std::vector<BYTE> rawResource(LPCSTR type, LPCSTR name) {
  HRSRC found = FindResourceExA(self(), type, name, kEnglishUs);
  if (!found) return {};
  const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(self(), found)));
  return std::vector<BYTE>(data, data + SizeofResource(self(), found));
}

// sz_Or_Ord field of a dialog template.
struct NameOrOrdinal {
  bool isOrdinal = false;
  WORD ordinal = 0;
  std::wstring text;
};

class TemplateReader {
 public:
  explicit TemplateReader(const std::vector<BYTE>& bytes) : b_(bytes) {}
  DWORD dword() {
    DWORD v;
    copy(&v, 4);
    return v;
  }
  WORD word() {
    WORD v;
    copy(&v, 2);
    return v;
  }
  short shortInt() {
    short v;
    copy(&v, 2);
    return v;
  }
  std::wstring string() {
    std::wstring s;
    for (WORD c; (c = word()) != 0;) s += static_cast<wchar_t>(c);
    return s;
  }
  NameOrOrdinal nameOrOrdinal() {
    NameOrOrdinal n;
    if (peekWord() == 0xFFFF) {
      word();
      n.isOrdinal = true;
      n.ordinal = word();
    } else {
      n.text = string();
    }
    return n;
  }
  void alignDword() { pos_ = (pos_ + 3) & ~size_t(3); }
  size_t pos() const { return pos_; }
  bool overrun() const { return overrun_; }

 private:
  WORD peekWord() {
    WORD v = word();
    pos_ -= 2;
    return v;
  }
  void copy(void* out, size_t n) {
    if (pos_ + n > b_.size()) {
      overrun_ = true;
      std::memset(out, 0, n);
      return;
    }
    std::memcpy(out, b_.data() + pos_, n);
    pos_ += n;
  }
  const std::vector<BYTE>& b_;
  size_t pos_ = 0;
  bool overrun_ = false;
};

struct Item {
  DWORD style, exStyle;
  short x, y, cx, cy;
  WORD id;
  NameOrOrdinal cls, text;
  WORD extra;
};

struct Template {
  DWORD style, exStyle;
  short x, y, cx, cy;
  NameOrOrdinal menu, cls;
  std::wstring caption;
  WORD pointSize = 0;
  std::wstring face;
  std::vector<Item> items;
  bool ok = false;
};

Template parseTemplate(const std::vector<BYTE>& bytes) {
  Template t{};
  TemplateReader r(bytes);
  t.style = r.dword();
  t.exStyle = r.dword();
  WORD count = r.word();
  t.x = r.shortInt();
  t.y = r.shortInt();
  t.cx = r.shortInt();
  t.cy = r.shortInt();
  t.menu = r.nameOrOrdinal();
  t.cls = r.nameOrOrdinal();
  t.caption = r.string();
  if (t.style & DS_SETFONT) {
    t.pointSize = r.word();
    t.face = r.string();
  }
  for (WORD i = 0; i < count; ++i) {
    r.alignDword();
    Item it{};
    it.style = r.dword();
    it.exStyle = r.dword();
    it.x = r.shortInt();
    it.y = r.shortInt();
    it.cx = r.shortInt();
    it.cy = r.shortInt();
    it.id = r.word();
    it.cls = r.nameOrOrdinal();
    it.text = r.nameOrOrdinal();
    it.extra = r.word();
    for (WORD skip = 0; skip < it.extra; ++skip) r.alignDword(), r.word();
    t.items.push_back(it);
  }
  t.ok = !r.overrun() && r.pos() <= bytes.size();
  return t;
}

std::wstring wide(const char* s) { return std::wstring(s, s + std::strlen(s)); }

struct ExpectedControl {
  WORD id;
  WORD cls;
  DWORD style;  // beyond WS_CHILD | WS_VISIBLE
  short x, y, cx, cy;
  const char* text;  // null: the icon ordinal
};

const char kIntro[] =
    "This program updates Velmora 2000 and Velmora Pro 2000 to Release 8.  Before applying this "
    "update, please remove the update CD from the CD drive, REBOOT your computer, and reinsert the "
    "update CD.";
const char kSelectDir[] =
    "Please select the directory where Velmora is installed on your computer.";
const char kReadmeFirst[] = "Please follow the instructions in the readme file BEFORE updating.";
const WORD kNoId = 0xFFFF;

const ExpectedControl kUpdateControls[] = {
    {IDC_README, kButton, BS_PUSHBUTTON | WS_TABSTOP, 261, 53, 50, 14, "Readme"},
    {IDOK, kButton, BS_PUSHBUTTON | WS_TABSTOP, 261, 197, 50, 14, "Update"},
    {IDCANCEL, kButton, BS_DEFPUSHBUTTON | WS_TABSTOP, 268, 226, 50, 14, "Cancel"},
    {IDC_DIRECTORY, kEdit, ES_LEFT | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 15, 112, 232, 12, ""},
    {kNoId, kStatic, SS_LEFT | WS_GROUP, 40, 13, 249, 25, kIntro},
    {IDC_BROWSE, kButton, BS_PUSHBUTTON | WS_TABSTOP, 261, 110, 50, 14, "Browse"},
    {IDC_BACKUP, kButton, BS_AUTOCHECKBOX | WS_TABSTOP, 14, 157, 186, 10,
     "Backup current version of Velmora"},
    {kNoId, kStatic, SS_LEFT | WS_GROUP, 15, 96, 284, 13, kSelectDir},
    {kNoId, kStatic, SS_ICON, 8, 6, 20, 20, nullptr},
    {kNoId, kButton, BS_GROUPBOX, 5, 84, 313, 51, "Step 2"},
    {kNoId, kButton, BS_GROUPBOX, 5, 141, 313, 37, "Step 3 (optional)"},
    {kNoId, kButton, BS_GROUPBOX, 5, 41, 313, 37, "Step 1"},
    {kNoId, kStatic, SS_LEFT | WS_GROUP, 16, 55, 236, 8, kReadmeFirst},
    {IDC_MOREINFO, kButton, BS_PUSHBUTTON | WS_TABSTOP, 261, 155, 50, 14, "More Info"},
    {kNoId, kButton, BS_GROUPBOX, 5, 184, 313, 37, "Step 4"},
    {kNoId, kStatic, SS_LEFT | WS_GROUP, 14, 198, 201, 13, "Update Velmora."},
};

void expectFrame(const Template& t, DWORD style, short cx, short cy, const char* caption) {
  EXPECT_EQ(t.style, style | DS_SETFONT) << std::hex << t.style;
  EXPECT_EQ(t.exStyle, 0u);
  EXPECT_EQ(t.x, 0);
  EXPECT_EQ(t.y, 0);
  EXPECT_EQ(t.cx, cx);
  EXPECT_EQ(t.cy, cy);
  EXPECT_FALSE(t.menu.isOrdinal);
  EXPECT_EQ(t.menu.text, L"");
  EXPECT_FALSE(t.cls.isOrdinal);
  EXPECT_EQ(t.cls.text, L"");
  EXPECT_EQ(t.caption, wide(caption));
  EXPECT_EQ(t.pointSize, 8);
  EXPECT_EQ(t.face, L"MS Sans Serif");
}

TEST(ResourceTemplate, UpdateDialogIsClassicWithExactControls) {
  std::vector<BYTE> bytes = rawResource(RT_DIALOG, MAKEINTRESOURCEA(IDD_UPDATE));
  ASSERT_GE(bytes.size(), 18u);
  DWORD first;
  std::memcpy(&first, bytes.data(), 4);
  ASSERT_NE(first, 0xFFFF0001u) << "extended template";
  Template t = parseTemplate(bytes);
  ASSERT_TRUE(t.ok);
  expectFrame(t, DS_MODALFRAME | WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU, 326, 244,
              "Velmora Update");

  const size_t n = sizeof kUpdateControls / sizeof kUpdateControls[0];
  ASSERT_EQ(t.items.size(), n);
  for (size_t i = 0; i < n; ++i) {
    const ExpectedControl& e = kUpdateControls[i];
    const Item& it = t.items[i];
    SCOPED_TRACE("control #" + std::to_string(i) + " id " +
                 std::to_string(static_cast<short>(e.id)));
    EXPECT_EQ(it.id, e.id);
    EXPECT_TRUE(it.cls.isOrdinal);
    EXPECT_EQ(it.cls.ordinal, e.cls);
    EXPECT_EQ(it.style, e.style | kChild) << std::hex << it.style;
    EXPECT_EQ(it.exStyle, 0u);
    EXPECT_EQ(it.x, e.x);
    EXPECT_EQ(it.y, e.y);
    EXPECT_EQ(it.cx, e.cx);
    EXPECT_EQ(it.cy, e.cy);
    if (e.text) {
      EXPECT_FALSE(it.text.isOrdinal);
      EXPECT_EQ(it.text.text, wide(e.text));
    } else {
      EXPECT_TRUE(it.text.isOrdinal);
      EXPECT_EQ(it.text.ordinal, IDI_VELMORA);
    }
    EXPECT_EQ(it.extra, 0);
  }
}

TEST(ResourceTemplate, ProgressDialogHasNoSystemMenuNorControls) {
  std::vector<BYTE> bytes = rawResource(RT_DIALOG, MAKEINTRESOURCEA(IDD_PROGRESS));
  ASSERT_GE(bytes.size(), 18u);
  Template t = parseTemplate(bytes);
  ASSERT_TRUE(t.ok);
  expectFrame(t, DS_MODALFRAME | WS_POPUP | WS_VISIBLE | WS_CAPTION, 238, 45, "Updating ...");
  EXPECT_TRUE(t.items.empty());
}

TEST(ResourceStrings, TextsKeepTheirDoubleSpaces) {
  const struct {
    UINT id;
    const char* text;
  } strings[] = {
      {IDS_APP_TITLE, "Velmora Patch"},
      {IDS_ERR_PATCH, "Error:  Could not apply patch"},
      {IDS_ERR_DISKSPACE,
       "Error:  Not enough disk space for backup.  Please unselect the option or free some disk "
       "space."},
      {IDS_ERR_NOTINSTALLED,
       "Error:  Velmora does not appear to be installed in this directory.  Please select "
       "another."},
      {IDS_ERR_RUNNING,
       "Error:  Velmora is currently running.  Please close Velmora before continuing with the "
       "patch."},
      {IDS_DISK2, "Please insert disk 2."},
      {IDS_DISK3, "Please insert disk 3."},
      {IDS_DISK4, "Please insert disk 4."},
  };
  for (const auto& s : strings) {
    char buf[512] = {};
    int n = LoadStringA(self(), s.id, buf, sizeof buf);
    EXPECT_EQ(n, static_cast<int>(std::strlen(s.text))) << s.id;
    EXPECT_STREQ(buf, s.text) << s.id;
  }
  char buf[16] = "unchanged";
  EXPECT_EQ(LoadStringA(self(), IDS_DISK4 + 1, buf, sizeof buf), 0)
      << "no strings beyond the table";
}

TEST(ResourceAccelerators, F1IsTheOnlyAccelerator) {
  HACCEL table = LoadAcceleratorsA(self(), "MAINACCELTABLE");
  ASSERT_NE(table, nullptr);
  ASSERT_EQ(CopyAcceleratorTableA(table, nullptr, 0), 1);
  ACCEL a{};
  ASSERT_EQ(CopyAcceleratorTableA(table, &a, 1), 1);
  EXPECT_EQ(a.fVirt & ~0x80, FVIRTKEY);
  EXPECT_EQ(a.key, VK_F1);
  EXPECT_EQ(a.cmd, ID_HELP_F1);
  DestroyAcceleratorTable(table);

  std::vector<BYTE> raw = rawResource(RT_ACCELERATOR, "MAINACCELTABLE");
  ASSERT_EQ(raw.size(), 8u) << "one entry";
  EXPECT_EQ(raw[0], FVIRTKEY | 0x80) << "virtual key, last entry";
}

#pragma pack(push, 2)
struct GroupEntry {
  BYTE width, height, colorCount, reserved;
  WORD planes, bitCount;
  DWORD bytes;
  WORD id;
};
#pragma pack(pop)

TEST(ResourceIcon, GroupHoldsSixteenColour32And16) {
  std::vector<BYTE> dir = rawResource(RT_GROUP_ICON, MAKEINTRESOURCEA(IDI_VELMORA));
  ASSERT_EQ(dir.size(), 6u + 2 * sizeof(GroupEntry));
  WORD header[3];
  std::memcpy(header, dir.data(), sizeof header);
  EXPECT_EQ(header[0], 0);
  EXPECT_EQ(header[1], 1) << "icon, not cursor";
  ASSERT_EQ(header[2], 2);
  std::set<int> sizes;
  for (int i = 0; i < 2; ++i) {
    GroupEntry e;
    std::memcpy(&e, dir.data() + 6 + i * sizeof e, sizeof e);
    sizes.insert(e.width);
    EXPECT_EQ(e.height, e.width);
    EXPECT_EQ(e.colorCount, 16);
    EXPECT_EQ(e.bitCount, 4);
    std::vector<BYTE> image = rawResource(RT_ICON, MAKEINTRESOURCEA(e.id));
    ASSERT_EQ(image.size(), e.bytes);
    BITMAPINFOHEADER bih;
    ASSERT_GE(image.size(), sizeof bih);
    std::memcpy(&bih, image.data(), sizeof bih);
    EXPECT_EQ(bih.biWidth, e.width);
    EXPECT_EQ(bih.biHeight, 2 * e.width) << "colour bits and AND mask";
    EXPECT_EQ(bih.biBitCount, 4);
    // header + palette + 4 bpp rows + 1 bpp mask rows, both DWORD-aligned
    const DWORD stride4 = ((e.width * 4 + 31) / 32) * 4, stride1 = ((e.width + 31) / 32) * 4;
    EXPECT_EQ(image.size(), 40 + 16 * 4 + e.width * (stride4 + stride1));
  }
  EXPECT_EQ(sizes, (std::set<int>{16, 32}));

  for (int size : {32, 16}) {
    HICON icon = static_cast<HICON>(
        LoadImageA(self(), MAKEINTRESOURCEA(IDI_VELMORA), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
    ASSERT_NE(icon, nullptr) << size;
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    EXPECT_TRUE(info.fIcon);
    BITMAP bm{};
    ASSERT_NE(info.hbmColor, nullptr);
    ASSERT_TRUE(GetObjectA(info.hbmColor, sizeof bm, &bm));
    EXPECT_EQ(bm.bmWidth, size);
    EXPECT_EQ(bm.bmHeight, size);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(icon);
  }
}

BOOL CALLBACK collectLanguage(HMODULE, LPCSTR, LPCSTR, WORD lang, LONG_PTR out) {
  reinterpret_cast<std::set<WORD>*>(out)->insert(lang);
  return TRUE;
}

struct NameList {
  LPCSTR type;
  std::vector<std::string> names;
};

std::string nameKey(LPCSTR name) {
  return IS_INTRESOURCE(name) ? "#" + std::to_string(reinterpret_cast<ULONG_PTR>(name))
                              : std::string(name);
}

BOOL CALLBACK collectName(HMODULE, LPCSTR, LPSTR name, LONG_PTR out) {
  reinterpret_cast<std::vector<std::string>*>(out)->push_back(nameKey(name));
  return TRUE;
}

TEST(ResourceLanguage, EveryResourceIsEnglishUs) {
  const LPCSTR types[] = {RT_DIALOG, RT_STRING, RT_ACCELERATOR, RT_GROUP_ICON, RT_ICON};
  const std::vector<std::vector<std::string>> expectedNames = {
      {"#101", "#102"},
      {"#" + std::to_string(IDS_APP_TITLE / 16 + 1)},
      {"MAINACCELTABLE"},
      {"#" + std::to_string(IDI_VELMORA)},
      {"#1", "#2"}};
  for (size_t i = 0; i < 5; ++i) {
    std::vector<std::string> names;
    EnumResourceNamesA(self(), types[i], collectName, reinterpret_cast<LONG_PTR>(&names));
    EXPECT_EQ(names, expectedNames[i]) << "type " << nameKey(types[i]);
    for (const std::string& name : names) {
      LPCSTR id = name[0] == '#' ? MAKEINTRESOURCEA(std::stoi(name.substr(1))) : name.c_str();
      std::set<WORD> langs;
      EnumResourceLanguagesA(self(), types[i], id, collectLanguage,
                             reinterpret_cast<LONG_PTR>(&langs));
      EXPECT_EQ(langs, std::set<WORD>{kEnglishUs}) << nameKey(types[i]) << " " << name;
    }
  }
}

// A live dialog built from the templates by the system's dialog manager.
struct DialogEvents {
  std::vector<WORD> commands;
};

INT_PTR CALLBACK trivialDialogProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_INITDIALOG) {
    SetWindowLongPtrA(dlg, DWLP_USER, lp);
    return TRUE;
  }
  if (msg == WM_COMMAND) {
    auto events = reinterpret_cast<DialogEvents*>(GetWindowLongPtrA(dlg, DWLP_USER));
    if (events) events->commands.push_back(LOWORD(wp));
    return TRUE;
  }
  return FALSE;
}

std::string windowText(HWND w) {
  char buf[512] = {};
  GetWindowTextA(w, buf, sizeof buf);
  return buf;
}

void pumpDialog(HWND dlg) {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
    if (!IsDialogMessageA(dlg, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
}

TEST(ResourceDialogWindow, UpdateDialogControlsAndEnterMeansCancel) {
  DialogEvents events;
  HWND dlg = CreateDialogParamA(self(), MAKEINTRESOURCEA(IDD_UPDATE), nullptr, trivialDialogProc,
                                reinterpret_cast<LPARAM>(&events));
  ASSERT_NE(dlg, nullptr) << GetLastError();
  EXPECT_EQ(windowText(dlg), "Velmora Update");
  EXPECT_TRUE(GetWindowLongA(dlg, GWL_STYLE) & WS_SYSMENU);

  // Bits the dialog manager leaves alone once the controls exist (an edit
  // trades WS_BORDER for WS_EX_CLIENTEDGE when it is created).
  const DWORD stable = WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_GROUP;
  int found = 0;
  for (const ExpectedControl& e : kUpdateControls) {
    if (e.id == kNoId) continue;
    ++found;
    SCOPED_TRACE(e.id);
    HWND c = GetDlgItem(dlg, e.id);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(windowText(c), e.text);
    DWORD style = GetWindowLongA(c, GWL_STYLE);
    EXPECT_EQ(style & stable, (e.style | kChild) & stable) << std::hex << style;
    char cls[32] = {};
    GetClassNameA(c, cls, sizeof cls);
    EXPECT_STRCASEEQ(cls, e.cls == kEdit ? "Edit" : "Button");
    if (e.cls == kEdit) {
      EXPECT_TRUE(style & ES_AUTOHSCROLL);
      EXPECT_TRUE((style & WS_BORDER) || (GetWindowLongA(c, GWL_EXSTYLE) & WS_EX_CLIENTEDGE));
    } else {
      EXPECT_FALSE(style & WS_BORDER);
    }
  }
  EXPECT_EQ(found, 7);
  EXPECT_EQ(GetWindowLongA(GetDlgItem(dlg, IDC_BACKUP), GWL_STYLE) & BS_TYPEMASK, BS_AUTOCHECKBOX);

  LRESULT def = SendMessageA(dlg, DM_GETDEFID, 0, 0);
  EXPECT_EQ(HIWORD(def), DC_HASDEFID);
  EXPECT_EQ(LOWORD(def), IDCANCEL);

  // Enter in the directory field goes to the default button: Cancel.
  HWND edit = GetDlgItem(dlg, IDC_DIRECTORY);
  SetForegroundWindow(dlg);
  SendMessageA(dlg, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(edit), TRUE);
  pumpDialog(dlg);
  EXPECT_EQ(GetFocus(), edit);
  events.commands.clear();
  PostMessageA(edit, WM_KEYDOWN, VK_RETURN, 1);
  PostMessageA(edit, WM_KEYUP, VK_RETURN, 0xC0000001);
  pumpDialog(dlg);
  ASSERT_FALSE(events.commands.empty());
  EXPECT_EQ(events.commands.back(), IDCANCEL);
  for (WORD id : events.commands) EXPECT_NE(id, IDOK) << "Enter must never start the update";
  DestroyWindow(dlg);
}

TEST(ResourceDialogWindow, ProgressWindowHasNoCloseBox) {
  HWND dlg =
      CreateDialogParamA(self(), MAKEINTRESOURCEA(IDD_PROGRESS), nullptr, trivialDialogProc, 0);
  ASSERT_NE(dlg, nullptr) << GetLastError();
  LONG style = GetWindowLongA(dlg, GWL_STYLE);
  EXPECT_FALSE(style & WS_SYSMENU);
  EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
  EXPECT_EQ(windowText(dlg), "Updating ...");
  EXPECT_EQ(GetWindow(dlg, GW_CHILD), nullptr);
  DestroyWindow(dlg);
}

}  // namespace
