#pragma once
// The view library's message catalog, of which the agent uses the titles of
// the update log's blocks. Positions are 0-based; only those named here have
// texts.

#include "platform/imsg/imsg.h"

extern const _imsg_message_table_t _view_lib_msg_table;

namespace OstrelAgent_View_Msg {

constexpr int UPDATE_SESSION_PARAMETERS = 299; // Update session parameters:
constexpr int UPDATE_ACTIONS = 301;            // Actions taken to update the view:
constexpr int UPDATE_SESSION_STATUS = 302;     // Update session status:

} // namespace OstrelAgent_View_Msg
