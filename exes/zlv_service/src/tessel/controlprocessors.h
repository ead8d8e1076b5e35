// The queries that make the agent act: launch an action, start a task of
// its own on the channel, reset the agent, and the echo the box tests the
// channel with. Each answers once, with done.
#pragma once

#include "tessel/launchactions.h"
#include "tessel/queryprocessor.h"

// "launch_action": {"ok": true}, or "Action failed" when the action answers
// with a failure, or "Invalid action" for an unknown one.
class LaunchActionProcessor : public TesselQueryProcessor {
 public:
  explicit LaunchActionProcessor(LaunchActions actions) : actions_(actions) {}
  void process(const QJsonObject& query, TesselReplier& replier) override;

 private:
  LaunchActions actions_;
};

// "start_task": the task is made on the channel's thread; a bad type is only
// logged there, so the answer is always {"ok": true}.
class StartTaskProcessor : public TesselQueryProcessor {
 public:
  void process(const QJsonObject& query, TesselReplier& replier) override;
};

// "reset_agent": sets the reset flag, then has the upgrader restart the
// agent, which then starts over with an empty database.
class ResetAgentProcessor : public TesselQueryProcessor {
 public:
  // control must outlive the processor.
  ResetAgentProcessor(const AgentControl& control, LaunchActions actions)
      : control_(control), actions_(actions) {}
  void process(const QJsonObject& query, TesselReplier& replier) override;

 private:
  const AgentControl& control_;
  LaunchActions actions_;
};

// "test": echoes the query's "test" value.
class TestProcessor : public TesselQueryProcessor {
 public:
  void process(const QJsonObject& query, TesselReplier& replier) override;
};
