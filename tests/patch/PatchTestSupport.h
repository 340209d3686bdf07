// Shared by the patch-run tests: a product directory in a temporary folder,
// its log, and the scripted patch library's script and record.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "PatchScript.h"
#include "TempDir.h"
#include "TestFiles.h"

class ScratchTest : public testing::Test {
 protected:
  std::string Record() const { return m_script.Record(); }
  std::string Log() const { return ReadFile(dir + "\\update.txt"); }
  void Script(const std::string& text) { m_script.Write(text); }

  testsupport::TempDir m_folder{"velmora-patch-run"};
  PatchScript m_script;
  const std::string dir = m_folder.Path();
};
