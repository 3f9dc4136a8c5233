// The names that the pool's test files use, for `using namespace vexo::test::pool_names;`.
// It includes test_support.hpp: include it after any define that configures that header.
#pragma once

#include <chrono>

#include "pool_test_support.hpp"
#include "test_support.hpp"
#include "vexo/util/ThreadPool.hpp"

namespace vexo::test::pool_names {

using namespace std::chrono_literals;
using vexo::test::CaptureCerr;
using vexo::test::CaptureStderrFd;
using vexo::test::error_message;
using vexo::test::eventually;
using vexo::test::finishes_within;
using vexo::test::Gate;
using vexo::test::Latch;
using vexo::util::ThreadPool;
using Clock = std::chrono::system_clock;
using Steady = std::chrono::steady_clock;

}  // namespace vexo::test::pool_names
