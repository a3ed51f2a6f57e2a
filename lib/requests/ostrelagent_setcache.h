#pragma once
// SetCache: changes the size of the view's namespace caches and records
// the new size in the view's metadata file, which the next start of the
// view reads. A size below the namespace cache's minimum is refused by the
// view, and nothing changes then.
//
// Request: root "SetCache" ("version", "tx-id" required) with a child
// "cache-size" whose attribute "value" is the size in bytes (unsigned
// decimal, at most 4294967295). Reply: the envelope alone.

#include "lib/requests/ostrelagent_abstractop.h"

class OstrelAgent_SetCache : public OstrelAgent_AbstractOp {
public:
    static constexpr const char* CACHE_SIZE = "cache-size";
    static constexpr const char* VALUE = "value";

    OstrelAgent_SetCache(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    ~OstrelAgent_SetCache() override;

    void process_request() override;
    std::string get_response() override;

    unsigned int get_cache_size() const { return m_cache_size; }

private:
    void parse_request();

    unsigned int m_cache_size = 0;
};
