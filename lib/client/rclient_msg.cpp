#include "lib/client/rclient_msg.h"

// These texts are what users read in replies and in the operations log, and
// the positions are what the code addresses them by: change neither. New
// messages go at the end.

namespace {

const char* const texts[] = {
    /*  0 ( 1) */ "Error \"%d\" (%s) setting option %d.\n",
    /*  1 ( 2) */ "Error executing request %d (%s).\n",
    /*  2 ( 3) */ "Authorization failure, check username and password.\n",
    /*  3 ( 4) */ "Not found.\n",
    /*  4 ( 5) */ "Error adding form fields to POST request.\n",
    /*  5 ( 6) */ "VOB family oid not found for \"%s\".\n",
    /*  6 ( 7) */ "VOB replica oid not found for \"%s\".\n",
    /*  7 ( 8) */ "Invalid VOB OID %s.\n",
    /*  8 (13) */ "VOB storage not found for \"%s\".\n",
    /*  9 (14) */ "Unable to complete RPC to WAN server.",
    /* 10 (15) */ "WAN RPC \"%s\" failed : WAN status code %d, status code %d, message \"%s\".",
    /* 11 (17) */ "Unable to establish new WAN session using cached credentials.\n",
    /* 12 (18) */ "Status code from RPC = %d",
    /* 13 (19) */ "Error in SSL configuration = %d (%s).\n",
    // These follow a text that ends without a blank.
    /* 14 (20) */ " The WAN server's reply was cut short.\n",
    /* 15 (21) */ " The WAN server's reply holds no status.\n",
    /* 16 (22) */ " The WAN server's reply is malformed (status %d).\n",
    /* 17 (23) */ " The WAN server's reply part \"%s\" of %s bytes is longer than the %s bytes it may hold.\n",
    /* 18 (24) */ " The WAN server's reply holds more than the %s bytes a part and its items may take.\n",
};

const unsigned short numbers[] = {1, 2, 3, 4, 5, 6, 7, 8, 13, 14, 15, 17, 18, 19, 20, 21, 22, 23, 24};

static_assert(sizeof texts / sizeof texts[0] == 19, "client catalog holds 19 texts");
static_assert(sizeof numbers / sizeof numbers[0] == 19, "one number per client text");

} // namespace

const _imsg_message_table_t _rclient_client_lib_msg_table = {
    "client_lib", "rclient", 112, 19, texts, numbers,
};
