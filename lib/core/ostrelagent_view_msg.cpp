#include "lib/core/ostrelagent_view_msg.h"

// Users read these texts in update logs, and tools find the blocks by them:
// change neither text nor position.

namespace {

constexpr int VIEW_LIB_COUNT = 303;

struct ViewLibTexts {
    const char* at[VIEW_LIB_COUNT] = {};
    unsigned short numbers[VIEW_LIB_COUNT] = {};
    constexpr ViewLibTexts() {
        for (int i = 0; i < VIEW_LIB_COUNT; ++i) numbers[i] = static_cast<unsigned short>(i + 1);
        at[OstrelAgent_View_Msg::UPDATE_SESSION_PARAMETERS] = "Update session parameters:";
        at[OstrelAgent_View_Msg::UPDATE_ACTIONS] = "Actions taken to update the view:";
        at[OstrelAgent_View_Msg::UPDATE_SESSION_STATUS] = "Update session status:";
    }
};

constexpr ViewLibTexts view_lib_texts;

} // namespace

const _imsg_message_table_t _view_lib_msg_table = {
    "view_lib", "view_lib", 1, VIEW_LIB_COUNT, view_lib_texts.at, view_lib_texts.numbers,
};
