#pragma once
// The view database's line in the version report ("-VerAll").

// Prints it through the message library (kind 0), or formats it into `buf`
// (IMSG_MAX_TEXT bytes at most are written).
void libostrel_agent_db_print_verid();
int libostrel_agent_db_sprintf_verid(char* buf);
