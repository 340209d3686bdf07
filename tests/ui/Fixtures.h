// What the update dialogs' tests share: from the shared test support the
// temporary folders, the App Paths key, the patch script and the update log;
// and WhenReady.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "AppPathsKey.h"
#include "PatchScript.h"
#include "TempDir.h"
#include "TestFiles.h"
#include "UpdateLog.h"

using testsupport::TempDir;

struct ReadyWaiter {
  std::function<bool()> ready;
  std::function<void()> act;
  UINT_PTR timer = 0;
};

inline std::vector<std::unique_ptr<ReadyWaiter>>& ReadyWaiters() {
  static std::vector<std::unique_ptr<ReadyWaiter>> waiters;
  return waiters;
}

inline void CALLBACK OnReadyTimer(HWND, UINT, UINT_PTR id, DWORD) {
  auto& waiters = ReadyWaiters();
  for (auto it = waiters.begin(); it != waiters.end(); ++it) {
    if ((*it)->timer != id || !(*it)->ready()) continue;
    KillTimer(nullptr, id);
    std::unique_ptr<ReadyWaiter> waiter = std::move(*it);
    waiters.erase(it);
    waiter->act();
    return;
  }
}

// Runs act once, from whatever message loop runs, as soon as ready() holds
// (checked every 40 ms on this thread).
inline void WhenReady(std::function<bool()> ready, std::function<void()> act) {
  auto& waiters = ReadyWaiters();
  waiters.push_back(
      std::unique_ptr<ReadyWaiter>(new ReadyWaiter{std::move(ready), std::move(act)}));
  waiters.back()->timer = SetTimer(nullptr, 0, 40, &OnReadyTimer);
}
