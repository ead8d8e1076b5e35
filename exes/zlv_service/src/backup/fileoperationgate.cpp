#include "backup/fileoperationgate.h"

#include <atomic>

namespace {

class NoFileOperations : public FileOperationGate {
 public:
  bool isRunning(std::int64_t) override { return false; }
  bool askToYield(std::int64_t) override { return true; }
  void waitUntilIdle(std::int64_t) override {}
};

NoFileOperations noFileOperations;
std::atomic<FileOperationGate*> current{&noFileOperations};

}  // namespace

FileOperationGate& FileOperationGate::instance() { return *current.load(); }

void FileOperationGate::setInstance(FileOperationGate* gate) {
  current.store(gate ? gate : &noFileOperations);
}
