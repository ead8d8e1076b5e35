// Runs f and returns the KvnCommonException it throws; the test fails when
// it throws none.
#pragma once

#include <gtest/gtest.h>

#include "kvn_log/exception.h"

namespace kvn_test {

template <typename F>
KvnCommonException thrownBy(F f) {
  try {
    f();
  } catch (const KvnCommonException& e) {
    return e;
  }
  ADD_FAILURE() << "no KvnCommonException";
  return KvnCommonException(KVN_HERE, "none");
}

}  // namespace kvn_test
