// The real agent process against the simulator program: a paired agent
// with one job over a generated tree, backups started over the control
// channel, a fault point armed in the simulator ("hold" or "drop"), the
// agent killed with SIGKILL exactly where the box holds, restarted, and the
// invariants that must hold after any such cut checked.
#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <QStringList>
#include <QVariant>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>

#include <QProcess>

#include "temp_dir.h"

namespace kvn_crash {

struct CtlResult {
  int status = -1;
  QString output;
};

class CrashHarness : public ::testing::Test {
 protected:
  // Starts the simulator on address (own store, own control socket), pairs
  // the agent with it and writes the tree: two files whose blocks do not
  // compress (one of several data chunks), a small text file, and a
  // folder of small files.
  void startBox(const QString& address);
  void TearDown() override;

  // The agent in the foreground, until it is killed or stopped; waits for
  // its control channel.
  void startAgent();
  // The command the agent runs under from the next start (faketime, ...);
  // empty: none.
  void setAgentWrapper(const QStringList& wrapper) { wrapper_ = wrapper; }
  // The agent's data folder (below it "Zelvo").
  QString data() const { return data_; }
  void killAgent();
  void stopAgent();

  CtlResult ctl(const QStringList& args);
  // Asks for a backup of the job and waits for its row to end; the row's
  // status, or nullopt when none ended within the time.
  std::optional<std::uint32_t> backupAndWait();
  // Asks for a backup and returns at once (the newest row id before).
  qint64 launchBackup();
  // The status of the first run above row id after to end.
  std::optional<std::uint32_t> waitBackupEnded(qint64 after);

  // Arms a hold point, starts a backup, waits until the box holds there
  // and kills the agent; then starts it again.
  void killBackupAt(const QString& point);
  // Arms a drop point and lets the backup run into it; the agent stays.
  void dropBackupAt(const QString& point);

  // What changes between two runs: one large file changed in place (a
  // delta), a new large file, and a small file touched.
  void changeTree(int round);

  // The invariants after a cut: no open row of any kind, every file record
  // names a version the box holds and the signature file kept for it (if
  // any: a lost one is fetched when needed) is the box's signature of that
  // version, no part file taken for a signature, the
  // database is intact. Then (when fullRun) the next run ends 0x1001 and
  // the box's copy equals the tree.
  void expectConsistent(bool fullRun = true);
  // Rows of any kind still open; of the backups only those up to row id
  // upToBackup.
  int openRows(qint64 upToBackup = std::numeric_limits<qint64>::max());
  // The first column of the first row of a query on the agent's database.
  QVariant scalar(const QString& statement);
  // Waits until the agent has finished the file operation (whether or not
  // it wrote a row for it).
  bool waitOperationFinished(const QString& operationId);
  QString integrity();
  // Whether the box's store holds a version of the job's file.
  bool boxHolds(const QString& path) const;
  // The simulator's check of the tree; "N passed, 0 failed" when right.
  QString verify();

  QString database() const { return data_ + "/Zelvo/zlv.db"; }
  QString signatures() const { return data_ + "/Zelvo/Signatures"; }
  QString tree() const { return tree_; }
  // Everything the agent printed since it was first started.
  QString agentLog() const;

 private:
  // A program of the build with its output appended to a file of the
  // test's folder (a pipe nobody reads would stall it).
  std::unique_ptr<QProcess> startProgram(const QString& program, const QStringList& arguments,
                                         const QString& output);
  // The id of the newest backup row, 0 when there is none.
  qint64 newestBackup();

  std::unique_ptr<kvn_test::TempDir> dir_;
  QString address_;
  QString data_;
  QString tree_;
  QString store_;
  QString ctlPath_;
  std::unique_ptr<QProcess> box_;
  std::unique_ptr<QProcess> agent_;
  int agentStarts_ = 0;
  // The newest backup row when the agent last started. A run cut off by a
  // kill is closed at the start as the oldest finished run, so the
  // scheduler may start its job again at once: such a run comes above it.
  qint64 backupAtStart_ = 0;
  // The row of the last run waited for.
  qint64 lastEnded_ = 0;
  QStringList wrapper_;
};

}  // namespace kvn_crash
