#pragma once
// korva_agent's version line: "korva_agent" left-aligned in 33 columns, the
// release and the build date in parentheses.

// Prints the line through the message library (message kind 0).
void korva_agent_print_verid();

// Formats the same line into `buf` (IMSG_MAX_TEXT bytes at most); its
// length. The program exports it under this plain name for other programs
// that look it up; it does not call it itself.
extern "C" int korva_agent_sprintf_verid(char* buf);
