// The embedded schema scripts: running one script, and bringing a database
// up to the newest step with one transaction per step.
#pragma once

#include <QSqlDatabase>
#include <QString>

namespace kvn_agent_database {

// Where the step scripts live; tests point the migration at other folders.
inline constexpr const char* kSchemaFolder = ":/sql/";
inline constexpr const char* kCreateScript = ":/sql/0000-create.sql";

// Splits the script at a semicolon directly followed by a line break (so a
// trigger body, whose inner semicolon is followed by a space, stays whole)
// and executes each non-blank part. Logs and stops at the first failure.
bool executeScript(QSqlDatabase& db, const QString& scriptPath);
bool executeScriptText(QSqlDatabase& db, const QString& script);

// The "user_version" header field, or -1 when it cannot be read (for
// instance because the file is not a database).
int schemaVersion(QSqlDatabase& db);

// Applies every step of folder numbered above the current version, in
// ascending order, each together with its version number in one
// transaction. A failing step is rolled back and ends the migration with
// false.
bool migrate(QSqlDatabase& db, const QString& folder = kSchemaFolder);

}  // namespace kvn_agent_database
