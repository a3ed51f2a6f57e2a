#pragma once
// The kernel-protocol XDR layer's line in the version report ("-VerAll").
// The layouts are in ostrelxdr_view.h and ostrelxdr_blob.h.

// Prints it through the message library (kind 0), or formats it into `buf`
// (IMSG_MAX_TEXT bytes at most are written).
void libostrelxdr_print_verid();
int libostrelxdr_sprintf_verid(char* buf);
