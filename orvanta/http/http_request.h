// Request parsing over Debian's http_parser: one RequestParser per connection, fed the bytes
// as they arrive, stopping after each complete request so pipelined requests are answered one
// at a time and in order. Memory is bounded: the target and the header section are copied
// only up to their limits, bodies are skipped, and the caller keeps only unparsed bytes.
// Not thread-safe; a connection's parser is used by whichever callback owns the connection.
#pragma once

#include <http_parser.h>
#include <stddef.h>

#include <string>
#include <string_view>

// A request-target longer than this gets 414.
constexpr size_t kMaxTargetBytes = 8192;
// Header fields (names, values and their separators) beyond this get 431.
constexpr size_t kMaxHeaderBytes = 16384;

struct HttpRequest {
    int method = -1;  // enum http_method
    std::string target;
    int versionMajor = 1;
    int versionMinor = 1;
    bool keepAlive = false;
    bool hasIfModifiedSince = false;
    std::string ifModifiedSince;
    bool hasRange = false;
    std::string range;  // several fields are joined with ", ", which no range parses: all are ignored
    bool hasIfNoneMatch = false;
    std::string ifNoneMatch;  // several fields are joined with ", "
    bool hasIfRange = false;
    std::string ifRange;
    std::string acceptEncoding;  // several fields are joined with ", "
    std::string transferEncoding;
    // Expect: 100-continue on an HTTP/1.1 request with a body: the client waits for 100
    // Continue, or for the final status, before it sends the body.
    bool expectsContinue = false;
    bool versionRead = false;  // the request line was read to its end

    // "GET /x HTTP/1.1" for the access log. For a request refused part-way, as much of the line
    // as was read ("GET /x" when the target was too long); empty before the method was read.
    std::string RequestLine() const;
};

// kExpectsContinue: the header section is complete and the client waits before it sends the
// body (request().expectsContinue); ContinueBody, then Feed on, reads the body.
enum class ParseResult { kNeedMore, kComplete, kError, kExpectsContinue };

class RequestParser {
  public:
    RequestParser();
    RequestParser(const RequestParser&) = delete;
    RequestParser& operator=(const RequestParser&) = delete;

    // Parses from data until one request is complete, an error, or the bytes run out.
    // *consumed is how many bytes were used; the rest belongs to the next request.
    ParseResult Feed(const char* data, size_t len, size_t* consumed);
    // Starts over for the next request on the same connection.
    void Reset();
    // After kExpectsContinue: the body is wanted, and Feed goes on with it.
    void ContinueBody();

    // True once a byte of the current request was fed (its clock has started).
    bool started() const { return started_; }
    const HttpRequest& request() const { return request_; }
    // The HTTP status that answers the error (400, 414, 431, 501, 505). A malformed version is
    // 400; a well-formed one other than HTTP/1.x is 505.
    int errorStatus() const { return errorStatus_; }

  private:
    static int OnUrl(http_parser* p, const char* at, size_t len);
    static int OnHeaderField(http_parser* p, const char* at, size_t len);
    static int OnHeaderValue(http_parser* p, const char* at, size_t len);
    static int OnHeadersComplete(http_parser* p);
    static int OnMessageComplete(http_parser* p);
    static const http_parser_settings kSettings;

    bool CountHeaderBytes(size_t len);
    void NoteVersion();
    void FinishHeader();
    int StatusForParserError(http_errno err) const;

    http_parser parser_;
    HttpRequest request_;
    std::string field_;
    std::string value_;
    bool inValue_ = false;
    bool complete_ = false;
    bool awaitingContinue_ = false;  // paused after the header section; see kExpectsContinue
    bool started_ = false;
    size_t headerBytes_ = 0;
    int hostFields_ = 0;
    int errorStatus_ = 0;
};
