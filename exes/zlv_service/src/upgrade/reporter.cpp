#include "upgrade/reporter.h"

#include <QJsonDocument>
#include <QSysInfo>
#include <exception>
#include <utility>

#include "kvn_log/errors.h"
#include "kvn_log/log.h"
#include "kvn_network/upgrade_protocol.h"

namespace {

QString withOffset(const QDateTime& time, int offsetSeconds) {
  return time.toOffsetFromUtc(offsetSeconds).toString(Qt::ISODate);
}

}  // namespace

Reporter::Reporter(ReporterContext context) : context_(std::move(context)) {}

Reporter::~Reporter() { stopAndWait(); }

QJsonObject Reporter::buildReport(const QString& fullVersion, const QDateTime& startedAt,
                                  const QDateTime& nowUtc) {
  const int offset = nowUtc.toLocalTime().offsetFromUtc();
  QJsonObject report;
  report["currentVersion"] = fullVersion;
  report["machineHostName"] = QSysInfo::machineHostName();
  report["currentCpuArchitecture"] = QSysInfo::currentCpuArchitecture();
  report["prettyProductName"] = QSysInfo::prettyProductName();
  report["kernelType"] = QSysInfo::kernelType();
  report["kernelVersion"] = QSysInfo::kernelVersion();
  report["productType"] = QSysInfo::productType();
  report["productVersion"] = QSysInfo::productVersion();
  report["startedAt"] = withOffset(startedAt, offset);
  report["currentClientDateTime"] = withOffset(nowUtc, offset);
  return report;
}

void Reporter::run() {
  KLOG_D("Running Reporter task...");
  try {
    const QJsonObject report =
        buildReport(context_.fullVersion, context_.startedAt, QDateTime::currentDateTimeUtc());
    CZLVNetwork network(true, *context_.credentials, context_.network);
    if (network.ConnectToServer() != KVN_OK) return;
    if (network.SendOperation(kvn_network::kReportOperation) != KVN_OK) return;
    kvn_network::NetPacket packet(kvn_network::kReportPacketType);
    packet.putDateTime(QDateTime());
    packet.putString(QString::fromUtf8(QJsonDocument(report).toJson(QJsonDocument::Compact)));
    if (!network.SendPacket(packet)) KLOG_D("Reporter: the report could not be sent");
    network.stop();
  } catch (const std::exception& e) {
    // The next hour's report tries again.
    KLOG_D("Reporter: %s", e.what());
  }
}
