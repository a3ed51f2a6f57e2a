#pragma once
// Where the platform message library's output goes in the daemon: an
// 11-slot table of message procedures, one per message kind. Until the
// operations log exists the procedures have no context and keep each text in
// a pending list of their kind; once the table is installed with the log as
// context, information, warnings and errors go to the operations log (subject
// to its switch) and trace messages to the trace file.

// The procedures of the table (context: the OstrelAgent_Log, or null).
void ostrela_handle_ok_message(void* context, const char* text);
void ostrela_handle_warn_message(void* context, const char* text);
void ostrela_handle_err_message(void* context, const char* text);
void ostrela_handle_trace_message(void* context, const char* text);

// Installs the table with `context`; a later call replaces it.
void ostrela_install_message_redirection(void* context);

// Traces the pending texts at level 1 ("INFO: ", "WARN: ", "ERROR: ",
// "UNKNOWN: " before each, kind by kind, each in order of arrival) and
// empties the lists. The texts never reach the operations log.
void ostrela_trace_pending_messages();
