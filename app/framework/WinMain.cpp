#include <windows.h>

#include "WinApp.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
  return FrameworkMain(instance, commandLine);
}
