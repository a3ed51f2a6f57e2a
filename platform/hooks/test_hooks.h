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
constexpr const char* KILL_AT = "OSTREL_TEST_KILL_AT";

// The error number the listener's thread start reports instead of starting
// (a positive number from LISTENER_START_ERROR), or 0: start it.
int listener_start_error();
// Whether the request pool's third thread fails to start (POOL_START_ERROR
// set).
bool pool_start_fails();
// Stops the daemon dead, as a crash would, at the n-th passing (1 for the
// first) of the point KILL_AT names as "<point>:<n>". The points are the
// element operations' view file calls ("examine", "open", "create",
// "copy-write", "chmod", "times", "fsync", "rename", "unlink") and the
// steps they name between them ("checkout-unhijacked", "hijack-copied",
// "hijack-marked", "unhijack-removed", "move-refreshed",
// "uncheckout-flushed").
void kill_point(const char* point);

} // namespace test_hooks
