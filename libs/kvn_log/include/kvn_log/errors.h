// Result codes shared by every subsystem. 0 is success; failures are logged
// as "0x%08x".
#pragma once

#include <cstdint>
#include <string>

inline constexpr std::uint32_t KVN_OK = 0;
inline constexpr std::uint32_t KVN_E_FAILED = 0xEFFEEFFE;
inline constexpr std::uint32_t KVN_E_NETWORK = 0xEFFEEFFD;
inline constexpr std::uint32_t KVN_E_SERVER = 0xEFFEEFFC;
inline constexpr std::uint32_t KVN_E_INVALID_REPLY = 0xEFFEEFFB;
inline constexpr std::uint32_t KVN_E_ARGUMENTS = 0xEFFEEFFA;
inline constexpr std::uint32_t KVN_E_EXCEPTION = 0xEFFEEFF9;
inline constexpr std::uint32_t KVN_E_SERVER_STATUS = 0xEFFEEFF7;
inline constexpr std::uint32_t KVN_E_ACTION_REFUSED = 0xEFFEEFF4;
inline constexpr std::uint32_t KVN_E_SOCKET_CLOSED = 0xEFFEEFF3;
// Passed upwards without an error message and never counted as a failure.
inline constexpr std::uint32_t KVN_E_STOPPED = 0xEFFFFEF0;

namespace kvn_log {

// "0x%08x" of a code.
std::string codeText(std::uint32_t code);

}  // namespace kvn_log
