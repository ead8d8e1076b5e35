// The answer to one query: each reply is a "response" message for the
// query's id. A replier discarded without a final reply closes the stream
// with a failure, so the box never waits for an answer that cannot come.
#pragma once

#include <QJsonObject>
#include <cstdint>

class TesselLink;

class TesselReplier {
 public:
  TesselReplier(TesselLink& link, std::int64_t queryId);
  ~TesselReplier();
  TesselReplier(const TesselReplier&) = delete;
  TesselReplier& operator=(const TesselReplier&) = delete;

  // Sends one part of the answer; nothing once a part with done was sent.
  void reply(const QJsonObject& object, bool done);
  bool done() const { return done_; }
  // The channel the query came on, for processors that start tasks on it.
  TesselLink& link() const { return link_; }

 private:
  TesselLink& link_;
  std::int64_t queryId_;
  bool done_ = false;
};
