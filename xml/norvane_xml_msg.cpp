#include "xml/norvane_xml_msg.h"

namespace {

const char* const kTexts[] = {
    "Error: One or more characters in the following string is not supported by the "
    "server's operating system: \"%s\".\n",
};
const unsigned short kNumbers[] = {1};

} // namespace

const _imsg_message_table_t _norvane_xml_xml_msg_table = {
    "lib_norvane_xml", "norvane_xml", 1, 1, kTexts, kNumbers,
};
