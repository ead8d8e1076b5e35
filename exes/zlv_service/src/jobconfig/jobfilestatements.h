// Runs the statements of a downloaded job file, one per line, with the
// connection confined to the job tables (see JobFileConfinement). The
// caller owns the transaction: a failure leaves the statements before it
// done.
#pragma once

#include <QByteArray>
#include <QSqlDatabase>
#include <cstdint>

// 0, or KVN_E_FAILED after logging the statement that failed or was
// refused, or that no confinement could be installed.
std::uint32_t runJobFileStatements(const QSqlDatabase& db, const QByteArray& content);
