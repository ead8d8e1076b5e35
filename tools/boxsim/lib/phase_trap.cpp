#include "boxsim/phase_trap.h"

#include <QStringList>

#include "kvn_network/backup_protocol.h"

namespace boxsim {

namespace {

namespace data_kind = ::kvn_network::data_kind;

std::optional<std::uint32_t> hexType(const QString& text) {
  bool ok = false;
  const std::uint32_t value = text.toUInt(&ok, 16);
  return ok ? std::optional<std::uint32_t>(value) : std::nullopt;
}

std::optional<TrapPoint> failed(QString* error, const QString& text) {
  if (error) *error = text;
  return std::nullopt;
}

}  // namespace

std::optional<TrapPoint> TrapPoint::parse(const QString& text, QString* error) {
  static const QStringList kActions = {"PREP", "PREPOST", "INI", "INFO", "BACKUP", "END", "DONE"};
  QStringList parts = text.split(':');
  TrapPoint point;
  point.text = text;
  const QString head = parts.takeFirst();
  if (head == "packet" || head == "answer") {
    const auto type = parts.isEmpty() ? std::nullopt : hexType(parts.takeFirst());
    if (!type) return failed(error, head + " needs a packet type: " + head + ":0x10000101");
    point.kind = head == "packet" ? Kind::Packet : Kind::Answer;
    point.type = *type;
  } else if (head == "stored") {
    point.kind = Kind::Answer;
    point.name = head;
  } else if (head == "full" || head == "delta" || head == "signature") {
    point.kind = Kind::Chunk;
    point.type = head == "full"    ? data_kind::kFull
                 : head == "delta" ? data_kind::kDelta
                                   : data_kind::kSignature;
  } else if (head == "download") {
    point.kind = Kind::Download;
  } else if (kActions.contains(head)) {
    point.kind = Kind::Action;
    point.name = head;
  } else {
    return failed(error, "unknown point '" + head + "'");
  }
  if (!parts.isEmpty()) {
    bool ok = false;
    point.ordinal = parts.takeFirst().toInt(&ok);
    if (!ok || point.ordinal < 1) return failed(error, "the count after ':' must be 1 or more");
  }
  if (!parts.isEmpty()) return failed(error, "too many ':' in '" + text + "'");
  return point;
}

bool PhaseTrap::matches(TrapPoint::Kind kind, std::uint32_t type, const QString& name,
                        int ordinal) const {
  if (kind != point_.kind || ordinal != point_.ordinal) return false;
  if (!point_.name.isEmpty() && point_.name != name) return false;
  return point_.type == 0 || point_.type == type;
}

bool PhaseTrap::take() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (taken_) return false;
  taken_ = true;
  return true;
}

void PhaseTrap::markHeld() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = true;
  }
  changed_.notify_all();
}

bool PhaseTrap::waitHeld(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return held_; });
}

bool PhaseTrap::fired() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return taken_;
}

}  // namespace boxsim
