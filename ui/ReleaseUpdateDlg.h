// CReleaseUpdateDlg: the update dialog for this release. It finds the
// installation from the registry, checks it before updating and applies the
// release's patch files.
#pragma once

#include "UpdateDlg.h"

class CReleaseUpdateDlg : public CUpdateDlg {
 public:
  // Fills m_directory from the product's App Paths entry, or the default path.
  CReleaseUpdateDlg();
  ~CReleaseUpdateDlg() override;

  int CheckInstallation() override;
  int ApplyPatches() override;
  int AfterUpdate() override;

  // The path names an existing file system object that is not a directory.
  static int FileExists(const char* path);
  // Free space of m_directory's drive in whole megabytes, -1 when unknown.
  int GetFreeMegabytes();

  int m_minFreeMB = 9;

 protected:
  // The disk query behind GetFreeMegabytes, replaceable in tests.
  virtual BOOL QueryDiskFreeSpace(const char* root, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
                                  DWORD* freeClusters, DWORD* totalClusters);
};
