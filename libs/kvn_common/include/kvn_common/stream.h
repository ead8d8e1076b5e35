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

// Links elements in the order they are appended. It owns none of them: the
// job that builds a chain keeps its elements alive until the chain has ended.
class StreamChain {
 public:
  // The first element appended becomes the head. Appending after a pure
  // sink throws "Clogged chain": nothing could ever reach the new element.
  StreamChain& append(StreamSink& element);
  // Links other's head behind this chain and takes over its tail.
  StreamChain& append(const StreamChain& other);

  // Where a source pushes its data; null while the chain is empty.
  StreamSink* head() const { return head_; }
  // The last element when it is a link, null when it is a pure sink.
  StreamLink* tail() const { return tail_; }

 private:
  void linkBehindTail(StreamSink& element);

  StreamSink* head_ = nullptr;
  StreamLink* tail_ = nullptr;
};

}  // namespace kvn_common
