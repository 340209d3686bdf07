#include "rtp/command_line.h"

#include <vector>

#include "rtp/paths.h"

namespace rtp {

namespace {
bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
}  // namespace

bool parseCommandLine(const std::string& text, CommandLine& out, std::string* error) {
  out = CommandLine();
  std::vector<std::string> positional;
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    if (isBlank(text[i])) {
      ++i;
      continue;
    }
    if (text[i] == '"') {
      std::size_t close = text.find('"', i + 1);
      if (close == std::string::npos) {
        if (error) *error = "unbalanced quote";
        return false;
      }
      positional.push_back(text.substr(i + 1, close - i - 1));
      i = close + 1;
      continue;
    }
    std::size_t end = i;
    while (end < n && !isBlank(text[end])) ++end;
    std::string tok = text.substr(i, end - i);
    i = end;
    if (tok[0] == '/') {
      std::string opt = foldCase(tok);
      if (opt == "/b")
        out.options.backup = true;
      else if (opt == "/nob")
        out.options.backup = false;
      // Other switches belong to other tools of the updater.
    } else {
      positional.push_back(tok);
    }
  }
  if (positional.size() != 2 || positional[0].empty() || positional[1].empty()) {
    if (error) *error = "expected a patch file and a product folder";
    return false;
  }
  out.patchPath = positional[0];
  out.productDir = positional[1];
  return true;
}

}  // namespace rtp
