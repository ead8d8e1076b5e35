#include "boxsim/operation_handlers.h"
#include "boxsim/session.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"
#include "kvn_network/netpacket.h"

namespace boxsim {

bool ReportHandler::handle(BoxSession& session, const kvn_network::NetPacket& packet) {
  kvn_network::NetPacket report = packet;
  kvn_network::NetPacket answer(report.type());
  if (!report.isError()) {
    session.record().addNote(QString("not a report 0x%1").arg(report.type(), 8, 16, QChar('0')));
    answer.setError();
    answer.putUInt32(0);
    return session.send(answer, true, true);
  }
  ErrorReport recorded;
  recorded.packetType = report.type();
  std::uint32_t code = 0;
  try {
    code = report.getUInt32();
    recorded.text = report.getString();
  } catch (const KvnCommonException& e) {
    KLOG_E("boxsim: malformed error report: %s", e.what());
    session.record().addNote("malformed report");
    return false;
  }
  session.record().addErrorReport(recorded);
  KLOG_I("boxsim: error report 0x%08x code 0x%08x: %s", report.type(), code,
         qPrintable(recorded.text));
  session.record().addNote(QString("report 0x%1 code 0x%2")
                               .arg(report.type(), 8, 16, QChar('0'))
                               .arg(code, 8, 16, QChar('0')));
  answer.putUInt32(0);
  return session.send(answer, true, true);
}

bool ConfirmationHandler::handle(BoxSession& session, const kvn_network::NetPacket& packet) {
  if (packet.isError()) return reports_.handle(session, packet);
  session.record().addNote(QString("confirm 0x%1").arg(packet.type(), 8, 16, QChar('0')));
  KLOG_I("boxsim: confirmation 0x%08x", packet.type());
  kvn_network::NetPacket answer(packet.type());
  return session.send(answer, true, true);
}

const std::vector<std::uint32_t>& confirmationTypes() {
  static const std::vector<std::uint32_t> types = {
      0x10000109,  // end of a backup run
      0x10000108,  // full version sent
      0x10020003,  // delta sent
      0x22000002,  // end of an external restoration
      0x60000001,  // end of a deletion
      0x62000001,  // end of an external deletion
      0x62000101,  // last file of an external deletion
      0x70000006,  // job database updated
  };
  return types;
}

void addOperationHandlers(Registry& registry, OperationAnswer answer) {
  registry.add(kOperationType, std::make_shared<OperationHandler>(answer));
  registry.add(kBackupReportType, std::make_shared<ReportHandler>());
  auto confirmations = std::make_shared<ConfirmationHandler>();
  for (const std::uint32_t type : confirmationTypes()) registry.add(type, confirmations);
  registry.add(kBoxTestType, std::make_shared<BoxTestHandler>());
}

}  // namespace boxsim
