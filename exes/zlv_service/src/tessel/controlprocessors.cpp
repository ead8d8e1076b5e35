#include "tessel/controlprocessors.h"

#include "kvn_log/errors.h"
#include "kvn_log/log.h"
#include "kvn_network/tessel_protocol.h"
#include "tessel/tessellink.h"
#include "tessel/tesselreplier.h"

using namespace kvn_network::tessel;

namespace {

void replyOk(TesselReplier& replier) { replier.reply({{key::kOk, true}}, true); }

void replyError(TesselReplier& replier, const char* error) {
  replier.reply({{key::kOk, false}, {key::kError, error}}, true);
}

}  // namespace

void LaunchActionProcessor::process(const QJsonObject& query, TesselReplier& replier) {
  const QString action = query.value(key::kAction).toString();
  const QString args = query.value(key::kArgs).toString();
  const QString intent = query.value(key::kIntent).toString();
  KLOG_D("Launch action %s", qPrintable(action));
  const std::optional<std::uint32_t> result = actions_.launch(action, args, intent);
  if (!result) {
    KLOG_E("Invalid launch action %s", qPrintable(action));
    return replyError(replier, "Invalid action");
  }
  if (*result != KVN_OK) {
    KLOG_E("Launch action failed %d", int(*result));
    return replyError(replier, "Action failed");
  }
  replyOk(replier);
}

void StartTaskProcessor::process(const QJsonObject& query, TesselReplier& replier) {
  replier.link().startTask(query.value(key::kTaskType).toString(),
                           query.value(key::kArgs).toObject());
  replyOk(replier);
}

void ResetAgentProcessor::process(const QJsonObject&, TesselReplier& replier) {
  const std::uint32_t flagged =
      control_.setResetAgent ? control_.setResetAgent(true) : KVN_E_EXCEPTION;
  if (flagged != KVN_OK) {
    KLOG_E("Failed to set reset agent flag: 0x%08x", flagged);
    return replyError(replier, "Failed to set reset agent flag");
  }
  if (const std::uint32_t launched = actions_.startUpgrade(launch_action::kResetAgentArgs);
      launched != KVN_OK) {
    KLOG_E("Failed to launch reset agent action: 0x%08x", launched);
    return replyError(replier, "Failed to launch reset agent action");
  }
  replyOk(replier);
}

void TestProcessor::process(const QJsonObject& query, TesselReplier& replier) {
  replier.reply({{key::kOk, true}, {query_key::kTest, query.value(query_key::kTest)}}, true);
}
