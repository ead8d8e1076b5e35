#include <algorithm>

#include "boxsim/job_config_handlers.h"
#include "boxsim/operation_handlers.h"
#include "boxsim/session.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"
#include "kvn_network/file_transfer.h"
#include "kvn_network/netpacket.h"

namespace boxsim {

void JobConfigService::setScript(JobConfigScript script) {
  std::lock_guard lock(mutex_);
  script_ = std::move(script);
  served_ = 0;
}

JobConfigScript JobConfigService::script() const {
  std::lock_guard lock(mutex_);
  return script_;
}

QByteArray JobConfigService::nextJobFile() {
  std::lock_guard lock(mutex_);
  const auto& files = script_.jobFiles;
  const std::size_t index = static_cast<std::size_t>(served_++);
  if (files.empty()) return {};
  return files[std::min(index, files.size() - 1)];
}

int JobConfigService::filesServed() const {
  std::lock_guard lock(mutex_);
  return served_;
}

bool JobConfigRequestHandler::handle(BoxSession& session, const kvn_network::NetPacket& packet) {
  kvn_network::NetPacket request = packet;
  std::uint8_t reset = 0;
  try {
    reset = request.getUInt8();
  } catch (const KvnCommonException& e) {
    KLOG_E("boxsim: malformed job configuration request: %s", e.what());
    session.record().addNote("malformed job config request");
    return false;
  }
  session.record().addNote(QString("job config request reset %1").arg(reset));
  KLOG_I("boxsim: job configuration requested (reset %d)", static_cast<int>(reset));
  kvn_network::NetPacket answer(kJobConfigRequestType);
  return session.send(answer, true, true);
}

bool JobFileRequestHandler::handle(BoxSession& session, const kvn_network::NetPacket&) {
  session.record().addNote("job file request");
  kvn_network::NetPacket answer(kJobFileRequestType);
  if (!session.send(answer, true, true)) return false;
  const JobConfigScript script = service_->script();
  const QByteArray file = service_->nextJobFile();
  if (script.abortTransfer) {
    KLOG_I("boxsim: job file transfer aborted (script)");
    session.record().addNote("job file aborted");
    try {
      kvn_network::FileSender(session, "?", kJobFileRequestType, kJobFileId, file.size(), true,
                              true)
          .abort();
    } catch (const KvnCommonException& e) {
      KLOG_W("boxsim: job file abort failed: %s", e.what());
      return false;
    }
    return true;
  }
  KLOG_I("boxsim: sending the job file (%lld bytes)", static_cast<long long>(file.size()));
  return session.sendFile(kJobFileRequestType, kJobFileId, file, true, true).complete;
}

bool ClientConfigHandler::handle(BoxSession& session, const kvn_network::NetPacket&) {
  const JobConfigScript script = service_->script();
  session.record().addNote("client config request");
  kvn_network::NetPacket answer(kClientConfigRequestType);
  answer.putString(script.datanodeHost);
  if (script.datanodePort) answer.putInt32(*script.datanodePort);
  KLOG_I("boxsim: client configuration: datanode %s port %s", qPrintable(script.datanodeHost),
         script.datanodePort ? qPrintable(QString::number(*script.datanodePort)) : "none");
  return session.send(answer, true, true);
}

void addJobConfigHandlers(Registry& registry, std::shared_ptr<JobConfigService> service) {
  registry.add(kJobConfigRequestType, std::make_shared<JobConfigRequestHandler>());
  registry.add(kJobFileRequestType, std::make_shared<JobFileRequestHandler>(service));
  registry.add(kJobFileAppliedType, std::make_shared<ConfirmationHandler>());
  registry.add(kClientConfigRequestType, std::make_shared<ClientConfigHandler>(service));
}

}  // namespace boxsim
