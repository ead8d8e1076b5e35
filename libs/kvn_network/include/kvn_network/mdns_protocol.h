// The multicast DNS question with which the agent finds boxes on its local
// network, and the TXT keys a box announces itself with.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvn_network {

inline constexpr char kMdnsGroup[] = "224.0.0.251";
inline constexpr std::uint16_t kMdnsPort = 5353;
inline constexpr char kMdnsBoxService[] = "_zelvo._tcp.local.";

inline constexpr std::uint16_t kDnsTypeA = 1;
inline constexpr std::uint16_t kDnsTypePtr = 12;
inline constexpr std::uint16_t kDnsTypeTxt = 16;
inline constexpr std::uint16_t kDnsClassIn = 1;
// Asks responders to answer straight to the sender rather than the group.
inline constexpr std::uint16_t kDnsUnicastResponseBit = 0x8000;

// Both ways, no DNS message is larger.
inline constexpr std::size_t kMdnsMaxMessage = 2048;

inline constexpr char kMdnsTxtLicense[] = "license";
inline constexpr char kMdnsTxtHostname[] = "hostname";

}  // namespace kvn_network
