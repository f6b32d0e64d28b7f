// Responses: what to send for one request (the plan a connection carries out), the status
// line and the headers every response carries, and small answers generated in memory. Pure
// functions; any thread.
#pragma once

#include <stdint.h>
#include <sys/types.h>
#include <time.h>

#include <memory>
#include <string>
#include <string_view>

struct HttpRequest;

// What a response says of its connection (RFC 9112 section 9.3): persistence is HTTP/1.1's
// default, so a kept HTTP/1.1 connection needs no Connection field (kDefault); a kept HTTP/1.0
// one is told keep-alive; a connection's last response says close.
enum class Persistence { kClose, kKeepAlive, kDefault };

// As the request asks: kClose when it is the connection's last (keepAlive false).
Persistence PersistenceOf(const HttpRequest& request);

// A file the open-file cache holds (static/open_file_cache.h); a plan only shares it, so the
// protocol's code needs no more than its name.
struct OpenedFile;

// What to send for one request: a header, then either a generated body or a file region. The
// region comes from fileFd, or from `file` when that is set: from its bytes when it holds them
// (one gather write with the header), else from its descriptor.
struct ResponsePlan {
    int status = 0;
    std::string header;
    std::string body;
    int fileFd = -1;                         // owned by the plan's holder; closed after the send completes
    std::shared_ptr<const OpenedFile> file;  // shared with the open-file cache until the send completes
    uint64_t fileOffset = 0;
    uint64_t fileLength = 0;
    bool keepAlive = false;
    uint64_t contentBytes = 0;  // body bytes sent, for the access log
    int openError = 0;          // for a 500: the errno of the failed open, for the debug log
};

const char* ReasonPhrase(int status);

// The status line, then Server, Date and Connection (none for kDefault).
std::string CommonHeaders(int status, time_t now, Persistence persistence);
// The same, appended to *header, which is first given room for a whole response header so that
// the fields appended after these need no second allocation.
void AppendCommonHeaders(std::string* header, int status, time_t now, Persistence persistence);
// The decimal digits of n, appended without a string of their own.
void AppendDecimal(std::string* out, uint64_t n);

// The generated answer for an error or a redirect. For HEAD the body is left out (its length
// is still announced). extraHeader is added as is ("Allow: GET, HEAD\r\n").
ResponsePlan GeneratedResponse(int status, Persistence persistence, bool head, time_t now,
                               std::string_view extraHeader = {});
// A response with a body generated in memory (for HEAD the body is left out).
ResponsePlan BodyResponse(int status, Persistence persistence, bool head, time_t now,
                          std::string_view contentType, std::string body, std::string_view extraHeader = {});
