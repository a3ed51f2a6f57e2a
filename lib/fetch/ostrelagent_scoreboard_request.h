#pragma once
// The work that a scoreboard entry stands for (a directory listing, the
// cleartext of a version): what equal requests share when they meet on the
// scoreboard (OstrelAgent_Scoreboard). A request type used with the
// scoreboard is final and is deleted through its own type, never through
// this interface, which therefore has no virtual destructor.

#include <string>

class OstrelAgent_Scoreboard_Request {
public:
    // The result of an entry: PENDING until the work ran; then what the
    // work's execute returned (DONE or FAILED), or CANCELLED for work that
    // will never run.
    static constexpr int PENDING = 0;
    static constexpr int DONE = 1;
    static constexpr int CANCELLED = 2;
    static constexpr int FAILED = 3;

    // Does the work once. Returns DONE or FAILED (never PENDING), sets
    // `status` and may append text to `msg`.
    virtual int execute(int& status, std::string& msg) = 0;
    // The key under which equal requests are looked for; equivalent
    // requests have the same key.
    virtual unsigned int hash() const = 0;
    // The status the work ended with; 0 before it ran.
    virtual int get_status() const = 0;
    // The text the work produced.
    virtual std::string get_message() const = 0;
    // Whether `other` asks for the same work.
    virtual bool equivalent(const OstrelAgent_Scoreboard_Request* other) const = 0;

protected:
    OstrelAgent_Scoreboard_Request() = default;
    ~OstrelAgent_Scoreboard_Request() = default;
    OstrelAgent_Scoreboard_Request(const OstrelAgent_Scoreboard_Request&) = default;
    OstrelAgent_Scoreboard_Request& operator=(const OstrelAgent_Scoreboard_Request&) = default;
};
