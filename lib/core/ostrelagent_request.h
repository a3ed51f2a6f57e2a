#pragma once
// One unit of work for the request pool: a client's XML request, or
// background work such as a cleartext fetch, a background directory read or a
// metadata flush. The request thread manager owns a request from the moment
// it is queued and deletes it through this class once it has run or been
// cancelled.

class OstrelAgent_Request {
public:
    // Priority of foreground work; every other value is low priority
    // (background directory reads use 0).
    static const int FOREGROUND = 1;

    explicit OstrelAgent_Request(int priority);
    virtual ~OstrelAgent_Request();

    OstrelAgent_Request(const OstrelAgent_Request&) = delete;
    OstrelAgent_Request& operator=(const OstrelAgent_Request&) = delete;

    // Does the work, on a pool thread. 20026 (shutdown in progress) makes the
    // pool begin the agent's shutdown; every other result is only traced.
    // An exception fails this request alone: the pool deletes it and goes on.
    virtual int handle_request() = 0;

    // Called instead of handle_request when the request will not run (queued
    // after the exit flag was set, or drained at shutdown). It must settle
    // whatever the requester waits for. Its result is ignored.
    virtual int cancel_request() = 0;

    // Whether `other` does the same work as this request (used to promote a
    // queued background request that a foreground one waits for).
    virtual bool is_equivalent(const OstrelAgent_Request* other) const = 0;

    // A short description, for traces only.
    virtual const char* toString() = 0;

    int get_priority() const { return priority; }
    bool is_foreground() const { return priority == FOREGROUND; }

protected:
    // Never changed once queued: promotion moves a request to the foreground
    // queue without touching its priority.
    int priority;
};
