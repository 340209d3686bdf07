#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <fstream>

#include "FileDialog.h"
#include "WinApp.h"
#include "WindowDriver.h"

namespace {

#ifndef _WIN64
static_assert(offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(LPCSTR) == 76,
              "the record without its later extension");
#endif

TEST(FileDialog, ConstructionFillsTheRequestRecord) {
  CFileDialog dialog(1, nullptr, nullptr, 6, nullptr, nullptr);
  const OPENFILENAMEA& request = dialog.m_openFileName;
  EXPECT_EQ(request.lStructSize, DWORD(offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(LPCSTR)));
  EXPECT_EQ(request.hwndOwner, nullptr);
  EXPECT_EQ(request.hInstance, GetResourceModule());  // explorer style on this platform
  EXPECT_EQ(request.lpstrFilter, nullptr);
  EXPECT_EQ(request.lpstrCustomFilter, nullptr);
  EXPECT_EQ(request.nFilterIndex, 0u);
  ASSERT_NE(request.lpstrFile, nullptr);
  EXPECT_STREQ(request.lpstrFile, "");
  EXPECT_EQ(request.nMaxFile, 260u);
  ASSERT_NE(request.lpstrFileTitle, nullptr);
  EXPECT_EQ(request.nMaxFileTitle, 64u);
  EXPECT_EQ(request.lpstrInitialDir, nullptr);
  EXPECT_EQ(request.lpstrTitle, nullptr);
  EXPECT_EQ(request.lpstrDefExt, nullptr);
  EXPECT_EQ(request.Flags, DWORD(6 | OFN_ENABLEHOOK | OFN_ENABLESIZING | OFN_EXPLORER));
  EXPECT_NE(request.lpfnHook, nullptr);
  EXPECT_EQ(request.lCustData, 0);
  EXPECT_EQ(request.lpTemplateName, nullptr);
  // Both buffers live inside the object.
  const char* object = reinterpret_cast<const char*>(&dialog);
  EXPECT_GE(request.lpstrFile, object);
  EXPECT_LT(request.lpstrFile, object + sizeof dialog);
  EXPECT_GE(request.lpstrFileTitle, object);
  EXPECT_LT(request.lpstrFileTitle, object + sizeof dialog);
}

TEST(FileDialog, CancelReturnsTwoAndClearsTheBufferTail) {
  CFileDialog dialog(1);
  char buffer[260];
  memset(buffer, 'x', sizeof buffer);
  strcpy(buffer, "vlw32.exe");
  dialog.m_openFileName.lpstrFile = buffer;
  std::string title;
  WhenDialogAppears([&](HWND window) {
    title = WindowText(window);
    PostMessageA(window, WM_COMMAND, IDCANCEL, 0);
  });
  dialog.m_openFileName.lpstrTitle = "Where is it?";
  EXPECT_EQ(dialog.RunModal(), IDCANCEL);
  EXPECT_EQ(title, "Where is it?");
  for (size_t i = strlen("vlw32.exe"); i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], 0) << i;
}

TEST(FileDialog, ChoosingAFileGivesItsFullPath) {
  char directory[MAX_PATH];
  GetTempPathA(sizeof directory, directory);
  const std::string path = std::string(directory) + "chosen.exe";
  std::ofstream(path) << "x";
  // The initial name fills the name field; OK takes it as typed.
  CFileDialog dialog(1, nullptr, "chosen.exe", OFN_HIDEREADONLY | OFN_FILEMUSTEXIST);
  dialog.m_openFileName.lpstrInitialDir = directory;
  WhenDialogAppears([&](HWND window) { PostMessageA(window, WM_COMMAND, IDOK, 0); });
  EXPECT_EQ(dialog.RunModal(), IDOK);
  EXPECT_EQ(lstrcmpiA(dialog.GetChosenPath(), path.c_str()), 0) << dialog.GetChosenPath().GetText();
  DeleteFileA(path.c_str());
}

}  // namespace
