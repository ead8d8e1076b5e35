// The push pipeline that carries file and volume data: a source pushes
// bytes into the first element, each link transforms or observes them and
// pushes them on, and a sink at the end consumes them.
#pragma once

#include <cstdint>

namespace kvn_common {

class StreamSink {
 public:
  virtual ~StreamSink() = default;
  // Consumes size bytes. Errors are thrown as KvnCommonException.
  virtual void write(const char* data, std::uint32_t size) = 0;
  // No more data: flush, finish and close.
  virtual void end() = 0;
};

// An element that forwards to the next one, which it does not own.
class StreamLink : public StreamSink {
 public:
  void write(const char* data, std::uint32_t size) override;
  void end() override;

  void setNext(StreamSink* next) { next_ = next; }
  StreamSink* next() const { return next_; }

 protected:
  // The next element; throws "Broken link" when there is none.
  StreamSink& forward() const;

 private:
  StreamSink* next_ = nullptr;
};

}  // namespace kvn_common
