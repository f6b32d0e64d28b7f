// Response generation: the status line and headers for files and for small generated
// answers, HTTP dates, byte ranges, and the access-log line. Pure functions; any thread.
#pragma once

#include <stdint.h>
#include <sys/types.h>
#include <time.h>

#include <memory>
#include <string>
#include <string_view>

class MimeTypes;
class OpenFileCache;
struct OpenedFile;
struct HttpRequest;

// "Sun, 06 Nov 1994 08:49:37 GMT".
std::string FormatHttpDate(time_t t);
// Accepts the IMF-fixdate, RFC 850 and asctime forms; false for anything else.
bool ParseHttpDate(std::string_view text, time_t* out);

// A single byte range, resolved against the file's size.
enum class RangeKind { kNone, kSatisfiable, kUnsatisfiable };
struct ByteRange {
    RangeKind kind = RangeKind::kNone;
    uint64_t first = 0;
    uint64_t length = 0;
};
// "bytes=a-b", "bytes=a-" or "bytes=-n". Several ranges or a malformed value give kNone: the
// whole file is served, as a server may ignore Range.
ByteRange ParseRange(std::string_view value, uint64_t size);

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

struct ServeContext {
    int rootFd = -1;
    const MimeTypes* mime = nullptr;
    bool autoindex = false;          // list directories that have no index.html
    OpenFileCache* cache = nullptr;  // null: every request opens its files
    // Without the cache, a file region up to this size is read into the body and goes out with
    // the header in one gather write; larger ones go through the file sender. 0: always the latter.
    uint64_t smallFileMax = 0;
};

// The generated answer for an error or a redirect. For HEAD the body is left out (its length
// is still announced). extraHeader is added as is ("Allow: GET, HEAD\r\n").
ResponsePlan GeneratedResponse(int status, bool keepAlive, bool head, time_t now,
                               std::string_view extraHeader = {});
// A response with a body generated in memory (for HEAD the body is left out).
ResponsePlan BodyResponse(int status, bool keepAlive, bool head, time_t now, std::string_view contentType,
                          std::string body, std::string_view extraHeader = {});
// Serves one parsed request from the root: the file, or its FILE.gz sibling when the client
// accepts gzip (ranges then count in the compressed bytes), with validators and conditions.
ResponsePlan HandleRequest(const HttpRequest& request, const ServeContext& ctx, time_t now);

// text with quotes, backslashes and control bytes as \xHH, so that a client cannot forge or
// break a log line.
std::string EscapeForLog(std::string_view text);

// One line in the common log format, with its newline:
// 127.0.0.1 - - [07/Dec/2026:08:33:42 +0000] "GET / HTTP/1.1" 200 1234
std::string AccessLogLine(std::string_view peer, time_t when, std::string_view requestLine, int status,
                          uint64_t bytes);

const char* ReasonPhrase(int status);
