#pragma once
// The namespace cache's line in the version report ("-VerAll").

// Prints it through the message library (kind 0), or formats it into `buf`
// (IMSG_MAX_TEXT bytes at most are written).
void libostrel_agent_ns_print_verid();
int libostrel_agent_ns_sprintf_verid(char* buf);
