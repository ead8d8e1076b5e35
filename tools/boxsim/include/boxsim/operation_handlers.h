// The box's answers to the request/answer traffic that every job shares:
// announced operations, error reports, confirmation packets and the box
// load test.
#pragma once

#include <cstdint>
#include <vector>

#include "boxsim/handler.h"

namespace boxsim {

inline constexpr std::uint32_t kOperationType = 0x00000000;
inline constexpr std::uint32_t kBoxTestType = 0x00000011;
inline constexpr std::uint32_t kBackupReportType = 0x10000000;

// How the box answers an announced operation. The agent accepts type 0 or
// 1; with the error bit the payload is a u32 code.
struct OperationAnswer {
  std::uint32_t type = 1;
  bool error = false;
  std::uint32_t code = 0;
};

// Type 0 without the negotiation bit: u32 licence agent, u32 licence
// storage, string name, u32 1. Recorded as an operation whose fields are the
// two licence numbers and the trailing value.
class OperationHandler : public Handler {
 public:
  explicit OperationHandler(OperationAnswer answer = {}) : answer_(answer) {}
  bool handle(BoxSession& session, const kvn_network::NetPacket& packet) override;

 private:
  OperationAnswer answer_;
};

// An error report (error bit; u32 code, string text). Recorded with its
// text, the code goes into a note "report 0x<type> code 0x<code>"; answered
// with a packet of the same type holding u32 0. A packet without the error
// bit is not a report: it is answered with an error packet.
class ReportHandler : public Handler {
 public:
  bool handle(BoxSession& session, const kvn_network::NetPacket& packet) override;
};

// A confirmation (a packet of its type with no payload): noted as
// "confirm 0x<type>" and answered with an empty packet of the same type.
// The same types also carry error reports, which go to the report handler.
class ConfirmationHandler : public Handler {
 public:
  bool handle(BoxSession& session, const kvn_network::NetPacket& packet) override;

 private:
  ReportHandler reports_;
};

// The box load test (type 0x11, i32 seconds): the box keeps the agent
// waiting for that long, with a ping every second so that the wait never
// looks like a dead connection, then answers with type 0x11 and u32 0.
// Recorded as the operation "BoxScalabilityTest" with the seconds as field.
class BoxTestHandler : public Handler {
 public:
  // Longer tests are cut to this many seconds.
  explicit BoxTestHandler(int maxSeconds = 600) : maxSeconds_(maxSeconds) {}
  bool handle(BoxSession& session, const kvn_network::NetPacket& packet) override;

 private:
  int maxSeconds_;
};

// The confirmation types of the job conversations (backup, full version,
// delta, restoration, deletion, external deletion, job database).
const std::vector<std::uint32_t>& confirmationTypes();

// Registers the operation, report, confirmation and box-test handlers.
void addOperationHandlers(Registry& registry, OperationAnswer answer = {});

}  // namespace boxsim
