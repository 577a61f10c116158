// Every unit test runs in a process set up as the daemon sets itself up, in
// a known time zone (EXIF dates carry none and are read as local time).

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include "host/ProcessSetup.h"

namespace {

class ProcessEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
    tzset();
    ASSERT_TRUE(corvane::host::setUpProcess());
  }
};

[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new ProcessEnvironment);

}  // namespace
