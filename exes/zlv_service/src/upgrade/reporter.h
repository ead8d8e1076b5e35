// Tells the box every hour who this agent is: machine, system, version and
// the agent's start time.
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include "connection/zlvnetwork.h"
#include "threads/periodictask.h"

class Credentials;

struct ReporterContext {
  const Credentials* credentials = nullptr;
  QString fullVersion;
  // UTC.
  QDateTime startedAt;
  ZlvNetworkSettings network;
};

class Reporter : public PeriodicTask {
  Q_OBJECT

 public:
  static constexpr int kIntervalMs = 3600000;

  explicit Reporter(ReporterContext context);
  ~Reporter() override;

  // The report at nowUtc; both times carry the offset of local time from
  // UTC at that moment.
  static QJsonObject buildReport(const QString& fullVersion, const QDateTime& startedAt,
                                 const QDateTime& nowUtc);

 protected:
  void run() override;

 private:
  ReporterContext context_;
};
