// Lays out the data folder of an agent that has already been paired with a
// box, so that a test can start the agent without a pairing server.
#pragma once

#include <gtest/gtest.h>
#include <QDir>
#include <QString>
#include <string>

#include "connection/credentials.h"
#include "database/agentdatabase.h"

namespace kvn_test {

inline void pairDataFolder(const std::string& commonAppData, const QString& envPrefix) {
  const QDir base(QString::fromStdString(commonAppData) + "/Zelvo");
  ASSERT_TRUE(QDir().mkpath(base.path()));
  const QString database = base.filePath(envPrefix + "zlv.db");
  auto& db = kvn_agent_database::AgentDatabase::instance();
  ASSERT_TRUE(db.createDB(database));
  ASSERT_TRUE(db.openDB(database));
  Credentials credentials(base.filePath(envPrefix + "zlv.ini"));
  ASSERT_EQ(credentials.saveCredentials(4242, 17, "127.0.0.1", "127.0.0.1:6670",
                                        "00112233445566778899aabbccddeeff"),
            0u);
  // The agent process opens the file itself; this one lets go of it.
  db.database().close();
}

}  // namespace kvn_test
