#pragma once
// A test build's way to stop the daemon dead at a chosen point of an
// element operation's file work, as a crash would.
//
// In a build with the tests, OSTREL_TEST_KILL_AT="<point>:<n>" makes the
// n-th passing (1 for the first) of the named point in the process kill
// the daemon with SIGKILL. The points are the view file calls ("examine",
// "open", "create", "copy-write", "chmod", "times", "fsync", "rename",
// "unlink") and the steps the operations name between them
// ("checkout-unhijacked", "hijack-copied", "hijack-marked",
// "unhijack-removed", "move-refreshed", "uncheckout-flushed"). Other
// builds never read the variable.

class OstrelAgent_View_File_Hook {
public:
    static void at(const char* point);
};
