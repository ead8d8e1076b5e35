#include "remembered_keys.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <mutex>

namespace kvn_crypto::detail {

namespace {

// A connection uses three secrets per side, and agent and box share them
// when they run in one process; one more leaves room for a second pairing.
constexpr std::size_t kKept = 4;

struct Remembered {
  Bytes secret;
  int bits = 0;
  AesContext::Mode mode = AesContext::Ecb;
  std::unique_ptr<AesContext> context;
};

class RememberedKeys {
 public:
  // OpenSSL set up first: its clean-up at exit then comes after this
  // object's, whose contexts it must still free.
  RememberedKeys() { OPENSSL_init_crypto(0, nullptr); }
  ~RememberedKeys() {
    for (Remembered& entry : kept_) OPENSSL_cleanse(entry.secret.data(), entry.secret.size());
  }

  void init(AesContext& context, const Bytes& secret, int bits, AesContext::Mode mode) {
    {
      std::lock_guard lock(mutex_);
      for (auto it = kept_.begin(); it != kept_.end(); ++it) {
        if (it->bits != bits || it->mode != mode || it->secret != secret) continue;
        context.initLike(*it->context);
        // Most recently used first.
        std::rotate(kept_.begin(), it, it + 1);
        return;
      }
    }
    // Derived outside the lock: the other side of an in-process connection
    // may be deriving meanwhile.
    context.init(secret, secret, bits, mode);
    Remembered entry{secret, bits, mode, std::make_unique<AesContext>()};
    entry.context->initLike(context);
    std::lock_guard lock(mutex_);
    kept_.push_front(std::move(entry));
    if (kept_.size() <= kKept) return;
    OPENSSL_cleanse(kept_.back().secret.data(), kept_.back().secret.size());
    kept_.pop_back();
  }

 private:
  std::mutex mutex_;
  std::deque<Remembered> kept_;
};

}  // namespace

void initRemembered(AesContext& context, const Bytes& secret, int bits, AesContext::Mode mode) {
  static RememberedKeys keys;
  keys.init(context, secret, bits, mode);
}

}  // namespace kvn_crypto::detail
