// Arbitrary bytes as what the box sends, through the frame reader and on
// into the dispatcher with a recording link, a query processor and a live
// task behind it. Nothing may crash, every query gets exactly one final
// answer, and nothing is dispatched after a message that closed the link.
//
// Input: u8 chunk size (0 means all at once), then the received bytes.
#include <QJsonObject>
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "kvn_network/tessel_frame.h"
#include "recording_tessel_link.h"
#include "tessel/tesseldispatcher.h"
#include "tessel/tesseltasks.h"
#include "tessel_probe.h"

using namespace kvn_network::tessel;

namespace {

bool isQuery(const QByteArray& json) {
  const auto message = parseMessage(json);
  return message && message->value("type").toString() == "query";
}

int finalAnswers(const kvn_test::RecordingTesselLink& link) {
  int count = 0;
  for (const auto& sent : link.messages())
    if (sent.type == "response" && sent.object.value("done").toBool()) ++count;
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kvn_fuzz::quietLog();
  if (size == 0) return 0;
  static QueryProcessorRegistry* const queries = [] {
    auto* registry = new QueryProcessorRegistry;
    registry->add("test", std::make_unique<kvn_test::EchoProcessor>());
    return registry;
  }();
  const std::size_t chunk = data[0] == 0 ? size : data[0];
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  const std::size_t length = size - 1;

  kvn_test::ProbeLog probes;
  TaskFactoryRegistry factories;
  factories.add("probe", kvn_test::probeTaskFactory(probes));
  kvn_test::RecordingTesselLink link;
  TesselTasks tasks;
  tasks.create(link, factories, "probe", {});
  bool tailLogs = false;
  TesselDispatcher dispatcher(link, *queries, tasks, [&](bool on) { tailLogs = on; });

  TesselFrameReader reader;
  TesselMessage message;
  int asked = 0;
  for (std::size_t at = 0; at < length; at += chunk) {
    const std::size_t take = length - at < chunk ? length - at : chunk;
    const bool alive = reader.feed(bytes + at, take);
    while (reader.next(message) == TesselFrameReader::Status::Message) {
      if (isQuery(message.json)) ++asked;
      if (dispatcher.dispatch(message.json, message.payload) == TesselDispatcher::Outcome::Close)
        goto closed;
      if (finalAnswers(link) != asked) __builtin_trap();
    }
    if (!alive) break;
  }
closed:
  if (finalAnswers(link) != asked) __builtin_trap();
  tasks.failAll("Disconnected from server");
  return 0;
}
