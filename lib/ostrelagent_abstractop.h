#pragma once
// The base of the client request operations.
//
// For now it holds only the separator of the view metadata file's
// key=value lines; the operation base itself (request document, status,
// reply building) comes with the request dispatcher.

class OstrelAgent_AbstractOp {
public:
    // Separates key and value in "key=value" lines.
    static constexpr const char* KEY_VALUE_SEP = "=";
};
