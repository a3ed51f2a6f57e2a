#pragma once
// The two message catalogs of the agent: the library's (111) and the
// daemon entry's (1). Messages are addressed by their 0-based position in
// the catalog, never by their message number; format them with
// OstrelAgent_Util::format or the log's catalog write_log.

#include "platform/imsg/imsg.h"

// Catalog "lib_ostrel_agent", prefix "ostrela_lib", number 111, 125 texts.
extern const _imsg_message_table_t _ostrela_lib_lib_msg_table;
// Catalog "bin_ostrel_agent", prefix "ostrela_bin", number 1, 6 texts.
extern const _imsg_message_table_t _ostrela_bin_bin_msg_table;
