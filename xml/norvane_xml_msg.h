#pragma once
// The XML layer's message catalog.

#include "platform/imsg/imsg.h"

// Catalog prefix "norvane_xml", number 1, one text:
//   0: a request text holds characters the local code page cannot represent.
extern const _imsg_message_table_t _norvane_xml_xml_msg_table;

// Position of the one message of the catalog.
constexpr int NORVANE_XML_MSG_UNSUPPORTED_CHARS = 0;
