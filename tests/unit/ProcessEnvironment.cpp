// Every unit test runs in a process set up as the daemon sets itself up.

#include <gtest/gtest.h>

#include "host/ProcessSetup.h"

namespace {

class ProcessEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_TRUE(corvane::host::setUpProcess()); }
};

[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new ProcessEnvironment);

}  // namespace
