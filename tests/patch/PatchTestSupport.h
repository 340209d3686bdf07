// Shared by the patch-run tests: a scratch directory, whole-file reads, and
// the scripted patch library's script and record.
#pragma once

#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "TestFiles.h"


class ScratchTest : public testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    dir = std::string(temp) + "velmora-" + testing::UnitTest::GetInstance()->current_test_info()->name();
    CreateDirectoryA(dir.c_str(), nullptr);
    DeleteFileA((dir + "\\update.txt").c_str());
    DeleteFileA(RecordPath().c_str());
    SetEnvironmentVariableA("VELMORA_PATCH_RECORD", RecordPath().c_str());
    SetEnvironmentVariableA("VELMORA_PATCH_SCRIPT", nullptr);
  }
  std::string RecordPath() const { return dir + "\\record.txt"; }
  std::string Record() const { return ReadFile(RecordPath()); }
  std::string Log() const { return ReadFile(dir + "\\update.txt"); }
  void Script(const std::string& text) {
    const std::string path = dir + "\\script.txt";
    std::ofstream(path, std::ios::binary) << text;
    SetEnvironmentVariableA("VELMORA_PATCH_SCRIPT", path.c_str());
  }
  std::string dir;
};
