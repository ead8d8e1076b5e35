#include "kvn_network/tessel_frame.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <algorithm>

namespace kvn_network::tessel {

std::uint32_t decodeHeader(const char* fourBytes) {
  const auto* b = reinterpret_cast<const unsigned char*>(fourBytes);
  return (std::uint32_t(b[0]) << 24) | (std::uint32_t(b[1]) << 16) | (std::uint32_t(b[2]) << 8) |
         std::uint32_t(b[3]);
}

QByteArray encodeHeader(std::uint32_t header) {
  QByteArray out(kHeaderSize, '\0');
  out[0] = char(header >> 24);
  out[1] = char(header >> 16);
  out[2] = char(header >> 8);
  out[3] = char(header);
  return out;
}

QByteArray encodeFrame(const QByteArray& body, bool payloadFollows) {
  const std::uint32_t length = std::uint32_t(body.size());
  return encodeHeader(payloadFollows ? (length | kPayloadFlag) : length) + body;
}

QByteArray messageBody(const char* type, QJsonObject object) {
  object.insert(key::kType, QString::fromLatin1(type));
  return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray encodeMessage(const char* type, const QJsonObject& object, const QByteArray* payload) {
  QByteArray frames = encodeFrame(messageBody(type, object), payload != nullptr);
  if (payload) frames += encodeFrame(*payload);
  return frames;
}

std::optional<QJsonObject> parseMessage(const QByteArray& body) {
  QJsonParseError error{};
  const QJsonDocument document = QJsonDocument::fromJson(body, &error);
  if (error.error != QJsonParseError::NoError || !document.isObject() ||
      document.object().isEmpty())
    return std::nullopt;
  return document.object();
}

const char* frameErrorText(FrameError error) {
  switch (error) {
    case FrameError::None: return "";
    case FrameError::TooLong: return kProtocolErrorText;
    case FrameError::TwoPayloads: return kTwoPayloadsText;
  }
  return kProtocolErrorText;
}

bool TesselFrameReader::feed(const char* data, std::size_t size) {
  const char* end = data + size;
  while (!failed() && data < end) {
    if (!inBody_) {
      const std::size_t take = std::min<std::size_t>(kHeaderSize - headerFill_, end - data);
      std::copy(data, data + take, header_ + headerFill_);
      headerFill_ += take;
      data += take;
      if (headerFill_ < kHeaderSize) break;
      headerFill_ = 0;
      headerValue_ = decodeHeader(header_);
      if (waitingJson_ && hasPayloadFlag(headerValue_)) {
        error_ = FrameError::TwoPayloads;
        break;
      }
      length_ = bodyLength(headerValue_);
      if (length_ > kMaxFrameBody) {
        error_ = FrameError::TooLong;
        break;
      }
      // Only now is the length known to be within the limit.
      body_.clear();
      body_.reserve(qsizetype(length_));
      inBody_ = true;
    }
    const std::size_t missing = length_ - std::size_t(body_.size());
    const std::size_t take = std::min<std::size_t>(missing, end - data);
    body_.append(data, qsizetype(take));
    data += take;
    if (std::size_t(body_.size()) == length_) completeFrame();
  }
  return !failed();
}

void TesselFrameReader::completeFrame() {
  inBody_ = false;
  if (waitingJson_) {
    ready_.push_back({std::move(*waitingJson_), std::move(body_), true});
    waitingJson_.reset();
  } else if (hasPayloadFlag(headerValue_)) {
    waitingJson_ = std::move(body_);
  } else {
    ready_.push_back({std::move(body_), {}, false});
  }
  body_ = QByteArray();
}

TesselFrameReader::Status TesselFrameReader::next(TesselMessage& message) {
  if (!ready_.empty()) {
    message = std::move(ready_.front());
    ready_.pop_front();
    return Status::Message;
  }
  return failed() ? Status::Failed : Status::NeedMore;
}

bool TesselFrameReader::idle() const {
  return !inBody_ && headerFill_ == 0 && !waitingJson_ && ready_.empty();
}

}  // namespace kvn_network::tessel
