#include "lib/fetch/ostrelagent_metadata.h"

#include "lib/ns/ns_cache.h"

void OstrelAgent_Metadata::replace_fstat_identities(qel_fstat_db_s& fstat) {
    const credutl_sid_credentials_t* mine = ostrelagent_my_creds();
    fstat.usid = mine->user_sid;
    fstat.gsid = mine->group_sid;
}
