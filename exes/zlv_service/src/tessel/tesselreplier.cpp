#include "tessel/tesselreplier.h"

#include "kvn_network/tessel_protocol.h"
#include "tessel/tessellink.h"

TesselReplier::TesselReplier(TesselLink& link, std::int64_t queryId)
    : link_(link), queryId_(queryId) {}

TesselReplier::~TesselReplier() {
  reply({{"ok", false}, {"error", "Replier failed to close the stream"}}, true);
}

void TesselReplier::reply(const QJsonObject& object, bool done) {
  if (done_) return;
  link_.sendMessage(kvn_network::tessel::message::kResponse,
                    {{"query_id", qint64(queryId_)}, {"done", done}, {"response", object}});
  done_ = done;
}
