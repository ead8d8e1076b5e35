// Inside the restoration and deletion conversations: what one connection
// keeps between packets, and the handlers, one per packet type.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "boxsim/file_operation_handlers.h"

namespace boxsim {

struct FileOperationConversation {
  QString operationId;
  // Restoration: the files still to name, and the one named last.
  std::optional<RestorePlan> plan;
  std::vector<StoredVersion> toRestore;
  std::size_t next = 0;
  std::optional<StoredVersion> current;
  // Deletion: the job of the run.
  std::int64_t jobId = 0;
  // External deletion: the files still to name, and the one named last.
  // A named file leaves the store only once the agent asks for the next
  // one or confirms the last: an agent cut off before it forgot the file
  // still finds it held.
  std::vector<std::pair<std::int64_t, QString>> toDelete;
  std::optional<std::pair<std::int64_t, QString>> named;
};

class FileOperationHandler : public Handler {
 public:
  explicit FileOperationHandler(std::shared_ptr<FileOperationsBox> box) : box_(std::move(box)) {}

 protected:
  std::shared_ptr<FileOperationsBox> box_;
};

#define BOXSIM_FILE_OPERATION_HANDLER(Name)                                          \
  class Name : public FileOperationHandler {                                         \
   public:                                                                           \
    using FileOperationHandler::FileOperationHandler;                                \
    bool handle(BoxSession& session, const kvn_network::NetPacket& packet) override; \
  };

// Restoration: the count request (operation id, file key), the actions
// ("RESTORE" names the next file, "END"), the agent's readiness (the data
// follows, then a confirmation) and each file's result.
BOXSIM_FILE_OPERATION_HANDLER(RestoreCountHandler)
BOXSIM_FILE_OPERATION_HANDLER(RestoreActionHandler)
BOXSIM_FILE_OPERATION_HANDLER(RestoreReadyHandler)
BOXSIM_FILE_OPERATION_HANDLER(RestoreResultHandler)
// Deletion: the start ("INI", job, count, operation id), the requests
// ("DELETE", "DONE", "END") and the files to delete.
BOXSIM_FILE_OPERATION_HANDLER(DeletionStartHandler)
BOXSIM_FILE_OPERATION_HANDLER(DeletionRequestHandler)
BOXSIM_FILE_OPERATION_HANDLER(DeletionFileHandler)
// External deletion: the count, the "DELETE" action, and the requests of
// the next file (an empty one confirms the last).
BOXSIM_FILE_OPERATION_HANDLER(ExternalDeletionCountHandler)
BOXSIM_FILE_OPERATION_HANDLER(ExternalDeletionActionHandler)
BOXSIM_FILE_OPERATION_HANDLER(ExternalDeletionNextHandler)

#undef BOXSIM_FILE_OPERATION_HANDLER

}  // namespace boxsim
