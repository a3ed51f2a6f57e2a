#include "lib/core/ostrelagent_bin_msg.h"

// As the library catalog: the texts and their positions never change; new
// messages go at the end.

namespace {

const char* const bin_texts[] = {
    /* 0 (1) */ "Using view \"%s\", on host \"%s\".\n",
    /* 1 (2) */ "Not enough memory!\n",
    /* 2 (3) */ "Another instance of the Ostrel Agent found!\n",
    /* 3 (4) */ "Prepare view failed!\n",
    /* 4 (5) */ "Exiting, status = %d.\n",
    /* 5 (6) */ "Interrupted...exiting.\n",
};

const unsigned short bin_numbers[] = {1, 2, 3, 4, 5, 6};

static_assert(sizeof bin_texts / sizeof bin_texts[0] == 6, "entry catalog holds 6 texts");

} // namespace

const _imsg_message_table_t _ostrela_bin_bin_msg_table = {
    "bin_ostrel_agent", "ostrela_bin", 1, 6, bin_texts, bin_numbers,
};
