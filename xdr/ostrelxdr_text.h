#pragma once
// Texts of the kernel layouts, shared by the library's sources.

#include <rpc/xdr.h>

// An XDR string of at most `max` bytes behind a char pointer. Decoding
// always allocates a new text sized by what arrives, never writing into a
// buffer the pointer held before; free mode releases it. A null pointer
// fails to encode.
bool_t ostrelxdr_text(XDR* xdrs, char** text, u_int max);
