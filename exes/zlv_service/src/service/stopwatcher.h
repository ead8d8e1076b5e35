// In the foreground there is no service host; this thread turns SIGINT and
// SIGTERM into the same queued stop request.
#pragma once

#include <QThread>
#include <atomic>

class StopWatcher : public QThread {
  Q_OBJECT

 public:
  explicit StopWatcher(QObject* parent = nullptr);
  ~StopWatcher() override;

 signals:
  void stopRequested();

 protected:
  void run() override;

 private:
  std::atomic<bool> done_{false};
};
