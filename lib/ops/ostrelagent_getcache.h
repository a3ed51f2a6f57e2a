#pragma once
// GetCache: the statistics of the view's namespace cache, 41 values copied
// at one moment: for each of its four caches (names, directory listings,
// file statuses, objects) the entries held, bytes in use and allowed,
// requests and hits (since the cache's last statistics print, and in all),
// the name cache's bucket misses, the objects taken back into use, the
// flushes and ejections; last the whole cache's budget.
//
// Request: root "GetCache" ("version", "tx-id" required). Reply: the
// envelope, then "cache" holding one "cache-value" per statistic in number
// order, with the attributes "name" and "value" (signed decimal). "cache"
// is there whatever the status, empty when the statistics could not be
// copied (20001) or the request was refused.

#include <cstdint>
#include <string>
#include <vector>

#include "lib/ns/ns_cache.h"
#include "lib/requests/ostrelagent_abstractop.h"

class OstrelAgent_GetCache : public OstrelAgent_AbstractOp {
public:
    OstrelAgent_GetCache(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    ~OstrelAgent_GetCache() override;

    void process_request() override;
    std::string get_response() override;

    // The name a statistic goes out under; "Unknown" for a number the
    // cache does not give.
    static const char* statistic_name(uint32_t number);

private:
    void parse_request();

    std::vector<ns_statistic> m_statistics;
};
