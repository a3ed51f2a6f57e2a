#pragma once
// The operation that answers a request naming no operation, or text that is
// not well-formed XML. Its reply's root is its request name (the dispatcher
// sets "XMLError"), its status code always 20020, and its message names the
// unrecognised root tag, or says that the request text could not be parsed.

#include "lib/requests/ostrelagent_abstractop.h"

class OstrelAgent_Unknown : public OstrelAgent_AbstractOp {
public:
    OstrelAgent_Unknown(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    ~OstrelAgent_Unknown() override;

    void process_request() override;
    std::string get_response() override;

private:
    void parse_request();
};
