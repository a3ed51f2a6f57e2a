#pragma once
// The operation that answers a request whose text could not be transcoded.
// It has no document; the dispatcher builds it with status 20057 and the
// request name "XMLError", which is also its reply's root. The reply's
// message says that the request text could not be parsed.

#include "lib/requests/ostrelagent_abstractop.h"

class OstrelAgent_XMLError : public OstrelAgent_AbstractOp {
public:
    OstrelAgent_XMLError(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    ~OstrelAgent_XMLError() override;

    void process_request() override;
    std::string get_response() override;

private:
    void parse_request();
};
