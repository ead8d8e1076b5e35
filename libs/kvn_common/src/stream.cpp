#include "kvn_common/stream.h"

#include "kvn_log/exception.h"

namespace kvn_common {

void StreamLink::write(const char* data, std::uint32_t size) { forward().write(data, size); }

void StreamLink::end() { forward().end(); }

StreamSink& StreamLink::forward() const {
  if (next_ == nullptr) throw KvnCommonException(KVN_HERE, "Broken link");
  return *next_;
}

void StreamChain::linkBehindTail(StreamSink& element) {
  if (head_ == nullptr) {
    head_ = &element;
    return;
  }
  if (tail_ == nullptr) throw KvnCommonException(KVN_HERE, "Clogged chain");
  tail_->setNext(&element);
}

StreamChain& StreamChain::append(StreamSink& element) {
  linkBehindTail(element);
  tail_ = dynamic_cast<StreamLink*>(&element);
  return *this;
}

StreamChain& StreamChain::append(const StreamChain& other) {
  if (other.head_ == nullptr) return *this;
  linkBehindTail(*other.head_);
  tail_ = other.tail_;
  return *this;
}

}  // namespace kvn_common
