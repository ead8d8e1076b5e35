// A test fixture with a freshly created and migrated agent database in a
// temporary folder, on the process-wide default connection.
#pragma once

#include <gtest/gtest.h>

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariant>

#include "database/agentdatabase.h"
#include "temp_dir.h"

namespace kvn_test {

class FreshDatabase : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(database().createDB(dbPath()));
    ASSERT_TRUE(database().openDB(dbPath()));
  }

  static kvn_agent_database::AgentDatabase& database() {
    return kvn_agent_database::AgentDatabase::instance();
  }
  QString dbPath() const { return QString::fromStdString(dir_.file("zlv.db")); }
  std::string file(const std::string& name) const { return dir_.file(name); }

  // Runs a statement on the default connection; fails the test on error.
  QSqlQuery sql(const QString& statement) {
    QSqlQuery query(database().database());
    EXPECT_TRUE(query.exec(statement)) << statement.toStdString();
    return query;
  }
  QVariant scalar(const QString& statement) {
    QSqlQuery query = sql(statement);
    return query.next() ? query.value(0) : QVariant();
  }

  TempDir dir_;
};

}  // namespace kvn_test
