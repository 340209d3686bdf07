// PATCHW32.dll test double: a scripted stand-in for the patch library, so the
// updater's tests can drive every callback sequence and see exactly how the
// program called the library.  Exports only ordinal 1 (no name), like the
// real library.
//
// SCRIPT (file named by VELMORA_PATCH_SCRIPT; unset: no steps, result 0)
//   One statement a line; blank lines and lines starting with '#' are ignored.
//   patch NAME           Starts the steps run when the command line names the
//                        patch file NAME (case-insensitive; NAME must stand as
//                        a whole file name: after the start, a blank, a quote,
//                        '\', '/' or ':', and before the end, a blank or a
//                        quote).  "patch *" matches every call.  The first
//                        matching block in the file is run; steps before the
//                        first "patch" line form a block matching every call.
//                        A call that no block matches runs no steps.
//   event ID [ARG]       Calls back (ID, parameter).  ID 5: ARG is a number
//                        0..65535 passed as a pointer to an unsigned short.
//                        ID 8 takes no ARG and passes null.  Other ids: ARG
//                        (the rest of the line, may hold blanks) passed as
//                        a char*.  Without ARG any id passes null.
//   pump-until-null N [MS]
//                        Calls back (0, null) up to N times, sleeping MS ms
//                        (default 20) after each non-null answer, until an
//                        answer is null.  Lets a test cancel asynchronously.
//   sleep MS             Sleeps.
//   touch FILE           Creates (empties) FILE; a relative name is taken
//                        from the call's current directory (recorded as cwd).
//   abandon-return N     Result when an answer is null (default 0).
//   return N             Stops here; the call returns N (default: 0 at the end).
//   A null answer to any callback abandons the patch: no further steps run.
//   A malformed script makes the call return -1 without calling back.
//
// RECORD (appended to the file named by VELMORA_PATCH_RECORD, if set; each
// line is written as it happens, so a test may watch a call in progress)
//   call                     begins one block per call
//   cmdline TEXT             the command line, byte for byte (rest of line)
//   cmdlen N                 its length in bytes
//   (cmdline-null instead of both when the pointer is null)
//   arg3 N                   the third argument
//   cwd DIR                  the current directory during the call
//   block NAME               the script block run ("*" for catch-all, "none")
//   answer ID null           a callback answered null
//   answer ID go empty       ... non-null pointing to an empty string
//   answer ID go text        ... non-null pointing to a non-empty string
//   answer ID go unreadable  ... non-null but not readable memory
//   pump N null|go           a pump made N callbacks; last answer null or not
//   touch FILE ok|failed
//   callback-null            the block calls back but the pointer was null
//                            (the call returns -1)
//   error TEXT               script problem (the call returns -1)
//   abandoned                stopped on a null answer
//   result N
//   end
#include <windows.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "PatchW32.h"

namespace {

std::string envVar(const char* name) {
  char small[MAX_PATH];
  DWORD n = GetEnvironmentVariableA(name, small, sizeof small);
  if (n == 0) return {};
  if (n < sizeof small) return std::string(small, n);
  std::string big(n, '\0');
  n = GetEnvironmentVariableA(name, &big[0], n);
  big.resize(n);
  return big;
}

class Recorder {
 public:
  Recorder() : path_(envVar("VELMORA_PATCH_RECORD")) {}

  void line(const std::string& text) {
    if (path_.empty()) return;
    // Opened per line so that a test reading the record mid-call sees
    // everything so far, and a crash loses nothing written before it.
    if (FILE* f = std::fopen(path_.c_str(), "ab")) {
      std::fwrite(text.data(), 1, text.size(), f);
      std::fputc('\n', f);
      std::fclose(f);
    }
  }

 private:
  std::string path_;
};

enum class Op { Event, Pump, Sleep, Touch, AbandonReturn, Return };

struct Step {
  Op op;
  int id = 0;          // event id
  long number = 0;     // pump count, sleep ms, result, word value
  long interval = 20;  // pump sleep
  bool hasArg = false;
  std::string text;  // event text / touch file
};

struct Block {
  std::string name;  // "*" matches everything
  std::vector<Step> steps;
};

bool parseLong(const std::string& s, long& out) {
  if (s.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(s.c_str(), &end, 0);
  if (errno != 0 || *end != '\0') return false;
  out = v;
  return true;
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

// Splits off the first blank-separated word; rest keeps inner blanks.
std::string firstWord(const std::string& s, std::string& rest) {
  size_t sp = s.find_first_of(" \t");
  if (sp == std::string::npos) {
    rest.clear();
    return s;
  }
  rest = trim(s.substr(sp));
  return s.substr(0, sp);
}

bool parseScript(const std::string& text, std::vector<Block>& blocks, std::string& error) {
  size_t pos = 0;
  int lineNo = 0;
  while (pos <= text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::string line = trim(text.substr(pos, nl - pos));
    pos = nl + 1;
    ++lineNo;
    if (line.empty() || line[0] == '#') continue;

    std::string rest;
    std::string word = firstWord(line, rest);
    auto fail = [&](const std::string& why) {
      error = "line " + std::to_string(lineNo) + ": " + why + ": " + line;
      return false;
    };
    if (word == "patch") {
      if (rest.empty()) return fail("patch needs a name");
      blocks.push_back(Block{rest, {}});
      continue;
    }
    if (blocks.empty()) blocks.push_back(Block{"*", {}});
    Step step{};
    std::string arg2;
    std::string arg1 = firstWord(rest, arg2);
    if (word == "event") {
      long id;
      if (!parseLong(arg1, id)) return fail("event needs a numeric id");
      step.op = Op::Event;
      step.id = static_cast<int>(id);
      step.hasArg = !arg2.empty();
      if (id == PATCHW32_EVENT_NEXT_FILE && step.hasArg) return fail("event 8 takes no argument");
      if (id == PATCHW32_EVENT_PROGRESS && step.hasArg) {
        if (!parseLong(arg2, step.number) || step.number < 0 || step.number > 0xFFFF)
          return fail("event 5 needs a 16-bit number");
      } else {
        step.text = arg2;
      }
    } else if (word == "pump-until-null") {
      step.op = Op::Pump;
      std::string extra;
      std::string ms = firstWord(arg2, extra);
      if (!parseLong(arg1, step.number) || step.number < 1 || !extra.empty() ||
          (!ms.empty() && (!parseLong(ms, step.interval) || step.interval < 0)))
        return fail("pump-until-null needs a count and optionally milliseconds");
    } else if (word == "sleep") {
      step.op = Op::Sleep;
      if (!parseLong(rest, step.number) || step.number < 0) return fail("sleep needs milliseconds");
    } else if (word == "touch") {
      step.op = Op::Touch;
      if (rest.empty()) return fail("touch needs a file name");
      step.text = rest;
    } else if (word == "abandon-return" || word == "return") {
      step.op = word == "return" ? Op::Return : Op::AbandonReturn;
      if (!parseLong(rest, step.number)) return fail(word + " needs a number");
    } else {
      return fail("unknown step");
    }
    blocks.back().steps.push_back(step);
  }
  return true;
}

bool readFile(const std::string& path, std::string& out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  std::fclose(f);
  return true;
}

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool namesPatch(const std::string& cmdline, const std::string& name) {
  if (name == "*") return true;
  if (name.size() > cmdline.size()) return false;
  for (size_t at = 0; at + name.size() <= cmdline.size(); ++at) {
    bool same = true;
    for (size_t i = 0; i < name.size() && same; ++i)
      same = lower(cmdline[at + i]) == lower(name[i]);
    if (!same) continue;
    char before = at == 0 ? ' ' : cmdline[at - 1];
    size_t endAt = at + name.size();
    char after = endAt == cmdline.size() ? ' ' : cmdline[endAt];
    if (std::strchr(" \t\"\\/:", before) && std::strchr(" \t\"", after)) return true;
  }
  return false;
}

// Describes an answer without trusting the pointer: the program might hand
// back any non-null value to mean "go on".
std::string describeAnswer(void* answer) {
  if (!answer) return "null";
  MEMORY_BASIC_INFORMATION mbi;
  if (VirtualQuery(answer, &mbi, sizeof mbi) == 0 || mbi.State != MEM_COMMIT ||
      (mbi.Protect & (PAGE_NOACCESS | PAGE_GUARD)) != 0 ||
      (mbi.Protect & (PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                      PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY)) == 0)
    return "go unreadable";
  return *static_cast<const char*>(answer) == '\0' ? "go empty" : "go text";
}

std::string currentDirectory() {
  char buf[MAX_PATH * 2];
  DWORD n = GetCurrentDirectoryA(sizeof buf, buf);
  return n > 0 && n < sizeof buf ? std::string(buf, n) : std::string("?");
}

int run(const char* commandLine, PatchCallbackFn callback, int always1) {
  Recorder rec;
  rec.line("call");
  std::string cmd;
  if (commandLine) {
    cmd = commandLine;
    rec.line("cmdline " + cmd);
    rec.line("cmdlen " + std::to_string(cmd.size()));
  } else {
    rec.line("cmdline-null");
  }
  rec.line("arg3 " + std::to_string(always1));
  rec.line("cwd " + currentDirectory());

  auto finish = [&](int result) {
    rec.line("result " + std::to_string(result));
    rec.line("end");
    return result;
  };

  std::vector<Block> blocks;
  std::string scriptPath = envVar("VELMORA_PATCH_SCRIPT");
  if (!scriptPath.empty()) {
    std::string text, error;
    if (!readFile(scriptPath, text)) {
      rec.line("error cannot read script " + scriptPath);
      return finish(-1);
    }
    if (!parseScript(text, blocks, error)) {
      rec.line("error " + error);
      return finish(-1);
    }
  }

  const Block* block = nullptr;
  for (const Block& b : blocks)
    if (namesPatch(cmd, b.name)) {
      block = &b;
      break;
    }
  rec.line("block " + (block ? block->name : std::string("none")));
  if (!block) return finish(0);

  bool needsCallback = false;
  for (const Step& s : block->steps) needsCallback |= s.op == Op::Event || s.op == Op::Pump;
  if (needsCallback && !callback) {
    rec.line("callback-null");
    return finish(-1);
  }

  int abandonResult = 0;
  for (const Step& s : block->steps) {
    switch (s.op) {
      case Op::Event: {
        unsigned short word = static_cast<unsigned short>(s.number);
        std::vector<char> text(s.text.begin(), s.text.end());
        text.push_back('\0');
        void* param = nullptr;
        if (s.hasArg)
          param = s.id == PATCHW32_EVENT_PROGRESS ? static_cast<void*>(&word)
                                                  : static_cast<void*>(text.data());
        void* answer = callback(s.id, param);
        rec.line("answer " + std::to_string(s.id) + " " + describeAnswer(answer));
        if (!answer) {
          rec.line("abandoned");
          return finish(abandonResult);
        }
        break;
      }
      case Op::Pump: {
        long calls = 0;
        bool gotNull = false;
        while (calls < s.number && !gotNull) {
          ++calls;
          gotNull = callback(0, nullptr) == nullptr;
          if (!gotNull && s.interval > 0) Sleep(static_cast<DWORD>(s.interval));
        }
        rec.line("pump " + std::to_string(calls) + (gotNull ? " null" : " go"));
        if (gotNull) {
          rec.line("abandoned");
          return finish(abandonResult);
        }
        break;
      }
      case Op::Sleep:
        Sleep(static_cast<DWORD>(s.number));
        break;
      case Op::Touch: {
        FILE* f = std::fopen(s.text.c_str(), "wb");
        if (f) std::fclose(f);
        rec.line("touch " + s.text + (f ? " ok" : " failed"));
        break;
      }
      case Op::AbandonReturn:
        abandonResult = static_cast<int>(s.number);
        break;
      case Op::Return:
        return finish(static_cast<int>(s.number));
    }
  }
  return finish(0);
}

}  // namespace

extern "C" int __stdcall PatchEntry(const char* commandLine, PatchCallbackFn callback,
                                    int always1) {
  return run(commandLine, callback, always1);
}
