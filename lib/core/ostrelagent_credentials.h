#pragma once
// The agent process's own identity, as every status it hands out shows it.

#include "platform/qel/qel.h"
#include "platform/utl/credutl.h"

// The agent process's own credentials, read once (a failure stops the process).
const credutl_sid_credentials_t* ostrelagent_my_creds();

// Gives a file status the agent process's own owner and group.
void ostrelagent_replace_fstat_identities(qel_fstat_db_s& fstat);
