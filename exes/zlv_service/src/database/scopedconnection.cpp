#include "database/scopedconnection.h"

#include <QSqlError>

#include "database/agentdatabase.h"
#include "kvn_log/log.h"

namespace kvn_agent_database {

ScopedConnection::ScopedConnection(const QString& name)
    : name_(name), db_(AgentDatabase::instance().namedConnection(name)) {
  if (!db_->isOpen() && !db_->open()) {
    KLOG_E("cannot open database connection %s (%s)", qPrintable(name),
           qPrintable(db_->lastError().text()));
  }
}

ScopedConnection::~ScopedConnection() {
  db_->close();
  // The registry refuses to remove a connection that is still referenced.
  db_.reset();
  QSqlDatabase::removeDatabase(name_);
}

}  // namespace kvn_agent_database
