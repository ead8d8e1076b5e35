#include "backup/fileoperationgate.h"

namespace {

class NoFileOperations : public FileOperationGate {
 public:
  bool isRunning(std::int64_t) override { return false; }
  bool askToYield(std::int64_t) override { return true; }
  void waitUntilIdle(std::int64_t) override {}
};

}  // namespace

FileOperationGate& FileOperationGate::none() {
  static NoFileOperations noFileOperations;
  return noFileOperations;
}
