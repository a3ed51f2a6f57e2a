#pragma once
// The outcome that the server reports in a reply's "Status" part: its
// status code and, when it sent one, its message text.

#include <string>

class RClient_Status {
public:
    virtual ~RClient_Status() = default;

    std::string message;
    int status = -1; // -1 until a "Status" part or a failed send sets it
};
