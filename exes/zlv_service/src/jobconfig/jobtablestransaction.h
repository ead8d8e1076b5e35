// The one transaction in which the job tables are wiped and refilled from a
// job file: committed only when every statement succeeded, otherwise rolled
// back when the object goes, so that the previous jobs stay in force.
#pragma once

#include <QSqlDatabase>

class JobTablesTransaction {
 public:
  // Begins the transaction; a failure is logged and isOpen() is false.
  explicit JobTablesTransaction(QSqlDatabase& db);
  // Rolls back unless commit() succeeded.
  ~JobTablesTransaction();
  JobTablesTransaction(const JobTablesTransaction&) = delete;
  JobTablesTransaction& operator=(const JobTablesTransaction&) = delete;

  bool isOpen() const { return open_; }
  // False, logged, when the commit fails (the transaction is then rolled
  // back).
  bool commit();

 private:
  void rollback();

  QSqlDatabase& db_;
  bool open_ = false;
};
