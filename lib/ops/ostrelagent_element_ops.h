#pragma once
// The element operations and queries as the request dispatcher serves them.
//
// The dispatcher sits on the floor below this one, so it cannot name these
// classes: install() hands it each operation's factory. The view handler
// calls it once at start-up, before any request is dispatched; tests that
// dispatch element operations in process call it too. Calling it again
// changes nothing.

class OstrelAgent_Element_Ops {
public:
    static void install();
};
