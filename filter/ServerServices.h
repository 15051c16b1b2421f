// The three services the filter asks of the server: read a server variable,
// write raw bytes to the client, replace the mapped physical path.
#pragma once

#include <memory>
#include <string_view>

#include "isapi/Isapi4.h"

namespace qelmor {

inline constexpr uint32_t kServerVarBuffer = 4096;

// Storage for one variable's value. The common case fits the fixed buffer
// and allocates nothing; a longer value, which the server announces by the
// size it reports, gets a buffer of exactly that size.
struct ServerVarBuffer {
    char fixed[kServerVarBuffer];
    std::unique_ptr<char[]> large;
};

// Thrown when the server announced a value longer than the fixed buffer and
// then would not hand it over: the decision cannot be made from it.
struct ServerVarUnavailable {
    const char* name;
};

// The variable's value without its terminating zero, a view into `buffer`.
// A variable that does not exist or cannot be read is the empty text. A long
// value is never taken for an empty one: one that memory cannot hold throws
// std::bad_alloc, one the server fails to hand over ServerVarUnavailable.
std::string_view GetServerVar(HTTP_FILTER_CONTEXT* context, const char* name,
                              ServerVarBuffer& buffer);

// Writes the bytes as they are: no status line, no header, no terminator.
// A failed write is not noticed.
void WriteToClient(HTTP_FILTER_CONTEXT* context, std::string_view text);

// Makes `text` the notification's physical path: copied into the server's
// path buffer when it fits, otherwise into memory from the server's AllocMem,
// which lives until the request ends. False when neither could hold it.
bool ReplacePhysicalPath(HTTP_FILTER_CONTEXT* context, HTTP_FILTER_URL_MAP* urlMap,
                         std::string_view text);

}  // namespace qelmor
