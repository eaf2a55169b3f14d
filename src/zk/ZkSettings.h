#pragma once
#include <string>

namespace px {

// The "ZKFP" settings the terminal module works with, copied at creation so
// that the worker thread reads them without sharing the service's copy.
struct ZkSettings {
  std::string AppDir;  // ends with "/"
  bool F18Ext = false;
  bool Alg10 = false;
  bool EvenUnitAsExit = false;
  bool FingerOrCard = false;
  std::string MasterF8;
  int RetryWaitSec = 120;
  int Debug = 0;  // 21 switches on the extra terminal lines
};

}  // namespace px
