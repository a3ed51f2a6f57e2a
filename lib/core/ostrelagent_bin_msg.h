#pragma once
// The daemon entry's message catalog ("bin_ostrel_agent", prefix
// "ostrela_bin", number 1, 6 texts) and the positions that the code
// addresses, by 0-based position as the library catalog
// (ostrelagent_lib_msg.h).

#include "platform/imsg/imsg.h"

extern const _imsg_message_table_t _ostrela_bin_bin_msg_table;

namespace OstrelAgent_Bin_Msg {

constexpr int USING_VIEW = 0;  // Using view "%s", on host "%s".
constexpr int EXITING = 4;     // Exiting, status = %d.
constexpr int INTERRUPTED = 5; // Interrupted...exiting.

} // namespace OstrelAgent_Bin_Msg
