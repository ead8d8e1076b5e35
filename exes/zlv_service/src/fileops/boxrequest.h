// The small exchanges every file operation has with the box: a packet out,
// one answer back, each failure logged with the operation's own wording.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <optional>

#include "connection/zlvnetwork.h"
#include "kvn_network/netpacket.h"

namespace fileops {

// Builds a packet of type with fill, sends it: 0, or KVN_E_EXCEPTION when
// building throws (logged "<buildFailure>: <what>"), KVN_E_NETWORK when
// the send fails (logged sendFailure).
std::uint32_t sendBuilt(CZLVNetwork& network, std::uint32_t type,
                        const std::function<void(kvn_network::NetPacket&)>& fill,
                        const char* buildFailure, const char* sendFailure);

// The next packet from the box, or nullopt after logging
// "<failure>: <what>" when the receive throws.
std::optional<kvn_network::NetPacket> receiveLogged(CZLVNetwork& network, const char* failure);

// The box's answer to a count request, into *count: 0, KVN_E_NETWORK when
// it cannot be read (logged "<failure>: <what>"), or KVN_E_SERVER_STATUS
// when the box answers with an error packet, whose code is no count.
std::uint32_t receiveCount(CZLVNetwork& network, const char* failure, std::int32_t* count);

// The code of an error answer (0 when it carries none).
std::uint32_t errorCode(kvn_network::NetPacket& answer);

}  // namespace fileops
