// A QCoreApplication for the whole test binary: the SQL driver plug-ins,
// timers and queued calls need one. Include it in exactly one source file of
// a test binary.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <memory>

namespace kvn_test {

class CoreAppEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (!QCoreApplication::instance()) app_ = std::make_unique<QCoreApplication>(argc_, argv_);
  }
  void TearDown() override { app_.reset(); }

 private:
  int argc_ = 1;
  char name_[8] = "test";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QCoreApplication> app_;
};

inline ::testing::Environment* const coreAppEnvironment =
    ::testing::AddGlobalTestEnvironment(new CoreAppEnvironment);

}  // namespace kvn_test
