// Result codes of the patch engine. The numbers are part of the interface:
// the DLL hands them to the updater and rtptool uses them as exit codes.
#ifndef RTP_RESULT_H
#define RTP_RESULT_H

#include <stdexcept>
#include <string>

namespace rtp {

enum class Result : int {
  Ok = 0,
  BadArguments = 1,        // command line or options unusable
  PatchUnreadable = 2,     // patch file missing or cannot be read
  PatchCorrupt = 3,        // structure, limits, hashes or paths of the patch are wrong
  UnsupportedVersion = 4,  // a patch of a format version this engine does not know
  WrongInstallation = 5,   // a file is at neither its old nor its new content
  IoError = 6,             // the product tree could not be changed; rolled back
  Cancelled = 7,           // the callback asked to stop; rolled back
  RollbackFailed = 8,      // undo failed; the journal is kept for the next call
  InternalError = 9,       // out of memory or an unexpected fault
  NotSigned = 10,          // not signed by the trusted release key, or altered since
  WrongPatch = 11,         // signed for another product, release or patch name
};

const char* resultName(Result r);

// Thrown inside the engine; turned into a Result at the API boundary.
class Error : public std::runtime_error {
 public:
  Error(Result r, const std::string& message) : std::runtime_error(message), result_(r) {}
  Result result() const { return result_; }

 private:
  Result result_;
};

}  // namespace rtp

#endif
