#include "fileops/deletion.h"

#include <QDateTime>
#include <QSqlQuery>
#include <QVariant>

#include "backup/file/selection.h"
#include "database/sqlerror.h"
#include "fileops/boxrequest.h"
#include "filesystem/zlvfile.h"
#include "kvn_log/errors.h"
#include "kvn_log/log.h"
#include "kvn_network/file_operation_protocol.h"

using namespace kvn_network::deletion_type;
using fileops::receiveLogged;
using fileops::sendBuilt;

Deletion::Deletion(const QString& operationId, std::int64_t jobId, QList<DeletionFile> files,
                   FileOperationContext context)
    : FileOperation(operationId, std::move(context)), jobId_(jobId), files_(std::move(files)) {}

std::uint32_t Deletion::execute(QSqlDatabase& db) {
  if (stopCheck()) return KVN_E_STOPPED;
  if (jobId_ == 0) {
    KLOG_E("No job id!");
    return KVN_E_EXCEPTION;
  }
  insertRow(db);
  CZLVNetwork& box = openNetwork();
  if (const std::uint32_t result = box.ConnectToServer()) {
    KLOG_E("Error ConnectToServer: %d", int(result));
    return result;
  }
  if (const std::uint32_t result = box.SendOperation(QStringLiteral("DEL_INITIAL"))) {
    KLOG_E("Error SendOperation: %d", int(result));
    return result;
  }
  if (stopCheck()) return KVN_E_STOPPED;
  if (sendStart() != KVN_OK) {
    KLOG_E("Error during sendFilesCount");
    return KVN_E_NETWORK;
  }

  bool accepted = false;
  if (auto answer = receiveLogged(box, "error receiving confirmation packet")) {
    if (!answer->isError()) {
      accepted = true;
    } else {
      kvn_network::NetPacket reason = *answer;
      const std::uint32_t code = fileops::errorCode(reason);
      QString text;
      try {
        text = reason.getString();
      } catch (const std::exception&) {
      }
      KLOG_W("Cannot start deletion on server: error 0x%08x, '%s'", code, qPrintable(text));
    }
  }
  if (accepted) {
    const std::uint32_t result = deleteFiles(db);
    if (result == KVN_E_STOPPED) return result;
    if (result != KVN_OK) {
      KLOG_E("Error RestoreListFiles: %d", int(result));
      return result;
    }
    if (const std::uint32_t end = sendRequest(kEnd)) {
      KLOG_E("Error finishing suppression : %d", int(end));
      return end;
    }
  }
  if (const std::uint32_t result = box.SendConfirmPacket(kFinal)) {
    KLOG_E("Error SendConfirmPacket: %d", int(result));
    return result;
  }
  box.receiveConfirm();
  return KVN_OK;
}

void Deletion::insertRow(QSqlDatabase& db) {
  const QString statement = QStringLiteral(
                                "INSERT INTO %1  (id_restore, start_time, status, job_id) VALUES  "
                                "(:id_restore, :start_time, :status, :job_id);")
                                .arg(tableName());
  QSqlQuery query(db);
  if (!query.prepare(statement)) {
    KLOG_SQL_FAILURE(statement, query.lastError());
    return;
  }
  query.bindValue(":id_restore", operationId());
  query.bindValue(":start_time", qint64(QDateTime::currentSecsSinceEpoch()));
  query.bindValue(":status", 0);
  query.bindValue(":job_id", qint64(jobId_));
  if (!query.exec()) {
    KLOG_SQL_FAILURE(statement, query.lastError());
    return;
  }
  rowId_ = query.lastInsertId().toLongLong();
}

std::uint32_t Deletion::sendStart() {
  return sendBuilt(
      network(), kStart,
      [this](kvn_network::NetPacket& packet) {
        packet.putString(std::string(kInitial));
        packet.putInt64(jobId_);
        packet.putInt32(std::int32_t(files_.size()));
        packet.putString(operationId());
      },
      "Error sending packet", "Error: sending packet");
}

std::uint32_t Deletion::deleteFiles(QSqlDatabase& db) {
  if (stopCheck()) return KVN_E_STOPPED;
  db.transaction();
  std::uint32_t last = KVN_OK;
  try {
    int count = 0;
    for (const DeletionFile& file : files_) {
      if (stopCheck()) {
        db.commit();
        return KVN_E_STOPPED;
      }
      if (const std::uint32_t result = sendRequest(kDelete))
        KLOG_E("SendRequest(REQUEST_DELETE) failed with 0x%08x", result);
      // Commit points bound what a crash can leave half forgotten.
      if (++count % kFilesPerCommit == 0) {
        db.commit();
        db.transaction();
      }
      last = deleteOne(db, file);
    }
  } catch (const std::exception& e) {
    KLOG_E("Exception: %s", e.what());
    db.commit();
    return KVN_E_EXCEPTION;
  }
  db.commit();
  return last;
}

std::uint32_t Deletion::deleteOne(QSqlDatabase& db, const DeletionFile& file) {
  const QByteArray path = file.path.toUtf8();
  if (const std::uint32_t result = sendFileToDelete(file))
    KLOG_W("DeleteFile(%s) failed with 0x%08x", path.constData(), result);
  const kvn_agent_filesystem::ZLVFile local(file.path, jobId_, context().signaturesDir);
  if (const std::uint32_t result = local.removeFile(db, file.path, jobId_))
    KLOG_W("ZLVFile::resetFile(%s, %lld) failed with 0x%08x", path.constData(),
           static_cast<long long>(jobId_), result);
  const std::uint32_t done = sendRequest(kDone);
  if (done != KVN_OK) KLOG_E("SendRequest(REQUEST_DONE) failed with 0x%08x", done);
  return done;
}

std::uint32_t Deletion::sendFileToDelete(const DeletionFile& file) {
  if (const std::uint32_t result = sendBuilt(
          network(), kFile,
          [&file](kvn_network::NetPacket& packet) { packet.putString(toWirePath(file.path)); },
          "Error Creating packet with delete file information",
          "Error Creating packet with delete file information"))
    return result == KVN_E_NETWORK ? KVN_E_EXCEPTION : result;
  if (!receiveLogged(network(), "Error receiving response")) return KVN_E_NETWORK;
  return KVN_OK;
}

std::uint32_t Deletion::sendRequest(const char* name) {
  if (const std::uint32_t result = sendBuilt(
          network(), kRequest,
          [this, name](kvn_network::NetPacket& packet) {
            packet.putString(std::string(name));
            packet.putString(operationId());
          },
          "Error creating request packet", "Error sending request packet"))
    return result;
  if (!receiveLogged(network(), "Receiving request confirmation packet failed"))
    return KVN_E_NETWORK;
  return KVN_OK;
}
