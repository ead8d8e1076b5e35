// Throwing a formatted KvnCommonException with a result code of our own.
#pragma once

#include "kvn_log/exception.h"

#define KVN_NET_THROW(errorCode, ...)                                                      \
  do {                                                                                     \
    KvnCommonException kvnNetError = KvnCommonException::formatted(KVN_HERE, __VA_ARGS__); \
    kvnNetError.code = (errorCode);                                                        \
    throw kvnNetError;                                                                     \
  } while (0)
