#pragma once
// The agent library's line in the version report ("-VerAll"): the
// component name left-aligned in 33 columns, the release and the build date.

// Prints it through the message library (kind 0), or formats it into `buf`
// (IMSG_MAX_TEXT bytes at most are written).
void libhalvicostrelagent_print_verid();
int libhalvicostrelagent_sprintf_verid(char* buf);
