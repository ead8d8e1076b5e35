#include "tessel/infoprocessors.h"

#include <QSysInfo>

#include "kvn_log/log.h"
#include "kvn_network/tessel_protocol.h"
#include "tessel/tesselreplier.h"

using namespace kvn_network::tessel;

void MachineInfoProcessor::process(const QJsonObject&, TesselReplier& replier) {
  replier.reply({{key::kOk, true},
                 {query_key::kHostname, QSysInfo::machineHostName()},
                 {query_key::kAgentVersion, facts_.agentVersion},
                 {query_key::kCpuArch, QSysInfo::currentCpuArchitecture()},
                 {query_key::kOs, QSysInfo::prettyProductName()},
                 {query_key::kKernelType, QSysInfo::kernelType()},
                 {query_key::kKernelVersion, QSysInfo::kernelVersion()},
                 {query_key::kStartedAt, facts_.startedAt.toString(Qt::ISODate)}},
                true);
}

void LogsProcessor::process(const QJsonObject& query, TesselReplier& replier) {
  const QString level = query.value(key::kLevel).toString();
  if (level.isEmpty()) {
    KLOG_W("logs query without a level");
    return replier.reply({{key::kOk, false}}, true);
  }
  kvn_log::parseLevel(level.toStdString());
  replier.reply({{key::kOk, true}}, true);
}

void VolumeListProcessor::process(const QJsonObject&, TesselReplier& replier) {
  if (!facts_.volumeList) {
    replier.reply({{key::kOk, false}, {key::kError, "Volume list not available"}}, true);
    return;
  }
  replier.reply(facts_.volumeList(), true);
}

void OperationsProcessor::process(const QJsonObject&, TesselReplier& replier) {
  const unsigned backups = control_.activeBackups ? control_.activeBackups() : 0;
  const unsigned fileOperations =
      control_.runningFileOperations ? control_.runningFileOperations() : 0;
  replier.reply({{key::kOk, true},
                 {query_key::kActiveBackups, qint64(backups)},
                 {query_key::kActiveRestorations, qint64(fileOperations)}},
                true);
}
