// A thread's own named connection, opened on construction and closed and
// removed from the framework's registry on destruction.
#pragma once

#include <QSqlDatabase>
#include <QString>
#include <optional>

namespace kvn_agent_database {

class ScopedConnection {
 public:
  explicit ScopedConnection(const QString& name);
  ~ScopedConnection();
  ScopedConnection(const ScopedConnection&) = delete;
  ScopedConnection& operator=(const ScopedConnection&) = delete;

  bool isOpen() const { return db_->isOpen(); }
  QSqlDatabase& db() { return *db_; }

 private:
  QString name_;
  std::optional<QSqlDatabase> db_;
};

}  // namespace kvn_agent_database
