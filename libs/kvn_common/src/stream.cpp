#include "kvn_common/stream.h"

#include "kvn_log/exception.h"

namespace kvn_common {

void StreamLink::write(const char* data, std::uint32_t size) { forward().write(data, size); }

void StreamLink::end() { forward().end(); }

StreamSink& StreamLink::forward() const {
  if (next_ == nullptr) throw KvnCommonException(KVN_HERE, "Broken link");
  return *next_;
}

}  // namespace kvn_common
