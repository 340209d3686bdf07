#include "keys.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <system_error>

#include "TestReleaseKey.h"
#include "rtp/engine.h"
#include "rtp/keyfile.h"

namespace rtptool {

namespace {

bool readPassphrase(const KeyOptions& o, std::string& out) {
  out.clear();
  if (!o.passphraseEnv.empty()) {
    const char* value = std::getenv(o.passphraseEnv.c_str());
    if (!value || !*value) {
      std::fprintf(stderr, "rtptool: the variable %s holds no passphrase\n",
                   o.passphraseEnv.c_str());
      return false;
    }
    out = value;
  } else if (!o.passphraseFile.empty()) {
    std::ifstream in(o.passphraseFile, std::ios::binary);
    if (!in || !std::getline(in, out) || out.empty()) {
      std::fprintf(stderr, "rtptool: no passphrase in %s\n", o.passphraseFile.c_str());
      return false;
    }
    if (out.back() == '\r') out.pop_back();
  }
  return true;
}

std::unique_ptr<rtp::SigningKey> openSigningKey(const KeyOptions& options) {
  if (options.key.empty()) return nullptr;
  std::string passphrase;
  if (!readPassphrase(options, passphrase)) throw rtp::KeyError("no passphrase for " + options.key);
  return std::make_unique<rtp::SigningKey>(rtp::SigningKey::load(options.key, passphrase));
}

}  // namespace

bool takeKeyOptions(std::vector<std::string>& args, KeyOptions& out) {
  const std::pair<const char*, std::string*> named[] = {{"--key", &out.key},
                                                        {"--trust", &out.trust},
                                                        {"--passphrase-env", &out.passphraseEnv},
                                                        {"--passphrase-file", &out.passphraseFile}};
  for (auto it = args.begin(); it != args.end();) {
    std::string* target = nullptr;
    for (const auto& [name, value] : named)
      if (*it == name) target = value;
    if (!target) {
      ++it;
      continue;
    }
    if (it + 1 == args.end() || (it + 1)->empty()) {
      std::fprintf(stderr, "rtptool: %s needs a value\n", it->c_str());
      return false;
    }
    *target = *(it + 1);
    it = args.erase(it, it + 2);
  }
  if (!out.passphraseEnv.empty() && !out.passphraseFile.empty()) {
    std::fprintf(stderr, "rtptool: give either --passphrase-env or --passphrase-file\n");
    return false;
  }
  return true;
}

std::unique_ptr<rtp::SigningKey> loadSigningKey(const KeyOptions& options) {
  auto key = openSigningKey(options);
  if (key && !key->warning().empty()) std::fprintf(stderr, "rtptool: %s\n", key->warning().c_str());
  return key;
}

KeyLoader::KeyLoader(const KeyOptions& options, const char* action,
                     std::function<void(const std::string&)> say)
    : options_(options), action_(action), say_(std::move(say)) {
  if (options_.key.empty()) return;
  try {
    loading_ = std::thread([this] { load(); });
  } catch (const std::system_error&) {  // no thread to be had
    load();
  }
}

KeyLoader::~KeyLoader() {
  if (loading_.joinable()) loading_.join();
}

const rtp::SigningKey* KeyLoader::get() {
  if (loading_.joinable()) loading_.join();
  return key_.get();
}

void KeyLoader::load() {
  try {
    key_ = openSigningKey(options_);
    if (!key_->warning().empty()) say_("rtptool: " + key_->warning());
  } catch (const std::exception& e) {
    say_("rtptool: " + action_ + " failed: " + e.what());
    std::fflush(nullptr);
    std::_Exit(kExitKeyFailed);
  }
}

bool loadTrustedKey(const KeyOptions& options, rtp::crypto::PublicKey& key, int* exitCode) {
  if (options.trust.empty()) {
    std::fprintf(stderr, "rtptool: give the release public key to trust: --trust PUBLIC\n");
    *exitCode = static_cast<int>(rtp::Result::BadArguments);
    return false;
  }
  try {
    key = rtp::readPublicKey(options.trust);
    return true;
  } catch (const rtp::KeyError& e) {
    std::fprintf(stderr, "rtptool: %s\n", e.what());
    *exitCode = kExitKeyFailed;
    return false;
  }
}

bool sayIfTestKey(const rtp::crypto::KeyId& id) {
  if (rtp::crypto::hex(id) != kTestReleaseKey_ID) return false;
  std::printf("signed with the TEST key %s: its private half is public; never ship this\n",
              kTestReleaseKey_ID);
  return true;
}

int cmdKeygen(std::vector<std::string> args) {
  KeyOptions o;
  const auto plain = std::find(args.begin(), args.end(), "--unencrypted");
  const bool unencrypted = plain != args.end();
  if (unencrypted) args.erase(plain);
  if (!takeKeyOptions(args, o) || args.size() != 2 || !o.key.empty() || !o.trust.empty() ||
      (unencrypted && (!o.passphraseEnv.empty() || !o.passphraseFile.empty()))) {
    std::fprintf(stderr,
                 "usage: rtptool keygen PRIVATE PUBLIC (--passphrase-env VAR | --passphrase-file "
                 "FILE | --unencrypted)\n");
    return static_cast<int>(rtp::Result::BadArguments);
  }
  // A private key in the clear signs for whoever copies the file: only a
  // test key may be written so, and only when asked for by name.
  if (!unencrypted && o.passphraseEnv.empty() && o.passphraseFile.empty()) {
    std::fprintf(stderr,
                 "rtptool: keygen encrypts the private key: give its passphrase (at least %zu "
                 "characters) with --passphrase-env VAR or --passphrase-file FILE; "
                 "--unencrypted writes it in the clear, for test keys only\n",
                 rtp::keyfile::kMinPassphraseLength);
    return static_cast<int>(rtp::Result::BadArguments);
  }
  std::string passphrase;
  if (!readPassphrase(o, passphrase)) return kExitKeyFailed;
  try {
    rtp::generateKeyPair(args[0], args[1], passphrase);
    const rtp::crypto::PublicKey pub = rtp::readPublicKey(args[1]);
    std::printf("key id %s: private key %s (%s), public key %s\n",
                rtp::crypto::hex(rtp::crypto::keyId(pub)).c_str(), args[0].c_str(),
                passphrase.empty() ? "NOT encrypted: a test key only" : "encrypted",
                args[1].c_str());
    return 0;
  } catch (const rtp::KeyError& e) {
    std::fprintf(stderr, "rtptool: keygen failed: %s\n", e.what());
    return kExitKeyFailed;
  }
}

int cmdSign(std::vector<std::string> args) {
  KeyOptions o;
  if (!takeKeyOptions(args, o) || args.size() != 1 || o.key.empty() || !o.trust.empty()) {
    std::fprintf(stderr,
                 "usage: rtptool sign PATCH --key PRIVATE [--passphrase-env VAR | "
                 "--passphrase-file FILE]\n");
    return static_cast<int>(rtp::Result::BadArguments);
  }
  try {
    const std::unique_ptr<rtp::SigningKey> key = loadSigningKey(o);
    rtp::signPatchFile(args[0], *key);
    std::printf("%s: signed by key %s\n", args[0].c_str(), rtp::crypto::hex(key->keyId()).c_str());
    return 0;
  } catch (const rtp::Error& e) {
    std::fprintf(stderr, "rtptool: sign failed: %s: %s\n", rtp::resultName(e.result()), e.what());
    return static_cast<int>(e.result());
  } catch (const rtp::KeyError& e) {
    std::fprintf(stderr, "rtptool: sign failed: %s\n", e.what());
    return kExitKeyFailed;
  }
}

}  // namespace rtptool
