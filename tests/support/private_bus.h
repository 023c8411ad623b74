#pragma once

#include <sys/types.h>

#include <string>

#include "support/test_support.h"

namespace vemo::test {

// A session bus of the test's own, where nothing can be started on demand.
class PrivateBus {
  public:
    explicit PrivateBus(const TempDir& dir);
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Empty when the bus did not start.
    const std::string& address() const { return address_; }

  private:
    std::string address_;
    pid_t pid_ = 0;
};

}  // namespace vemo::test
