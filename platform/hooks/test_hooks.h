#pragma once
// Faults the end-to-end tests make the daemon report where no outside means
// can cause them (one thread of many failing to start). Only the daemon the
// tests run answers them: it is built with test_hooks_on.cpp, which reads
// them from the environment. Every other program, the installed daemon
// among them, gets the answers of test_hooks_off.cpp: no fault, whatever
// the environment holds.

namespace test_hooks {

// The variables the test build reads.
constexpr const char* LISTENER_START_ERROR = "OSTREL_TEST_LISTENER_START_ERROR";
constexpr const char* POOL_START_ERROR = "OSTREL_TEST_POOL_START_ERROR";

// The error number the listener's thread start reports instead of starting
// (a positive number from LISTENER_START_ERROR), or 0: start it.
int listener_start_error();
// Whether the request pool's third thread fails to start (POOL_START_ERROR
// set).
bool pool_start_fails();

} // namespace test_hooks
