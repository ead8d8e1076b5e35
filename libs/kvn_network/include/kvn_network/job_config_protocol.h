// The packet types with which the agent fetches its job configuration and
// its client configuration, the same for the agent and the box.
#pragma once

#include <cstdint>

namespace kvn_network {

// One byte: whether the agent was reset.
inline constexpr std::uint32_t kJobConfigRequestType = 0x70000001;
// Answered with the job file as a transfer of this type.
inline constexpr std::uint32_t kJobFileRequestType = 0x70000005;
inline constexpr std::uint32_t kJobFileAppliedType = 0x70000006;
// Answered with the datanode's host text and i32 port.
inline constexpr std::uint32_t kClientConfigRequestType = 0x50000010;

}  // namespace kvn_network
