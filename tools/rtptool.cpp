// rtptool: makes, signs, lists, verifies and applies patch files for release
// engineers. Exit codes are the engine's result codes (see --help).
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "keys.h"
#include "release.h"
#include "rtp/engine.h"
#include "rtp/maker.h"

namespace {

using rtptool::kExitMakeFailed;

const char kUsage[] =
    "usage: rtptool make OLD NEW PATCH [--key PRIVATE] [FOR]\n"
    "                                       write a patch turning tree OLD into tree NEW,\n"
    "                                       signed with PRIVATE (unsigned without --key)\n"
    "                                       for what FOR names (the name: PATCH's own)\n"
    "       rtptool sign PATCH --key PRIVATE\n"
    "                                       sign an unsigned patch in place\n"
    "       rtptool keygen PRIVATE PUBLIC (--passphrase-env VAR | --passphrase-file FILE |\n"
    "                                       --unencrypted)\n"
    "                                       write a new P-256 key pair as PEM files, the\n"
    "                                       private key encrypted (in the clear for test keys)\n"
    "       rtptool list PATCH [--trust PUBLIC]\n"
    "                                       show the operations and signer of a patch and,\n"
    "                                       with --trust, whether PUBLIC's signature holds\n"
    "       rtptool verify PATCH TREE --trust PUBLIC [FOR]\n"
    "                                       check that PATCH fits TREE, changing nothing\n"
    "       rtptool apply PATCH TREE --trust PUBLIC [--backup] [FOR]\n"
    "                                       apply PATCH to TREE (originals kept in TREE/backup)\n"
    "       rtptool recover TREE            finish or roll back an apply interrupted in TREE\n"
    "       rtptool release DESCRIPTION [--key PRIVATE] [--trust PUBLIC]\n"
    "                                       make every patch a release description names, and\n"
    "                                       check them together as the updater applies them\n"
    "       rtptool --help\n"
    "\n"
#ifdef _WIN32
    "keys: PRIVATE is a PEM private key file (PKCS#8, as keygen writes it on either\n"
    "  platform), PUBLIC a PEM public key file. verify and apply refuse patches not\n"
    "  signed by PUBLIC.\n"
#else
    "keys: PRIVATE is a PEM private key file, or a URI an OpenSSL provider answers;\n"
    "  PUBLIC a PEM public key file. verify and apply refuse patches not signed by PUBLIC.\n"
#endif
    "  A passphrase (for make and sign; keygen's has 12 characters or more)\n"
    "  comes from --passphrase-env VAR (the variable VAR) or --passphrase-file FILE\n"
    "  (FILE's first line); rtptool never prompts.\n"
    "\n"
    "FOR: --product NAME --name PATCHNAME --from RELEASE --to RELEASE, each optional:\n"
    "  what a patch is signed for (make), or what it must be signed for (verify, apply;\n"
    "  the name compared without case and without .rtp).\n"
    "\n"
    "exit codes:\n"
    "   0  success\n"
    "   1  bad arguments\n"
    "   2  patch file missing or unreadable\n"
    "   3  patch file corrupt or unsafe\n"
    "   4  patch format version not supported\n"
    "   5  tree does not fit the patch (a file is at neither its old nor new content)\n"
    "   6  file system error while applying (changes rolled back)\n"
    "   7  cancelled (Ctrl-C; changes rolled back)\n"
    "   8  rollback failed (journal kept; the next apply finishes the undo)\n"
    "   9  internal error\n"
    "  10  not signed by the trusted key (unsigned, another key's, or altered since)\n"
    "  11  signed for another product, patch name or release than FOR requires\n"
    "  20  make failed (trees unreadable or not patchable)\n"
    "  21  key failed (key file unusable, wrong passphrase, key file exists, already signed)\n"
    "  22  a release check failed (release: the message names it)\n";

volatile std::sig_atomic_t interrupted = 0;
void onSignal(int) { interrupted = 1; }

// Columns of the terminal or console that stderr shows in; 0 when it is
// neither (a pipe, a file).
int progressColumns() {
#ifdef _WIN32
  // A console redraws a line on '\r' like a terminal, but wraps a line as wide
  // as its buffer.
  CONSOLE_SCREEN_BUFFER_INFO console;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &console)) return 0;
  return console.dwSize.X;
#else
  return isatty(2) ? 91 : 0;
#endif
}

// One line redrawn in place with '\r', on a terminal or console only.
class Bar {
 public:
  Bar() : columns_(progressColumns()) {}
  void draw(std::size_t index, std::size_t count, int pct, const std::string& name) {
    const std::lock_guard<std::mutex> held(lock_);
    const int width = 30;
    char head[64];
    int filled = pct * width / 100;
    std::snprintf(head, sizeof head, "] %3d%% %zu/%zu ", pct, index + 1, count);
    const int room = std::min(40, columns_ - 2 - width - static_cast<int>(std::strlen(head)));
    if (room < 8) return;
    const std::size_t keep = static_cast<std::size_t>(room);
    std::string shown = name.size() > keep ? "..." + name.substr(name.size() - (keep - 3)) : name;
    std::fprintf(stderr, "\r[%s%s%s%-*s", std::string(filled, '#').c_str(),
                 std::string(width - filled, ' ').c_str(), head, room, shown.c_str());
    std::fflush(stderr);
    dirty_ = true;
  }
  void clear() {
    const std::lock_guard<std::mutex> held(lock_);
    clearLine();
  }
  // A line of its own, from any thread; the next draw shows the bar again.
  void say(const std::string& line) {
    const std::lock_guard<std::mutex> held(lock_);
    clearLine();
    std::fprintf(stderr, "%s\n", line.c_str());
  }

 private:
  void clearLine() {
    if (dirty_) std::fprintf(stderr, "\r%*s\r", columns_ - 1, "");
    dirty_ = false;
  }

  std::mutex lock_;
  int columns_;
  bool dirty_ = false;
};

class ApplyProgress : public rtp::ProgressSink {
 public:
  explicit ApplyProgress(Bar& bar) : bar_(bar) {}
  bool beginFile(std::size_t index, std::size_t count) override {
    index_ = index;
    count_ = count;
    return !interrupted;
  }
  bool fileName(const std::string& name) override {
    name_ = name;
    return !interrupted;
  }
  bool percent(int pct) override {
    bar_.draw(index_, count_, pct, name_);
    return !interrupted;
  }

 private:
  Bar& bar_;
  std::size_t index_ = 0, count_ = 0;
  std::string name_;
};

class MakeBar : public rtp::MakeProgress {
 public:
  explicit MakeBar(Bar& bar) : bar_(bar) {}
  void onFile(std::size_t index, std::size_t count, const std::string& path) override {
    bar_.draw(index, count, static_cast<int>(count ? index * 100 / count : 100), path);
  }

 private:
  Bar& bar_;
};

// Takes --product, --name, --from and --to out of args; false when one lacks
// its value.
bool takeBinding(std::vector<std::string>& args, rtp::Binding& out) {
  const std::pair<const char*, std::string*> options[] = {
      {"--product", &out.product}, {"--name", &out.name}, {"--from", &out.from}, {"--to", &out.to}};
  for (auto it = args.begin(); it != args.end();) {
    const auto option = std::find_if(std::begin(options), std::end(options),
                                     [&](const auto& o) { return *it == o.first; });
    if (option == std::end(options)) {
      ++it;
      continue;
    }
    if (it + 1 == args.end()) {
      std::fprintf(stderr, "rtptool: %s needs a value\n", option->first);
      return false;
    }
    *option->second = *(it + 1);
    it = args.erase(it, it + 2);
  }
  return true;
}

void printBinding(const rtp::Binding& b) {
  auto shown = [](const std::string& s) { return s.empty() ? "(none)" : s.c_str(); };
  std::printf("for product %s, patch %s, release %s to %s\n", shown(b.product), shown(b.name),
              shown(b.from), shown(b.to));
}

// Once the signed header was read: a refused patch may still have said.
void printBindingOf(const rtp::Outcome& o) {
  const rtp::Binding& b = o.binding;
  if (o.ok() || !(b.product + b.name + b.from + b.to).empty()) printBinding(b);
}

int report(const rtp::Outcome& o, const char* action) {
  if (o.recoveredJournal)
    std::fprintf(stderr, "rtptool: an interrupted patch was rolled back first\n");
  if (!o.ok()) {
    std::fprintf(stderr, "rtptool: %s failed: %s: %s\n", action, rtp::resultName(o.result),
                 o.message.c_str());
  } else if (!o.message.empty()) {
    std::fprintf(stderr, "rtptool: note: %s\n", o.message.c_str());
  }
  return static_cast<int>(o.result);
}

const char* stateName(rtp::FileState s) {
  switch (s) {
    case rtp::FileState::Pending:
      return "pending";
    case rtp::FileState::Done:
      return "done";
    case rtp::FileState::Mismatch:
      return "MISMATCH";
  }
  return "?";
}

int cmdMake(std::vector<std::string> a) {
  rtptool::KeyOptions keys;
  rtp::Binding binding;
  if (!rtptool::takeKeyOptions(a, keys) || !takeBinding(a, binding) || a.size() != 3 ||
      !keys.trust.empty()) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  Bar bar;
  rtptool::KeyLoader signer(keys, "make", [&bar](const std::string& line) { bar.say(line); });
  if (keys.key.empty())
    std::fprintf(stderr, "rtptool: note: %s is unsigned; sign it before shipping\n", a[2].c_str());
  MakeBar mb(bar);
  try {
    rtp::MakeStats s = rtp::makePatch(
        a[0], a[1], a[2], [&signer] { return signer.get(); }, &mb, binding);
    bar.clear();
    std::printf(
        "%s: %zu added, %zu modified, %zu deleted, %zu folders created, %zu removed, %zu "
        "unchanged; %llu bytes\n",
        a[2].c_str(), s.added, s.modified, s.deleted, s.dirsMade, s.dirsRemoved, s.unchanged,
        static_cast<unsigned long long>(s.patchSize));
    return 0;
  } catch (const std::exception& e) {
    bar.clear();
    std::fprintf(stderr, "rtptool: make failed: %s\n", e.what());
    return kExitMakeFailed;
  }
}

int cmdList(std::vector<std::string> a) {
  rtptool::KeyOptions keys;
  if (!rtptool::takeKeyOptions(a, keys) || a.size() != 1 || !keys.key.empty()) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  rtp::crypto::PublicKey trusted;
  int failed = 0;
  if (!keys.trust.empty() && !rtptool::loadTrustedKey(keys, trusted, &failed)) return failed;
  auto fs = rtp::makeNativeFileSystem();
  std::unique_ptr<rtp::File> f;
  try {
    f = fs->openRead(a[0]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "rtptool: list failed: %s\n", e.what());
    return static_cast<int>(rtp::Result::PatchUnreadable);
  }
  std::vector<rtp::PatchOp> ops;
  rtp::PatchInfo info;
  rtp::Outcome o = rtp::readPatch(*f, keys.trust.empty() ? nullptr : &trusted, &ops, &info);
  const bool isSigned = info.signer != rtp::crypto::KeyId{};
  if (o.result == rtp::Result::NotSigned)
    std::printf("patch %s  %s\n", a[0].c_str(),
                isSigned ? ("signed by key " + rtp::crypto::hex(info.signer)).c_str() : "unsigned");
  if (!o.ok()) return report(o, "list");
  std::printf("patch %s  format %u  id %s  %zu operations\n", a[0].c_str(),
              static_cast<unsigned>(rtp::format::kVersion), rtp::crypto::hex(info.id).c_str(),
              ops.size());
  if (!isSigned)
    std::printf("unsigned\n");
  else
    std::printf("signed by key %s%s\n", rtp::crypto::hex(info.signer).c_str(),
                keys.trust.empty() ? " (not checked: no --trust)" : ": signature valid");
  if (isSigned) rtptool::sayIfTestKey(info.signer);
  printBinding(info.binding);
  for (const rtp::PatchOp& op : ops) {
    std::printf("%-7s %s", rtp::opKindName(op.kind), op.path.c_str());
    if (rtp::carriesOld(op.kind))
      std::printf("  old %llu %s", static_cast<unsigned long long>(op.oldSize),
                  op.oldHash.hex().c_str());
    if (rtp::carriesNew(op.kind))
      std::printf("  new %llu %s  %s", static_cast<unsigned long long>(op.newSize),
                  op.newHash.hex().c_str(), op.encoding == rtp::Encoding::Delta ? "delta" : "full");
    if (!op.reference.empty()) std::printf(" from %s", op.reference.c_str());
    if (op.mode != 0) std::printf("  mode %04o", static_cast<unsigned>(op.mode));
    std::printf("\n");
  }
  return 0;
}

int cmdVerify(std::vector<std::string> a) {
  rtptool::KeyOptions keys;
  rtp::Binding required;
  if (!rtptool::takeKeyOptions(a, keys) || !takeBinding(a, required) || a.size() != 2 ||
      !keys.key.empty()) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  rtp::crypto::PublicKey trusted;
  int failed = 0;
  if (!rtptool::loadTrustedKey(keys, trusted, &failed)) return failed;
  auto fs = rtp::makeNativeFileSystem();
  rtp::Outcome o = rtp::verifyPatch(*fs, a[0], a[1], trusted, required);
  printBindingOf(o);
  std::size_t pending = 0, done = 0, bad = 0;
  for (const rtp::FileReport& r : o.files) {
    if (r.state == rtp::FileState::Mismatch)
      std::printf("%-8s %-7s %s: %s\n", stateName(r.state), rtp::opKindName(r.kind), r.path.c_str(),
                  r.detail.c_str());
    pending += r.state == rtp::FileState::Pending;
    done += r.state == rtp::FileState::Done;
    bad += r.state == rtp::FileState::Mismatch;
  }
  if (!o.files.empty())
    std::printf("%zu to change, %zu already done, %zu mismatched\n", pending, done, bad);
  if (o.ok() || o.result == rtp::Result::WrongInstallation)
    rtptool::sayIfTestKey(rtp::crypto::keyId(trusted));
  return report(o, "verify");
}

int cmdRecover(const std::vector<std::string>& a) {
  if (a.size() != 1) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  auto fs = rtp::makeNativeFileSystem();
  rtp::Outcome o = rtp::recoverInterrupted(*fs, a[0]);
  if (o.ok()) std::printf("%s: %s\n", a[0].c_str(), o.message.c_str());
  return o.ok() ? 0 : report(o, "recover");
}

int cmdApply(std::vector<std::string> a) {
  rtptool::KeyOptions keys;
  rtp::ApplyOptions opts;
  if (!rtptool::takeKeyOptions(a, keys) || !takeBinding(a, opts.required) || !keys.key.empty()) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  for (auto it = a.begin(); it != a.end();) {
    if (*it == "--backup") {
      opts.backup = true;
      it = a.erase(it);
    } else {
      ++it;
    }
  }
  if (a.size() != 2) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  rtp::crypto::PublicKey trusted;
  int failed = 0;
  if (!rtptool::loadTrustedKey(keys, trusted, &failed)) return failed;
  opts.trustedKey = trusted;
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
#ifdef SIGBREAK
  std::signal(SIGBREAK, onSignal);  // Ctrl-Break in a Windows console
#endif
  auto fs = rtp::makeNativeFileSystem();
  Bar bar;
  ApplyProgress progress(bar);
  rtp::Outcome o = rtp::applyPatch(*fs, a[0], a[1], opts, &progress);
  bar.clear();
  printBindingOf(o);
  if (o.ok()) {
    std::size_t done = 0;
    for (const rtp::FileReport& r : o.files) done += r.state == rtp::FileState::Done;
    std::printf("applied %s: %zu operations, %zu already done\n", a[0].c_str(), o.files.size(),
                done);
  }
  return report(o, "apply");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  const std::string cmd = args[0];
  args.erase(args.begin());
  if (cmd == "--help" || cmd == "-h" || cmd == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (cmd == "make") return cmdMake(args);
  if (cmd == "sign") return rtptool::cmdSign(args);
  if (cmd == "keygen") return rtptool::cmdKeygen(args);
  if (cmd == "list") return cmdList(args);
  if (cmd == "verify") return cmdVerify(args);
  if (cmd == "apply") return cmdApply(args);
  if (cmd == "recover") return cmdRecover(args);
  if (cmd == "release") return rtptool::cmdRelease(args);
  std::fprintf(stderr, "rtptool: unknown command '%s'\n", cmd.c_str());
  std::fputs(kUsage, stderr);
  return 1;
}
