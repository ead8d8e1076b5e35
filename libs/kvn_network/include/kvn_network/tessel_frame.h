// Framing of the Tessel channel: encoding of frames and an incremental
// reader that takes arbitrary chunks of received bytes and hands out
// complete messages (a JSON body, with its payload when one was announced).
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include "kvn_network/tessel_protocol.h"

namespace kvn_network::tessel {

inline bool hasPayloadFlag(std::uint32_t header) { return (header & kPayloadFlag) != 0; }
// Bits 30 and 31 stay: a header with them set gives a length over the limit.
inline std::uint32_t bodyLength(std::uint32_t header) { return header & ~kPayloadFlag; }

std::uint32_t decodeHeader(const char* fourBytes);
QByteArray encodeHeader(std::uint32_t header);
// Header and body of one frame; the flag announces a payload frame after it.
QByteArray encodeFrame(const QByteArray& body, bool payloadFollows = false);

// The compact JSON body of a message: object plus "type".
QByteArray messageBody(const char* type, QJsonObject object = {});
// The frames of one message: its JSON frame, and the payload frame when a
// payload is given.
QByteArray encodeMessage(const char* type, const QJsonObject& object = {},
                         const QByteArray* payload = nullptr);

// The body as a message object; empty when it is not a JSON object or is an
// empty one (both are protocol faults).
std::optional<QJsonObject> parseMessage(const QByteArray& body);

struct TesselMessage {
  QByteArray json;
  QByteArray payload;
  bool hasPayload = false;
};

enum class FrameError {
  None,
  TooLong,      // a length over kMaxFrameBody
  TwoPayloads,  // a flagged header while a flagged JSON frame awaits its payload
};

// kProtocolErrorText or kTwoPayloadsText; empty for None.
const char* frameErrorText(FrameError error);

class TesselFrameReader {
 public:
  enum class Status { Message, NeedMore, Failed };

  // Takes received bytes. Complete messages are queued; a fault ends the
  // reader, and whatever follows it is ignored. False once failed.
  bool feed(const char* data, std::size_t size);
  bool feed(const QByteArray& data) { return feed(data.constData(), std::size_t(data.size())); }

  // Hands out the queued messages in order (Message); once they are out,
  // Failed when a fault came after them, else NeedMore.
  Status next(TesselMessage& message);

  bool failed() const { return error_ != FrameError::None; }
  FrameError error() const { return error_; }
  // The line to log for the fault; empty while none happened.
  const char* errorText() const { return frameErrorText(error_); }

  // True while no frame is partly read and no message is queued.
  bool idle() const;

 private:
  void completeFrame();

  char header_[kHeaderSize] = {};
  std::size_t headerFill_ = 0;
  std::uint32_t headerValue_ = 0;
  bool inBody_ = false;
  std::uint32_t length_ = 0;
  QByteArray body_;
  // A flagged JSON frame waiting for its payload frame.
  std::optional<QByteArray> waitingJson_;
  std::deque<TesselMessage> ready_;
  FrameError error_ = FrameError::None;
};

}  // namespace kvn_network::tessel
