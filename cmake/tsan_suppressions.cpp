// ThreadSanitizer's suppressions, built into every program of a
// ThreadSanitizer tree (the tests and the daemons they start alike).
//
// libtirpc's XDR routines decode the padding after opaque bytes and texts
// into one static scratch buffer of the library, which every decoding
// thread writes and none reads: a race on bytes nobody uses, reported on
// the library's frames.
extern "C" const char* __tsan_default_suppressions() { return "race:libtirpc.so\n"; }
