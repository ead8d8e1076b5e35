#include "tessel/tesselhandlers.h"

#include "kvn_network/tessel_protocol.h"
#include "kvn_platform/drives.h"
#include "tessel/controlprocessors.h"
#include "tessel/filelist.h"
#include "tessel/fileupload.h"
#include "tessel/infoprocessors.h"
#include "tessel/launchactions.h"

using namespace kvn_network::tessel;

void registerTesselHandlers(QueryProcessorRegistry& queries, TaskFactoryRegistry& tasks,
                            const AgentControl& control, const AgentFacts& facts,
                            LaunchActionRunner& runner) {
  const LaunchActions actions(control, runner);
  queries.add(query_type::kLaunchAction, std::make_unique<LaunchActionProcessor>(actions));
  queries.add(query_type::kStartTask, std::make_unique<StartTaskProcessor>());
  queries.add(query_type::kResetAgent, std::make_unique<ResetAgentProcessor>(control, actions));
  queries.add(query_type::kTest, std::make_unique<TestProcessor>());
  queries.add(query_type::kFileList, std::make_unique<FileListProcessor>(kvn_platform::listDrives));
  queries.add(query_type::kVolumeList, std::make_unique<VolumeListProcessor>(facts));
  queries.add(query_type::kMachineInfo, std::make_unique<MachineInfoProcessor>(facts));
  queries.add(query_type::kLogs, std::make_unique<LogsProcessor>());
  queries.add(query_type::kOperations, std::make_unique<OperationsProcessor>(control));

  tasks.add(kFileUploadTask,
            [logFile = facts.logFilePath, database = facts.databasePath](
                TesselLink& link, int taskId) -> std::unique_ptr<TesselTask> {
              return std::make_unique<FileUpload>(link, taskId, logFile, database);
            });
}
