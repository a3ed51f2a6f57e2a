// Message library: numbered message catalogs, formatting by catalog
// position, printing through a table of redirection procedures, error texts
// and trace selection.
//
// Every formatting call here is bounded: it never writes past the buffer it
// is given and always ends it with a NUL.
#pragma once

#include <cstdarg>
#include <cstddef>

// A message catalog: constant texts addressed by their 0-based position.
struct _imsg_message_table_s {
    const char* library;              // e.g. "lib_ostrel_agent"
    const char* prefix;               // e.g. "ostrela_lib"
    unsigned short catalog_number;
    unsigned short count;             // entries in `texts` and `numbers`
    const char* const* texts;         // printf-style; a null entry cannot be loaded
    const unsigned short* numbers;    // message numbers, ascending, one per text
};
typedef _imsg_message_table_s _imsg_message_table_t;

// Longest text (with its NUL) that imsg_print, imsg_sprintf and imsg_vsprintf
// produce; longer texts are cut.
constexpr size_t IMSG_MAX_TEXT = 153600;

// ---- formatting -------------------------------------------------------------

// Formats the message at position `index` of `catalog` (a
// _imsg_message_table_t) with `args` into `buf` of `size` bytes, like
// vsnprintf: returns the length the whole text needs (so a result of `size`
// or more means it was cut) or a negative value when the catalog is null or
// the position cannot be loaded (out of range, or no text there); the buffer
// then holds the empty text.
int imsg_vsnprintf(char* buf, size_t size, const void* catalog, int index, va_list args);

// imsg_vsnprintf into a buffer of IMSG_MAX_TEXT bytes, which the caller
// provides.
int imsg_vsprintf(char* buf, const void* catalog, int index, va_list args);

// Formats like imsg_print (below) into a buffer of IMSG_MAX_TEXT bytes that
// the caller provides: with a negative `index`, `message` is a printf format;
// otherwise it is a catalog and `index` the position. Returns what
// imsg_vsnprintf returns.
int imsg_sprintf(char* buf, const void* message, int index, ...);

// ---- printing ---------------------------------------------------------------

// Message kinds (the slots of the redirection table).
constexpr int IMSG_KIND_OK = 0;       // 0 to 3: information
constexpr int IMSG_KIND_WARN = 4;     // 4 and 5: warnings
constexpr int IMSG_KIND_ERR = 6;      // 6 and 7: errors
constexpr int IMSG_KIND_TRACE = 8;    // 8 and 9: trace
constexpr int IMSG_KIND_APPEND = 10;  // 10: appended detail
constexpr int IMSG_NUM_KINDS = 11;

// A message procedure: gets the context given with the table and one
// formatted text. It may run on any thread that prints.
typedef void (*imsg_proc_t)(void* context, const char* text);

// The library's own procedure for appended detail: it drops the text.
void imsg_append_proc_suppress(void* context, const char* text);

// Installs a redirection table of `count` (at most IMSG_NUM_KINDS)
// procedures and the context handed to each; a later call replaces both. A
// null table, and a null or missing slot, means the default: informational
// kinds (0-3) go to standard output, as a program's requested output (version
// lines) does; every other kind goes to standard error, except kind 10, which
// goes to imsg_append_proc_suppress. The daemon installs its table before it
// can write anything else, so its standard output carries only its reply.
// 0, or -1 for a bad count.
int imsg_set_redirect_procs(const imsg_proc_t* table, int count, void* context);

// Formats a message and hands it to the procedure of slot `kind`. With a
// negative `index`, `message` is a printf format (for example
// imsg_print(0, "%-*s %s (%s)\n", -1, 33, name, release, date)); otherwise
// it is a catalog and `index` the position. Returns the length of the text
// delivered; -1 for a kind outside 0 to 10, or when the position cannot be
// loaded (a line saying so is delivered in its place).
int imsg_print(int kind, const void* message, int index, ...);

// ---- error texts --------------------------------------------------------------

// The system's text for an errno value. The text belongs to the calling
// thread and stays valid until its next call.
const char* imsg_strerror(int errnum);

// ---- trace selection -------------------------------------------------------

// The selected trace subsystems: names joined by ':' ("OSTRELAGENT:RCLIENT"),
// compared without regard to letter case; null or empty selects none.
void imsg_set_trace_subsys(const char* list);

// The trace verbosity (level) asked for.
void imsg_set_trace_verbosity(int verbosity);
int imsg_get_desired_verbosity();

// Non-zero when a line of `level` of subsystem `subsys` is to be traced at
// `verbosity`: the subsystem is selected and the level is at most the
// verbosity.
int imsg_should_trace(const char* subsys, int level, int verbosity);
