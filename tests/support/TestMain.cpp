#include <gtest/gtest.h>

#include "TestApp.h"

namespace {
TestApp g_testApp;
}

TestApp& TheTestApp() { return g_testApp; }

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  g_testApp.Initialize(GetModuleHandleA(nullptr), "");
  return RUN_ALL_TESTS();
}
