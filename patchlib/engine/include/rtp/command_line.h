// The command line the updater hands the patch library.
#ifndef RTP_COMMAND_LINE_H
#define RTP_COMMAND_LINE_H

#include <string>

#include "rtp/engine.h"

namespace rtp {

struct CommandLine {
  std::string patchPath;
  std::string productDir;
  ApplyOptions options;
};

// Parses `"patch" "dir" /b /nop ...`: quoted or bare paths, then option
// tokens starting with '/' ("/b" backup, "/nob" none, others ignored).
bool parseCommandLine(const std::string& text, CommandLine& out, std::string* error = nullptr);

}  // namespace rtp

#endif
