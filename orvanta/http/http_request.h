// Request framing, written by hand in the one grammar the managed library's HeadParser and
// BodyDecoder share (tests/framing/framing.table holds both to it): one RequestParser per
// connection, fed the bytes as they arrive. It stops when a request's head is complete, so the
// request can be answered before its body comes, then reads the body (Content-Length bytes, or
// chunks) and stops again at its end: pipelined requests are taken one at a time and in order.
//
// The head is read line by line: a line ends with LF (a CR before it is dropped), and nothing
// of a line is taken until its LF came, so the caller keeps the line begun and hands it in
// again with what follows. Every limit is checked on the open line as well, and an open line
// is refused only where every ending would refuse it with the same status: the outcome never
// depends on where the bytes were split. Chunk framing takes CRLF alone.
//
// Memory is bounded: the target and the fields the server acts on are copied within their
// limits, a body is passed through (or dropped), and an open line is refused at its limit. Pure
// logic, no I/O; not thread-safe: a connection's parser is used by whichever callback owns it.
//
// Speed: a byte's class is one table load (http_chars.h), a method is found by its length and
// first byte, a field name by its length and first byte, each field line is checked in one
// pass after its LF was found, and a parser reused for the next request keeps its strings'
// memory.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>

#include "orvanta/http/http_grammar.h"  // the methods and the limits, shared with the managed parser

struct HttpRequest {
    std::string_view method;  // one of the known methods (a static string); empty until read
    std::string target;
    int versionMajor = 1;
    int versionMinor = 1;
    bool versionRead = false;  // the request line was read to its end
    bool keepAlive = false;
    // Expect: 100-continue on an HTTP/1.1 request with a body: the client may hold the body
    // back until it hears 100 Continue, so a final answer sent before leaves the framing unknown.
    bool expectsContinue = false;
    bool chunked = false;
    uint64_t contentLength = 0;
    bool hasIfModifiedSince = false;
    std::string ifModifiedSince;
    bool hasIfUnmodifiedSince = false;
    std::string ifUnmodifiedSince;
    bool hasIfMatch = false;
    std::string ifMatch;  // several fields are joined with ", "
    bool hasIfNoneMatch = false;
    std::string ifNoneMatch;  // several fields are joined with ", "
    bool hasIfRange = false;
    std::string ifRange;
    bool hasRange = false;
    std::string range;  // several fields are joined with ", ", which no range parses: all are ignored
    std::string acceptEncoding;  // several fields are joined with ", "

    bool IsGet() const { return method == "GET"; }
    bool IsHead() const { return method == "HEAD"; }
    // "GET /x HTTP/1.1" for the access log. For a request refused part-way, as much of the line
    // as was read ("GET /x" when the target was too long); empty before the method was known.
    std::string RequestLine() const;
};

// kHead: the head is complete and request() holds it; Feed on reads the body. kComplete: the
// body is complete too; Reset starts the next request.
enum class ParseResult { kNeedMore, kHead, kComplete, kError };

class RequestParser {
  public:
    explicit RequestParser(uint64_t maxBodyBytes = kMaxBodyBytes);
    RequestParser(const RequestParser&) = delete;
    RequestParser& operator=(const RequestParser&) = delete;

    // Parses data (the bytes the last call left unconsumed, then any new ones) until the head
    // or the body is complete, an error, or the bytes run out. *consumed is how many bytes were
    // taken; the rest is handed in again. The body's bytes are appended to body when given.
    ParseResult Feed(const char* data, size_t len, size_t* consumed, std::string* body = nullptr);
    // Starts over for the next request on the same connection.
    void Reset();

    const HttpRequest& request() const { return request_; }
    // True once the head was complete: an error from then on is the body's.
    bool headDone() const { return headDone_; }
    // The HTTP status that answers the error (400, 413, 414, 417, 431, 501, 505).
    int errorStatus() const { return errorStatus_; }

  private:
    enum class Phase {
        kRequestLine,
        kFields,
        kLengthBody,
        kChunkSize,
        kChunkData,
        kChunkDataEnd,
        kTrailers,
        kComplete,
        kError
    };

    ParseResult Step(const char* data, size_t len, size_t* pos, std::string* body);
    bool NextLine(const char* data, size_t len, size_t* pos, std::string_view* line);
    void TakeLine(std::string_view line);
    void CheckOpenLine(std::string_view open);
    void CheckOpenRequestLine(std::string_view open);
    void RequestLine(std::string_view line);
    void FieldLine(std::string_view line);
    void NoteField(std::string_view name, std::string_view value);
    void FinishHead();
    void ChunkSizeLine(std::string_view line);
    void TrailerLine(std::string_view line);
    void TakeData(const char* data, size_t len, size_t* pos, std::string* body);
    void Fail(int status);

    const uint64_t maxBodyBytes_;
    HttpRequest request_;
    Phase phase_ = Phase::kRequestLine;
    bool headDone_ = false;
    int errorStatus_ = 0;
    size_t scanned_ = 0;       // bytes of the open line already searched for its LF
    size_t sectionBytes_ = 0;  // of the field section, then of the trailer section
    size_t fields_ = 0;
    int hostFields_ = 0;
    int transferFields_ = 0;
    bool transferChunked_ = false;
    bool hasContentLength_ = false;
    bool connectionClose_ = false;
    bool connectionKeepAlive_ = false;
    bool connectionUpgrade_ = false;
    bool upgrade_ = false;
    bool expects100_ = false;
    bool expectsOther_ = false;
    uint64_t left_ = 0;  // body bytes still to come: of the Content-Length, or of the chunk
    uint64_t bodyBytes_ = 0;
};
