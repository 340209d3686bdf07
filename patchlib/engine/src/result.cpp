#include "rtp/result.h"

namespace rtp {

const char* resultName(Result r) {
  switch (r) {
    case Result::Ok:
      return "ok";
    case Result::BadArguments:
      return "bad arguments";
    case Result::PatchUnreadable:
      return "patch unreadable";
    case Result::PatchCorrupt:
      return "patch corrupt";
    case Result::UnsupportedVersion:
      return "unsupported patch version";
    case Result::WrongInstallation:
      return "wrong installation";
    case Result::IoError:
      return "i/o error";
    case Result::Cancelled:
      return "cancelled";
    case Result::RollbackFailed:
      return "rollback failed";
    case Result::InternalError:
      return "internal error";
    case Result::NotSigned:
      return "not signed by the release key";
    case Result::WrongPatch:
      return "patch is not for this product, release or name";
  }
  return "unknown result";
}

}  // namespace rtp
