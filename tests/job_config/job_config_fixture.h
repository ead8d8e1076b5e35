// An agent database, a paired agent's credentials and a simulated box that
// serves job files, for the job-configuration tests.
#pragma once

#include <gtest/gtest.h>

#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>
#include <memory>

#include "boxsim/job_config_handlers.h"
#include "boxsim/job_definitions.h"
#include "boxsim/operation_handlers.h"
#include "boxsim/simulator.h"
#include "connection/credentials.h"
#include "fresh_database.h"
#include "jobconfig/jobconfigcontext.h"
#include "log_capture.h"
#include "paired_box.h"

namespace kvn_test {

class JobConfigTest : public FreshDatabase {
 protected:
  static constexpr const char* kCryptkey = kPairedCryptkey;

  // The box on address, with the job conversation and the operations.
  void startBox(const QString& address, boxsim::JobConfigScript script = {}) {
    service_ = std::make_shared<boxsim::JobConfigService>(std::move(script));
    boxsim::Registry registry;
    boxsim::addOperationHandlers(registry);
    boxsim::addJobConfigHandlers(registry, service_);
    startPairedBox(box_, std::move(registry), address);
  }

  // A paired agent's settings file; reset sets "zelvo/reset_agent".
  Credentials& credentials(const QString& boxIp, const QString& datanode = "127.0.0.1:1",
                           bool reset = false) {
    writeFile(iniPath().toStdString(),
              "[zelvo]\nbox_ip=" + boxIp.toStdString() + "\ncryptkey=" + kCryptkey +
                  "\ndatanode=" + datanode.toStdString() +
                  "\nlicense_agent=17\nlicense_storage=4242\nreset_agent=" +
                  (reset ? "true" : "false") + "\n");
    credentials_ = std::make_unique<Credentials>(iniPath());
    EXPECT_TRUE(credentials_->load());
    return *credentials_;
  }
  QString iniPath() const { return QString::fromStdString(file("zlv.ini")); }

  JobConfigContext context() {
    JobConfigContext context;
    context.credentials = credentials_.get();
    context.baseDir = QDir(QString::fromStdString(dir_.path()));
    context.network.probeTimeoutMs = 2000;
    return context;
  }

  static QByteArray jobFileOf(const std::vector<boxsim::JobDefinition>& jobs) {
    QString error;
    const auto file = boxsim::jobFile(jobs, &error);
    EXPECT_TRUE(file.has_value()) << error.toStdString();
    return file.value_or(QByteArray());
  }

  // Every row of the tables as text, sorted.
  QStringList rowsOf(const QStringList& tables) {
    QStringList rows;
    for (const QString& table : tables) {
      QSqlQuery query = sql("SELECT * FROM " + table);
      while (query.next()) {
        QStringList values;
        for (int i = 0; i < query.record().count(); ++i) values << query.value(i).toString();
        rows << table + ": " + values.join('|');
      }
    }
    rows.sort();
    return rows;
  }
  QStringList jobTables() {
    return rowsOf({"job", "scheduler", "sel_tem", "job_x_sel_tem", "pattern", "pattern_x_sel_tem",
                   "prepost_backup_script"});
  }

  bool logged(const std::string& text) const { return log_.text().find(text) != std::string::npos; }

  LogCapture log_;
  std::shared_ptr<boxsim::JobConfigService> service_;
  std::unique_ptr<boxsim::BoxSimulator> box_;
  std::unique_ptr<Credentials> credentials_;
};

}  // namespace kvn_test
