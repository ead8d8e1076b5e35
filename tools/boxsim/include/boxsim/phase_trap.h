// A point of a conversation where the box stops: it either holds (reads
// nothing more, answers nothing, and tells the test that it is there, so
// that the test can kill the agent at exactly that point) or drops the
// connection. A trap fires once, in the first connection that reaches its
// point; the connections after it run normally.
#pragma once

#include <QString>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

namespace boxsim {

// Where a trap waits. Written as text (command line, control socket):
//   PREP, PREPOST, INI, INFO, BACKUP, END, DONE   the backup action, on arrival
//   packet:0xTYPE                                 a packet of that type, on arrival
//   answer:0xTYPE                                 the box's answer of that type, before it
//                                                 leaves (the request has been handled)
//   stored                                        a version was stored, its confirmation
//                                                 not yet answered
//   full, delta, signature                        a data chunk of an incoming full
//                                                 version, delta or signature
//   download                                      a file the box sends, after that many
//                                                 chunks went out (signatures, restorations)
// followed by an optional ":N": the N-th such event of the connection (for
// chunks: the N-th chunk of a transfer; for download: after N chunks), 1 by
// default.
struct TrapPoint {
  enum class Kind { Action, Packet, Answer, Chunk, Download };
  Kind kind = Kind::Action;
  // The action name; "stored" for the answers to confirmations of a
  // stored version.
  QString name;
  // Packet and answer types; for chunks the data kind.
  std::uint32_t type = 0;
  int ordinal = 1;
  // As it was written.
  QString text;

  static std::optional<TrapPoint> parse(const QString& text, QString* error);
};

class PhaseTrap {
 public:
  enum class Action { Hold, Drop };
  PhaseTrap(Action action, TrapPoint point) : action_(action), point_(std::move(point)) {}

  Action action() const { return action_; }
  const TrapPoint& point() const { return point_; }
  bool matches(TrapPoint::Kind kind, std::uint32_t type, const QString& name, int ordinal) const;

  // True for the one caller that reaches the point first.
  bool take();
  // The connection holds at the point now.
  void markHeld();
  // Waits until a connection holds at the point; false after timeout.
  bool waitHeld(std::chrono::milliseconds timeout);
  bool fired() const;

 private:
  Action action_;
  TrapPoint point_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool taken_ = false;
  bool held_ = false;
};

}  // namespace boxsim
