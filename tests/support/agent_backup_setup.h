// What a paired agent needs before a real Backup can run against a
// simulated box: the migrated agent database, one file backup job with
// its selected folders, and the settings file that pairs the agent with
// the box. Free of GoogleTest so that benchmarks can use it as well as the
// end-to-end tests; every helper returns an empty text on success, else
// what went wrong.
#pragma once

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <cstdint>

#include "database/agentdatabase.h"

namespace kvn_test {

struct AgentPairing {
  QString boxIp;
  // Up to 32 hexadecimal digits, as the box protocol decodes it.
  QString cryptkey = QStringLiteral("00112233445566778899aabbccddeeff");
  // The box accepts only its own storage licence.
  std::int32_t licenseStorage = 4242;
  std::int32_t licenseAgent = 17;
  QString datanode = QStringLiteral("127.0.0.1:1");
};

struct FileBackupJob {
  std::int64_t jobId = 1;
  // Native absolute folders or files, selected whole.
  QStringList selected;
  // Exclusion patterns (type 1), stored as given: as the box stores them,
  // "|" separators and a trailing "|" for a whole folder.
  QStringList excluded{};
  bool useCrypto = true;
  bool useCompression = true;
  int maxVersions = 10;
  QString jobType = QStringLiteral("fsn");
  // Stored Base64, as the box sends it; none when empty.
  QString preScript{};
};

// Creates the database at path afresh and opens it, migrated, as the
// process-wide default connection.
inline QString createAgentDatabase(const QString& path) {
  auto& database = kvn_agent_database::AgentDatabase::instance();
  if (!database.createDB(path)) return QStringLiteral("cannot create the database ") + path;
  if (!database.openDB(path)) return QStringLiteral("cannot open the database ") + path;
  return {};
}

// The job row, its (never used) schedule, its pre-backup script if any,
// and one selection template whose patterns select the job's paths, in the
// box's "|" form.
inline QString addFileBackupJob(const FileBackupJob& job) {
  QSqlDatabase db = kvn_agent_database::AgentDatabase::instance().database();
  const auto exec = [&](const QString& statement, const QVariantList& values) -> QString {
    QSqlQuery query(db);
    if (!query.prepare(statement)) return statement + ": " + query.lastError().text();
    for (const QVariant& value : values) query.addBindValue(value);
    if (!query.exec()) return statement + ": " + query.lastError().text();
    return {};
  };
  const qlonglong id = job.jobId;
  QString failure =
      exec("INSERT OR IGNORE INTO scheduler (sched_id, is_periodic) VALUES (?, 0)", {id});
  QVariant preScriptId;
  if (failure.isEmpty() && !job.preScript.isEmpty()) {
    failure = exec("INSERT INTO prepost_backup_script (id, script) VALUES (?, ?)",
                   {id, QString::fromLatin1(job.preScript.toUtf8().toBase64())});
    preScriptId = id;
  }
  if (failure.isEmpty()) {
    failure = exec(
        "INSERT INTO job (job_id, job_name, sched_id, config_max_num_versions_to_save, "
        "config_externalize, job_ctime, job_type, use_crypto, use_compression, "
        "pre_backup_script_id) VALUES (?, ?, ?, ?, 0, 0, ?, ?, ?, ?)",
        {id, QStringLiteral("job %1").arg(id), id, job.maxVersions, job.jobType, job.useCrypto,
         job.useCompression, preScriptId});
  }
  if (failure.isEmpty())
    failure = exec("INSERT INTO sel_tem (sel_tem_id, is_sel) VALUES (?, 1)", {id});
  if (failure.isEmpty())
    failure = exec("INSERT INTO job_x_sel_tem (job_id, sel_tem_id) VALUES (?, ?)", {id, id});
  QList<std::pair<QString, int>> patterns;
  for (const QString& selected : job.selected) {
    QString wire = QDir::cleanPath(selected);
    patterns.append({wire.replace(u'/', u'|'), 0});
  }
  for (const QString& excluded : job.excluded) patterns.append({excluded, 1});
  for (int i = 0; failure.isEmpty() && i < patterns.size(); ++i) {
    const qlonglong patternId = id * 1000 + i;
    failure = exec("INSERT INTO pattern (pattern_id, pattern_data, pattern_type) VALUES (?, ?, ?)",
                   {patternId, patterns[i].first, patterns[i].second});
    if (failure.isEmpty()) {
      failure = exec("INSERT INTO pattern_x_sel_tem (sel_tem_id, pattern_id) VALUES (?, ?)",
                     {id, patternId});
    }
  }
  return failure;
}

// The settings file of an agent paired with the box at pairing.boxIp.
inline QString writePairedSettings(const QString& path, const AgentPairing& pairing) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
    return QStringLiteral("cannot write ") + path;
  const QString text = QStringLiteral(
                           "[zelvo]\nbox_ip=%1\ncryptkey=%2\ndatanode=%3\nlicense_agent=%4\n"
                           "license_storage=%5\nreset_agent=false\n")
                           .arg(pairing.boxIp, pairing.cryptkey, pairing.datanode)
                           .arg(pairing.licenseAgent)
                           .arg(pairing.licenseStorage);
  if (file.write(text.toUtf8()) < 0) return QStringLiteral("cannot write ") + path;
  return {};
}

}  // namespace kvn_test
