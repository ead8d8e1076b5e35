// Read-only questions about the agent: what machine it runs on, how much
// it logs, and how many operations run.
#pragma once

#include "tessel/agentcontrol.h"
#include "tessel/queryprocessor.h"

// "machine_info": host, agent version, processor, system and start time.
class MachineInfoProcessor : public TesselQueryProcessor {
 public:
  // facts must outlive the processor.
  explicit MachineInfoProcessor(const AgentFacts& facts) : facts_(facts) {}
  void process(const QJsonObject& query, TesselReplier& replier) override;

 private:
  const AgentFacts& facts_;
};

// "logs": sets the log threshold from "level" (its first letter); without a
// level the answer is {"ok": false}.
class LogsProcessor : public TesselQueryProcessor {
 public:
  void process(const QJsonObject& query, TesselReplier& replier) override;
};

// "volume_list": the volumes a system image can select.
class VolumeListProcessor : public TesselQueryProcessor {
 public:
  // facts must outlive the processor.
  explicit VolumeListProcessor(const AgentFacts& facts) : facts_(facts) {}
  void process(const QJsonObject& query, TesselReplier& replier) override;

 private:
  const AgentFacts& facts_;
};

// "operations": the running backups and file operations.
class OperationsProcessor : public TesselQueryProcessor {
 public:
  // control must outlive the processor.
  explicit OperationsProcessor(const AgentControl& control) : control_(control) {}
  void process(const QJsonObject& query, TesselReplier& replier) override;

 private:
  const AgentControl& control_;
};
