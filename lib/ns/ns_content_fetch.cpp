#include "lib/ns/ns_content_fetch.h"

#include "lib/ns/ns_cache.h"

Ns_Content_Fetch* Ns_Content_Fetch::g_fetch = nullptr;

Ns_Content_Fetch::~Ns_Content_Fetch() = default;

void Ns_Content_Fetch::install(Ns_Content_Fetch* fetch) { g_fetch = fetch; }

Ns_Content_Fetch& Ns_Content_Fetch::get() {
    if (g_fetch == nullptr) ns_fatal("lib/ns/ns_content_fetch", __LINE__, "content fetch installed");
    return *g_fetch;
}
