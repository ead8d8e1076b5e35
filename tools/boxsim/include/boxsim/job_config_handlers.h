// The job-configuration conversations of the simulated box: the agent asks
// for its jobs (0x70000001, one byte "the agent was reset"), fetches the job
// file (0x70000005, answered by one packet and then the file as a transfer
// of packet type 0x70000005, file id 0), confirms it applied the file
// (0x70000006); and it asks for the client configuration (0x50000010,
// answered with the datanode host and, unless left out, its port).
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "boxsim/handler.h"
#include "kvn_network/job_config_protocol.h"

namespace boxsim {

using kvn_network::kClientConfigRequestType;
using kvn_network::kJobConfigRequestType;
using kvn_network::kJobFileAppliedType;
using kvn_network::kJobFileRequestType;
inline constexpr std::uint32_t kJobFileId = 0;

struct JobConfigScript {
  // The job files served, one per request in this order; the last one is
  // served again for every further request. None: an empty file (no jobs).
  std::vector<QByteArray> jobFiles;
  // Abort the transfer instead of sending the file.
  bool abortTransfer = false;
  // The client configuration's answer; without a port the integer is left
  // out of the packet.
  QString datanodeHost = "127.0.0.1";
  std::optional<std::int32_t> datanodePort = 6670;
};

// What the handlers of every session share; tests may change the script
// between conversations. Thread-safe.
class JobConfigService {
 public:
  explicit JobConfigService(JobConfigScript script = {}) : script_(std::move(script)) {}

  void setScript(JobConfigScript script);
  JobConfigScript script() const;
  // The file for the next request (see JobConfigScript::jobFiles).
  QByteArray nextJobFile();
  // Job files handed out so far.
  int filesServed() const;

 private:
  mutable std::mutex mutex_;
  JobConfigScript script_;
  int served_ = 0;
};

// 0x70000001: noted as "job config request reset <0|1>", answered with an
// empty packet of the same type.
class JobConfigRequestHandler : public Handler {
 public:
  bool handle(BoxSession& session, const kvn_network::NetPacket& packet) override;
};

// 0x70000005: noted as "job file request", answered with one empty packet,
// then the next job file as a transfer (or an aborted one).
class JobFileRequestHandler : public Handler {
 public:
  explicit JobFileRequestHandler(std::shared_ptr<JobConfigService> service)
      : service_(std::move(service)) {}
  bool handle(BoxSession& session, const kvn_network::NetPacket& packet) override;

 private:
  std::shared_ptr<JobConfigService> service_;
};

// 0x50000010: noted as "client config request", answered with the host
// text and the i32 port.
class ClientConfigHandler : public Handler {
 public:
  explicit ClientConfigHandler(std::shared_ptr<JobConfigService> service)
      : service_(std::move(service)) {}
  bool handle(BoxSession& session, const kvn_network::NetPacket& packet) override;

 private:
  std::shared_ptr<JobConfigService> service_;
};

// Registers the handlers above and the confirmation of 0x70000006 (noted
// "confirm 0x70000006" and answered with an empty packet).
void addJobConfigHandlers(Registry& registry, std::shared_ptr<JobConfigService> service);

}  // namespace boxsim
