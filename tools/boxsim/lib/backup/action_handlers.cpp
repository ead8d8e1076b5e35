#include "backup_conversation.h"
#include "boxsim/session.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"
#include "kvn_network/netpacket.h"

namespace boxsim {

namespace {

// Reads the fields that follow the action name; throws on a short packet.
QStringList readFields(const QString& name, kvn_network::NetPacket& packet) {
  QStringList fields;
  if (name == "PREP") {
    fields << QString::number(packet.getInt64());
  } else if (name == "INI") {
    fields << QString::number(packet.getInt64());  // job id
    fields << QString::number(packet.getInt64());  // bytes to back up
    fields << QString::number(packet.getInt32());  // files to back up
  } else if (name == "INFO") {
    fields << packet.getString();                  // path as the agent's file API gives it
    fields << QString::number(packet.getInt64());  // size
    fields << QString::number(packet.getInt64());  // job id
    fields << packet.getString();
  }
  return fields;
}

// The error code the script wants for this action, or 0.
std::uint32_t scriptedCode(BackupConversation& c, const QString& name) {
  if (name == "PREP" && c.script.notPermitted) return box_code::kNotPermitted;
  if (name == "INI" && c.script.quotaOnIni) return box_code::kQuota;
  if (name == "BACKUP" && ++c.backupActions == c.script.quotaOnBackup) return box_code::kQuota;
  return 0;
}

bool isKnownAction(const QString& name) {
  static const QStringList known = {"PREP", "PREPOST", "INI", "INFO", "BACKUP", "END", "DONE"};
  return known.contains(name);
}

}  // namespace

bool ActionHandler::handle(BoxSession& session, const kvn_network::NetPacket& packet) {
  kvn_network::NetPacket request = packet;
  BackupConversation& c = conversation(session);
  BackupAction action;
  try {
    action.name = request.getString();
    action.fields = readFields(action.name, request);
  } catch (const KvnCommonException& e) {
    KLOG_E("boxsim: malformed backup action '%s': %s", qPrintable(action.name), e.what());
    action.answerCode = box_code::kRefused;
    session.record().addBackupAction(action);
    return answerError(session, packet.type(), action.answerCode);
  }
  if (action.name == "PREP" || action.name == "INI") c.jobId = action.fields[0].toLongLong();
  if (action.name == "INFO") c.jobId = action.fields[2].toLongLong();

  action.answerCode =
      isKnownAction(action.name) ? scriptedCode(c, action.name) : box_code::kRefused;
  session.record().addBackupAction(action);
  // INFO and BACKUP come with every file: at the default level a line each
  // would cost the box two writes per file.
  const bool perFile = action.name == "INFO" || action.name == "BACKUP";
  KVN_LOG(perFile ? kvn_log::Debug : kvn_log::Info, "boxsim: action %s %s -> 0x%08x",
          qPrintable(action.name), qPrintable(action.fields.join(' ')), action.answerCode);
  if (action.name == "PREP") {
    if (action.answerCode != 0)
      return answerError(session, backup_type::kReport, action.answerCode);
    kvn_network::NetPacket answer(backup_type::kReport);
    QStringList toFix;
    for (const QString& path : c.script.filesToFix) toFix << kvn_network::toWirePath(path);
    answer.putStringList(toFix);
    return session.send(answer, true, true);
  }
  if (action.answerCode != 0) return answerError(session, packet.type(), action.answerCode);
  return answerOk(session, packet.type());
}

bool ScriptResultHandler::handle(BoxSession& session, const kvn_network::NetPacket& packet) {
  kvn_network::NetPacket request = packet;
  conversation(session);
  ScriptResult result;
  try {
    result.output = request.getString();
    result.exitCode = request.getInt32();
    result.kind = request.getUInt8();
  } catch (const KvnCommonException& e) {
    KLOG_E("boxsim: malformed script result: %s", e.what());
    return answerError(session, packet.type(), box_code::kRefused);
  }
  KLOG_I("boxsim: %s script exit code %d", result.kind == 0 ? "pre-backup" : "post-backup",
         static_cast<int>(result.exitCode));
  session.record().addScriptResult(result);
  return answerOk(session, packet.type());
}

bool RunConfirmHandler::handle(BoxSession& session, const kvn_network::NetPacket& packet) {
  const BackupConversation& c = conversation(session);
  session.record().addNote(QString("confirm 0x%1").arg(packet.type(), 8, 16, QChar('0')));
  KLOG_I("boxsim: backup run confirmed, final answer 0x%08x", c.script.finalError);
  if (c.script.finalError != 0) return answerError(session, packet.type(), c.script.finalError);
  return answerOk(session, packet.type());
}

}  // namespace boxsim
