#include "service/stopwatcher.h"

#include <chrono>

#include "kvn_platform/stop_signals.h"

StopWatcher::StopWatcher(QObject* parent) : QThread(parent) {}

StopWatcher::~StopWatcher() {
  done_.store(true);
  wait();
}

void StopWatcher::run() {
  while (!done_.load()) {
    if (kvn_platform::waitForStopRequest(std::chrono::milliseconds(200))) {
      emit stopRequested();
      return;
    }
  }
}
