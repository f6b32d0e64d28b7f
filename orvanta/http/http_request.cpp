#include "orvanta/http/http_request.h"

#include <limits.h>
#include <strings.h>

#include <algorithm>

namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view Trim(std::string_view s) {
    size_t start = s.find_first_not_of(" \t");
    if (start == std::string_view::npos) return {};
    size_t end = s.find_last_not_of(" \t");
    return s.substr(start, end - start + 1);
}

// Repeated list fields mean the same as one field with the values joined by commas.
void AppendListField(std::string* field, std::string_view value) {
    if (!field->empty() && !value.empty()) *field += ", ";
    field->append(value);
}

RequestParser* Self(http_parser* p) {
    return static_cast<RequestParser*>(p->data);
}

}  // namespace

std::string HttpRequest::RequestLine() const {
    if (method < 0) return {};
    std::string line = http_method_str(static_cast<http_method>(method));
    line += ' ';
    line += target;
    if (versionRead) line += " HTTP/" + std::to_string(versionMajor) + "." + std::to_string(versionMinor);
    return line;
}

const http_parser_settings RequestParser::kSettings = [] {
    http_parser_settings s;
    http_parser_settings_init(&s);
    s.on_url = OnUrl;
    s.on_header_field = OnHeaderField;
    s.on_header_value = OnHeaderValue;
    s.on_headers_complete = OnHeadersComplete;
    s.on_message_complete = OnMessageComplete;
    return s;
}();

RequestParser::RequestParser() {
    Reset();
}

void RequestParser::Reset() {
    http_parser_init(&parser_, HTTP_REQUEST);
    parser_.data = this;
    request_ = HttpRequest();
    field_.clear();
    value_.clear();
    inValue_ = false;
    complete_ = false;
    awaitingContinue_ = false;
    started_ = false;
    headerBytes_ = 0;
    hostFields_ = 0;
    errorStatus_ = 0;
}

ParseResult RequestParser::Feed(const char* data, size_t len, size_t* consumed) {
    *consumed = 0;
    if (errorStatus_ != 0) return ParseResult::kError;
    if (complete_) return ParseResult::kComplete;
    if (awaitingContinue_) return ParseResult::kExpectsContinue;
    if (len == 0) return ParseResult::kNeedMore;  // http_parser takes an empty buffer for the end of input
    *consumed = http_parser_execute(&parser_, &kSettings, data, len);
    started_ = started_ || *consumed > 0;
    http_errno err = HTTP_PARSER_ERRNO(&parser_);
    if (complete_) {
        // The pause that stopped the parser after the request is no error.
        if (err == HPE_PAUSED) http_parser_pause(&parser_, 0);
        return ParseResult::kComplete;
    }
    if (awaitingContinue_ && err == HPE_PAUSED) return ParseResult::kExpectsContinue;
    if (err != HPE_OK) {
        if (errorStatus_ == 0) errorStatus_ = StatusForParserError(err);
        return ParseResult::kError;
    }
    return ParseResult::kNeedMore;
}

void RequestParser::ContinueBody() {
    if (!awaitingContinue_) return;
    awaitingContinue_ = false;
    http_parser_pause(&parser_, 0);
}

int RequestParser::StatusForParserError(http_errno err) const {
    switch (err) {
        case HPE_HEADER_OVERFLOW:
            return 431;
        case HPE_INVALID_TRANSFER_ENCODING:
            return 501;
        default:
            // http_parser refuses some transfer codings itself; report those as unsupported.
            if (!request_.transferEncoding.empty() && !EqualsNoCase(request_.transferEncoding, "chunked"))
                return 501;
            return 400;
    }
}

// The method is known once the target starts. A target that is too long is kept up to the
// limit, so the refusal can be logged with what was asked.
int RequestParser::OnUrl(http_parser* p, const char* at, size_t len) {
    HttpRequest& r = Self(p)->request_;
    r.method = p->method;
    size_t room = kMaxTargetBytes - r.target.size();
    r.target.append(at, std::min(len, room));
    if (len <= room) return 0;
    Self(p)->errorStatus_ = 414;
    return -1;
}

void RequestParser::NoteVersion() {
    request_.versionMajor = parser_.http_major;
    request_.versionMinor = parser_.http_minor;
    request_.versionRead = true;
}

// Name and value bytes plus ": " and CRLF per field count towards the limit.
bool RequestParser::CountHeaderBytes(size_t len) {
    headerBytes_ += len;
    if (headerBytes_ <= kMaxHeaderBytes) return true;
    errorStatus_ = 431;
    return false;
}

int RequestParser::OnHeaderField(http_parser* p, const char* at, size_t len) {
    RequestParser* self = Self(p);
    if (!self->request_.versionRead) self->NoteVersion();  // the request line has ended
    // http_parser lets spaces end a field name and still reads "Content-Length :" for framing,
    // while "Host :" would not be taken as Host: two readings of one request, which is what
    // request smuggling feeds on. A field name never holds whitespace.
    if (std::string_view(at, len).find_first_of(" \t") != std::string_view::npos) {
        self->errorStatus_ = 400;
        return -1;
    }
    if (self->inValue_) {
        self->FinishHeader();
        self->inValue_ = false;
    }
    if (self->field_.empty() && !self->CountHeaderBytes(4)) return -1;
    if (!self->CountHeaderBytes(len)) return -1;
    self->field_.append(at, len);
    return 0;
}

int RequestParser::OnHeaderValue(http_parser* p, const char* at, size_t len) {
    RequestParser* self = Self(p);
    self->inValue_ = true;
    if (!self->CountHeaderBytes(len)) return -1;
    self->value_.append(at, len);
    return 0;
}

// Keeps the fields the server acts on; http_parser itself reads Connection, Content-Length and
// Transfer-Encoding for framing.
void RequestParser::FinishHeader() {
    std::string_view value = Trim(value_);
    if (EqualsNoCase(field_, "if-modified-since")) {
        request_.hasIfModifiedSince = true;
        request_.ifModifiedSince.assign(value);
    } else if (EqualsNoCase(field_, "range")) {
        AppendListField(&request_.range, value);
        request_.hasRange = true;
    } else if (EqualsNoCase(field_, "if-none-match")) {
        AppendListField(&request_.ifNoneMatch, value);
        request_.hasIfNoneMatch = true;
    } else if (EqualsNoCase(field_, "if-range")) {
        request_.hasIfRange = true;
        request_.ifRange.assign(value);
    } else if (EqualsNoCase(field_, "accept-encoding")) {
        AppendListField(&request_.acceptEncoding, value);
    } else if (EqualsNoCase(field_, "expect")) {
        request_.expectsContinue = EqualsNoCase(value, "100-continue");
    } else if (EqualsNoCase(field_, "host")) {
        ++hostFields_;
    } else if (EqualsNoCase(field_, "transfer-encoding")) {
        if (!request_.transferEncoding.empty()) request_.transferEncoding += ", ";
        request_.transferEncoding.append(value);
    }
    field_.clear();
    value_.clear();
}

int RequestParser::OnHeadersComplete(http_parser* p) {
    RequestParser* self = Self(p);
    if (self->inValue_ || !self->field_.empty()) self->FinishHeader();
    self->inValue_ = false;
    HttpRequest& r = self->request_;
    r.method = p->method;
    self->NoteVersion();
    if (r.versionMajor != 1) {
        self->errorStatus_ = 505;
        return -1;
    }
    // HTTP/1.1 requires exactly one Host field; more than one is never valid.
    if (self->hostFields_ > 1 || (r.versionMinor >= 1 && self->hostFields_ == 0)) {
        self->errorStatus_ = 400;
        return -1;
    }
    // Only chunked is understood; any other coding leaves the body's length unknown.
    if (!r.transferEncoding.empty() && !EqualsNoCase(r.transferEncoding, "chunked")) {
        self->errorStatus_ = 501;
        return -1;
    }
    // An HTTP/1.0 client cannot know 100 Continue, and without a body there is nothing to wait for.
    bool body = (p->flags & F_CHUNKED) || (p->content_length > 0 && p->content_length != ULLONG_MAX);
    r.expectsContinue = r.expectsContinue && r.versionMinor >= 1 && body;
    if (r.expectsContinue) {
        // Stop here: whether the body is wanted is the caller's to say before it is read.
        r.keepAlive = http_should_keep_alive(p) != 0;
        self->awaitingContinue_ = true;
        http_parser_pause(p, 1);
    }
    return 0;
}

int RequestParser::OnMessageComplete(http_parser* p) {
    RequestParser* self = Self(p);
    self->request_.keepAlive = http_should_keep_alive(p) != 0 && !p->upgrade;
    self->complete_ = true;
    // Stop here: the bytes after this request are the next request's.
    http_parser_pause(p, 1);
    return 0;
}
