// rtptool's key handling: the keygen and sign commands, and the options that
// name keys (--key, --trust) and passphrases (--passphrase-env, --passphrase-file).
#ifndef RTPTOOL_KEYS_H
#define RTPTOOL_KEYS_H

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "rtp/crypto.h"
#include "rtp/signer.h"

namespace rtptool {

// A key file unusable, a wrong passphrase, a key file in the way, a patch
// signed already. (The engine's results are 0..10, "make failed" is 20.)
constexpr int kExitKeyFailed = 21;

struct KeyOptions {
  std::string key;             // --key: private key file or provider URI
  std::string trust;           // --trust: public key file
  std::string passphraseEnv;   // --passphrase-env: name of a variable holding it
  std::string passphraseFile;  // --passphrase-file: its first line
};

// Takes the key options out of args. False, with a message, when an option
// lacks its value or a passphrase source is unreadable.
bool takeKeyOptions(std::vector<std::string>& args, KeyOptions& out);

// The private key named by --key; null without --key. Throws rtp::KeyError.
std::unique_ptr<rtp::SigningKey> loadSigningKey(const KeyOptions& options);

// The private key named by --key, loaded on a thread of its own while the
// caller makes patches: a key file with a passphrase takes 600,000 rounds of
// PBKDF2 to open. A make writes nothing before it has its signer, so when the
// key cannot be loaded the process ends there and then, with "rtptool: ACTION
// failed: why" and kExitKeyFailed. `say` writes a line to stderr (the loader
// says the key file's warning, or why it failed, from its own thread).
class KeyLoader {
 public:
  KeyLoader(const KeyOptions& options, const char* action,
            std::function<void(const std::string&)> say);
  ~KeyLoader();
  KeyLoader(const KeyLoader&) = delete;
  KeyLoader& operator=(const KeyLoader&) = delete;
  // Waits for the key; null without --key.
  const rtp::SigningKey* get();

 private:
  void load();

  KeyOptions options_;
  std::string action_;
  std::function<void(const std::string&)> say_;
  std::unique_ptr<rtp::SigningKey> key_;
  std::thread loading_;
};

// The public key named by --trust. False, with a message, when there is none
// or it is unusable; *exitCode then says how to leave.
bool loadTrustedKey(const KeyOptions& options, rtp::crypto::PublicKey& key, int* exitCode);

// Says on stdout that id is the repository's test key, whose private half is
// public, when it is; true then. Anything signed with it is for tests only.
bool sayIfTestKey(const rtp::crypto::KeyId& id);

int cmdKeygen(std::vector<std::string> args);
int cmdSign(std::vector<std::string> args);

}  // namespace rtptool

#endif
