#include "orvanta/http/http_request.h"

#include <string.h>

#include <algorithm>
#include <array>
#include <iterator>

#include "orvanta/http/http_chars.h"
#include "orvanta/http/http_text.h"

namespace {

using http_chars::SpanOf;

constexpr std::string_view kVersionPrefix = "HTTP/";
constexpr size_t kVersionBytes = 8;  // "HTTP/1.1"

// The known methods grouped by length, so that a method costs the compares of its few
// namesakes in length, most of them decided by the first byte.
constexpr size_t kMethodSlots = 12;  // the most methods of one length (six bytes: nine)
struct MethodIndex {
    std::array<std::array<uint8_t, kMethodSlots>, kLongestMethod + 1> of{};
    std::array<uint8_t, kLongestMethod + 1> count{};
};

constexpr MethodIndex MakeMethodIndex() {
    MethodIndex index;
    for (size_t i = 0; i < std::size(kMethods); ++i) {
        size_t n = kMethods[i].size();
        if (index.count[n] == kMethodSlots) throw "kMethodSlots is too small";
        index.of[n][index.count[n]++] = uint8_t(i);
    }
    return index;
}

constexpr MethodIndex kMethodIndex = MakeMethodIndex();

std::string_view KnownMethod(std::string_view name) {
    size_t n = name.size();
    if (n == 0 || n > kLongestMethod) return {};
    for (size_t i = 0; i < kMethodIndex.count[n]; ++i) {
        std::string_view m = kMethods[kMethodIndex.of[n][i]];
        if (m[0] == name[0] && memcmp(m.data() + 1, name.data() + 1, n - 1) == 0) return m;
    }
    return {};
}

bool IsDigit(char c) {
    return http_chars::IsDigitByte(static_cast<unsigned char>(c));
}

int HexValue(char c) {
    if (IsDigit(c)) return c - '0';
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') return (c | 0x20) - 'a' + 10;
    return -1;
}

// The fields the parser acts on. The kept ones the server reads later: a list field's values
// joined with ", ", of another the last one.
enum class Field {
    kContentLength,
    kTransferEncoding,
    kHost,
    kConnection,
    kUpgrade,
    kExpect,
    kKept,
};

struct KnownField {
    std::string_view name;  // lower case
    Field field;
    bool HttpRequest::*present = nullptr;  // kKept: null when presence is not noted
    std::string HttpRequest::*value = nullptr;
    bool list = false;
};

constexpr KnownField kKnownFields[] = {
    {"content-length", Field::kContentLength},
    {"transfer-encoding", Field::kTransferEncoding},
    {"host", Field::kHost},
    {"connection", Field::kConnection},
    {"upgrade", Field::kUpgrade},
    {"expect", Field::kExpect},
    {"if-modified-since", Field::kKept, &HttpRequest::hasIfModifiedSince, &HttpRequest::ifModifiedSince},
    {"if-unmodified-since", Field::kKept, &HttpRequest::hasIfUnmodifiedSince,
     &HttpRequest::ifUnmodifiedSince},
    {"if-match", Field::kKept, &HttpRequest::hasIfMatch, &HttpRequest::ifMatch, true},
    {"if-none-match", Field::kKept, &HttpRequest::hasIfNoneMatch, &HttpRequest::ifNoneMatch, true},
    {"if-range", Field::kKept, &HttpRequest::hasIfRange, &HttpRequest::ifRange},
    {"range", Field::kKept, &HttpRequest::hasRange, &HttpRequest::range, true},
    {"accept-encoding", Field::kKept, nullptr, &HttpRequest::acceptEncoding, true},
};

// name (a token) in any case equals lower (letters and '-'): folding a token's byte with 0x20
// maps only the upper-case letters onto the lower-case ones.
bool EqualsLowerToken(std::string_view name, std::string_view lower) {
    for (size_t i = 0; i < name.size(); ++i)
        if ((name[i] | 0x20) != lower[i]) return false;
    return true;
}

// The known field of that name, matched by its length and first byte before its other bytes;
// null for any other field.
const KnownField* FindField(std::string_view name) {
    char first = char(name[0] | 0x20);
    for (const KnownField& f : kKnownFields)
        if (f.name.size() == name.size() && f.name[0] == first && EqualsLowerToken(name, f.name)) return &f;
    return nullptr;
}

// The strings of a request, which a parser reused for the next request keeps the memory of.
constexpr std::string HttpRequest::*kRequestStrings[] = {
    &HttpRequest::target,  &HttpRequest::ifModifiedSince, &HttpRequest::ifUnmodifiedSince,
    &HttpRequest::ifMatch, &HttpRequest::ifNoneMatch,     &HttpRequest::ifRange,
    &HttpRequest::range,   &HttpRequest::acceptEncoding,
};

// "name:value" split at its colon in one pass over the name; false when the name is empty or
// holds a byte that is no token byte (a leading space, a fold), or the colon is missing.
bool SplitField(std::string_view line, std::string_view* name, std::string_view* value) {
    size_t colon = SpanOf(line, http_chars::kToken);
    if (colon == 0 || colon == line.size() || line[colon] != ':') return false;
    *name = line.substr(0, colon);
    *value = line.substr(colon + 1);
    return true;
}

// origin form "/...", "*" (OPTIONS only) or absolute form "scheme://...", its bytes already
// known to be neither whitespace nor control characters.
bool ValidTargetForm(std::string_view target, std::string_view method) {
    if (target[0] == '/') return true;
    if (target == "*") return method == "OPTIONS";
    if (!http_chars::IsAlphaByte(static_cast<unsigned char>(target[0]))) return false;
    size_t i = 1 + SpanOf(target.substr(1), http_chars::kScheme);
    return target.substr(i, 3) == "://";
}

// Repeated list fields mean the same as one field with the values joined by commas.
void AppendListField(std::string* field, std::string_view value) {
    if (!field->empty() && !value.empty()) *field += ", ";
    field->append(value);
}

// The line's content: without its CR, if one ends it.
std::string_view WithoutCr(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

}  // namespace

std::string HttpRequest::RequestLine() const {
    if (method.empty()) return {};
    std::string line(method);
    line += ' ';
    line += target;
    if (versionRead) line += " HTTP/" + std::to_string(versionMajor) + "." + std::to_string(versionMinor);
    return line;
}

RequestParser::RequestParser(uint64_t maxBodyBytes) : maxBodyBytes_(maxBodyBytes) {}

void RequestParser::Reset() {
    std::string kept[std::size(kRequestStrings)];
    for (size_t i = 0; i < std::size(kRequestStrings); ++i) {
        kept[i] = std::move(request_.*kRequestStrings[i]);
        kept[i].clear();
    }
    request_ = HttpRequest();
    for (size_t i = 0; i < std::size(kRequestStrings); ++i) request_.*kRequestStrings[i] = std::move(kept[i]);
    phase_ = Phase::kRequestLine;
    headDone_ = false;
    errorStatus_ = 0;
    scanned_ = sectionBytes_ = fields_ = 0;
    hostFields_ = transferFields_ = 0;
    transferChunked_ = hasContentLength_ = false;
    connectionClose_ = connectionKeepAlive_ = connectionUpgrade_ = upgrade_ = false;
    expects100_ = expectsOther_ = false;
    left_ = bodyBytes_ = 0;
}

void RequestParser::Fail(int status) {
    errorStatus_ = status;
    phase_ = Phase::kError;
}

ParseResult RequestParser::Feed(const char* data, size_t len, size_t* consumed, std::string* body) {
    size_t pos = 0;
    ParseResult r = Step(data, len, &pos, body);
    *consumed = pos;
    return r;
}

// Moves through the phases until one needs more bytes or the head or the body is complete.
ParseResult RequestParser::Step(const char* data, size_t len, size_t* pos, std::string* body) {
    std::string_view line;
    for (;;) {
        switch (phase_) {
            case Phase::kRequestLine:
            case Phase::kFields:
            case Phase::kChunkSize:
            case Phase::kTrailers: {
                if (!NextLine(data, len, pos, &line))
                    return phase_ == Phase::kError ? ParseResult::kError : ParseResult::kNeedMore;
                bool inHead = !headDone_;
                TakeLine(line);
                if (inHead && headDone_) return ParseResult::kHead;
                break;
            }
            case Phase::kLengthBody:
            case Phase::kChunkData:
                TakeData(data, len, pos, body);
                if (left_ > 0) return ParseResult::kNeedMore;
                phase_ = phase_ == Phase::kLengthBody ? Phase::kComplete : Phase::kChunkDataEnd;
                break;
            case Phase::kChunkDataEnd:
                // Exactly CRLF after a chunk's data; any other byte there is refused at once.
                if (*pos < len && data[*pos] != '\r') Fail(400);
                if (*pos + 1 < len && data[*pos + 1] != '\n') Fail(400);
                if (phase_ == Phase::kError) return ParseResult::kError;
                if (*pos + 2 > len) return ParseResult::kNeedMore;
                *pos += 2;
                phase_ = Phase::kChunkSize;
                break;
            case Phase::kComplete:
                return ParseResult::kComplete;
            case Phase::kError:
                return ParseResult::kError;
        }
    }
}

void RequestParser::TakeLine(std::string_view line) {
    switch (phase_) {
        case Phase::kRequestLine:
            return RequestLine(line);
        case Phase::kFields:
            return FieldLine(line);
        case Phase::kChunkSize:
            return ChunkSizeLine(line);
        default:
            return TrailerLine(line);
    }
}

// The next whole line (its LF left out) at *pos, which then moves past it. Without one the open
// line is checked against its limits and false returned (the phase is kError when it is over).
bool RequestParser::NextLine(const char* data, size_t len, size_t* pos, std::string_view* line) {
    size_t open = len - *pos;
    const char* start = data + *pos;
    const void* lf = open > scanned_ ? memchr(start + scanned_, '\n', open - scanned_) : nullptr;
    if (!lf) {
        scanned_ = open;
        CheckOpenLine(std::string_view(start, open));
        return false;
    }
    size_t length = size_t(static_cast<const char*>(lf) - start);
    *line = std::string_view(start, length);
    *pos += length + 1;
    scanned_ = 0;
    return true;
}

// An open line is refused only where every ending of it would be refused with the same status:
// its LF still to come counts.
void RequestParser::CheckOpenLine(std::string_view open) {
    switch (phase_) {
        case Phase::kRequestLine:
            CheckOpenRequestLine(open);
            break;
        case Phase::kFields:
            if (sectionBytes_ + open.size() + 1 > kMaxHeaderBytes) Fail(431);
            break;
        case Phase::kChunkSize:
            if (open.size() + 1 > kMaxChunkLineBytes) Fail(400);
            break;
        case Phase::kTrailers:
            if (sectionBytes_ + open.size() + 1 > kMaxHeaderBytes) Fail(431);
            break;
        default:
            break;
    }
}

// The request line's parts are each bounded: a method no longer than the longest known one, a
// target within its limit, then "HTTP/d.d" and perhaps a CR.
void RequestParser::CheckOpenRequestLine(std::string_view open) {
    size_t sp1 = open.find(' ');
    if (sp1 == std::string_view::npos) {
        if (open.size() > kLongestMethod) Fail(400);
        return;
    }
    request_.method = KnownMethod(open.substr(0, sp1));
    if (request_.method.empty()) {
        Fail(400);
        return;
    }
    size_t sp2 = open.find(' ', sp1 + 1);
    size_t end = sp2 == std::string_view::npos ? open.size() : sp2;
    if (sp2 == std::string_view::npos && end > sp1 + 1 && open[end - 1] == '\r') --end;  // may end the line
    size_t target = end - sp1 - 1;
    if (target > kMaxTargetBytes) {
        request_.target.assign(open.substr(sp1 + 1, kMaxTargetBytes));
        Fail(414);
    } else if (sp2 != std::string_view::npos && open.size() - sp2 - 1 > kVersionBytes + 1) {
        Fail(400);
    }
}

// "METHOD SP target SP HTTP/d.d"; empty lines before it are skipped. The target is read in
// one pass that stops at its space; only a refused target is searched further, for its length.
void RequestParser::RequestLine(std::string_view line) {
    line = WithoutCr(line);
    if (line.empty()) return;
    size_t sp1 = line.substr(0, kLongestMethod + 1).find(' ');
    if (sp1 == std::string_view::npos) return Fail(400);
    request_.method = KnownMethod(line.substr(0, sp1));
    if (request_.method.empty()) return Fail(400);
    std::string_view rest = line.substr(sp1 + 1);
    size_t sp2 = SpanOf(rest, http_chars::kTarget);
    bool clean = sp2 < rest.size() && rest[sp2] == ' ';
    if (!clean) sp2 = rest.find(' ', sp2);
    std::string_view target = rest.substr(0, sp2);
    if (target.size() > kMaxTargetBytes) {
        request_.target.assign(target.substr(0, kMaxTargetBytes));
        return Fail(414);
    }
    request_.target.assign(target);
    if (!clean || target.empty() || !ValidTargetForm(target, request_.method)) return Fail(400);
    std::string_view version = rest.substr(sp2 + 1);
    if (version.size() != kVersionBytes || version.substr(0, kVersionPrefix.size()) != kVersionPrefix ||
        !IsDigit(version[5]) || version[6] != '.' || !IsDigit(version[7]))
        return Fail(400);
    request_.versionMajor = version[5] - '0';
    request_.versionMinor = version[7] - '0';
    request_.versionRead = true;
    if (request_.versionMajor != 1) return Fail(505);
    phase_ = Phase::kFields;
}

// "name: value", or the blank line that ends the head. The section's bytes are counted before
// anything else, as the open line is.
void RequestParser::FieldLine(std::string_view line) {
    sectionBytes_ += line.size() + 1;
    if (sectionBytes_ > kMaxHeaderBytes) return Fail(431);
    line = WithoutCr(line);
    if (line.empty()) return FinishHead();
    if (fields_ == kMaxHeaderFields) return Fail(431);
    ++fields_;
    // A line that begins with whitespace continues the one before (obs-fold), or hides a field
    // from whoever does not fold: two readings. It fails as a name.
    std::string_view name, value;
    if (!SplitField(line, &name, &value) || !http_chars::AllText(value)) return Fail(400);
    NoteField(name, TrimSpaces(value));
}

// The fields that frame the request or decide the connection's fate, and those kept.
void RequestParser::NoteField(std::string_view name, std::string_view value) {
    const KnownField* f = FindField(name);
    if (!f) return;
    HttpRequest& r = request_;
    switch (f->field) {
        case Field::kContentLength:
            // One field of at most 18 digits: "5, 5", a sign, a second field or a number that
            // could overflow are refused.
            if (hasContentLength_ || value.empty() || value.size() > kMaxContentLengthDigits ||
                !std::all_of(value.begin(), value.end(), IsDigit))
                return Fail(400);
            hasContentLength_ = true;
            for (char c : value) r.contentLength = r.contentLength * 10 + uint64_t(c - '0');
            break;
        case Field::kTransferEncoding:
            ++transferFields_;
            transferChunked_ = EqualsNoCase(value, "chunked");
            break;
        case Field::kHost:
            ++hostFields_;
            if (SpanOf(value, http_chars::kHost) != value.size()) return Fail(400);
            break;
        case Field::kConnection:
            ForEachListItem(value, [&](std::string_view token) {
                connectionClose_ |= EqualsNoCase(token, "close");
                connectionKeepAlive_ |= EqualsNoCase(token, "keep-alive");
                connectionUpgrade_ |= EqualsNoCase(token, "upgrade");
            });
            break;
        case Field::kUpgrade:
            upgrade_ = true;
            break;
        case Field::kExpect:
            (EqualsNoCase(value, "100-continue") ? expects100_ : expectsOther_) = true;
            break;
        case Field::kKept:
            if (f->present) r.*f->present = true;
            if (f->list)
                AppendListField(&(r.*f->value), value);
            else
                (r.*f->value).assign(value);
            break;
    }
}

// The framing decision, in one place and in this order.
void RequestParser::FinishHead() {
    HttpRequest& r = request_;
    bool http10 = r.versionMinor == 0;
    // HTTP/1.0 knows no transfer coding: its framing is faulty whatever else it says.
    if (http10 && transferFields_ > 0) return Fail(400);
    // Only one coding is understood, "chunked" in one field; any other leaves the length unknown.
    if (transferFields_ > 0 && (transferFields_ > 1 || !transferChunked_)) return Fail(501);
    if (transferFields_ > 0 && hasContentLength_) return Fail(400);
    // HTTP/1.1 requires exactly one Host field; more than one is never valid.
    if (hostFields_ > 1 || (!http10 && hostFields_ == 0)) return Fail(400);
    // An expectation means nothing to an HTTP/1.0 client.
    if (!http10 && expectsOther_) return Fail(417);
    r.chunked = transferFields_ > 0;
    if (!r.chunked && r.contentLength > maxBodyBytes_) return Fail(413);
    r.keepAlive = !connectionClose_ && (!http10 || connectionKeepAlive_);
    // After an upgrade or a tunnel the bytes are no longer HTTP/1.1.
    if ((upgrade_ && connectionUpgrade_) || r.method == "CONNECT") r.keepAlive = false;
    r.expectsContinue = !http10 && expects100_ && (r.chunked || r.contentLength > 0);
    left_ = r.contentLength;
    phase_ = r.chunked ? Phase::kChunkSize : left_ > 0 ? Phase::kLengthBody : Phase::kComplete;
    sectionBytes_ = 0;
    headDone_ = true;
}

// chunk-size [ws] [";" extensions] CRLF: 1 to 15 hex digits; the extensions are dropped, but
// must hold no control character.
void RequestParser::ChunkSizeLine(std::string_view line) {
    if (line.size() + 1 > kMaxChunkLineBytes) return Fail(400);
    if (line.empty() || line.back() != '\r') return Fail(400);  // a bare LF
    line.remove_suffix(1);
    uint64_t size = 0;
    size_t i = 0;
    for (int digit; i < line.size() && (digit = HexValue(line[i])) >= 0; ++i) {
        if (i == kMaxChunkSizeDigits) return Fail(400);
        size = size * 16 + uint64_t(digit);
    }
    if (i == 0) return Fail(400);
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i < line.size() && (line[i] != ';' || !http_chars::AllText(line.substr(i)))) return Fail(400);
    if (size == 0) {
        phase_ = Phase::kTrailers;
        return;
    }
    if (bodyBytes_ + size > maxBodyBytes_) return Fail(413);
    left_ = size;
    phase_ = Phase::kChunkData;
}

// Trailer fields are read and dropped, but must be fields: "name: value" with CRLF.
void RequestParser::TrailerLine(std::string_view line) {
    sectionBytes_ += line.size() + 1;
    if (sectionBytes_ > kMaxHeaderBytes) return Fail(431);
    if (line.empty() || line.back() != '\r') return Fail(400);
    line.remove_suffix(1);
    if (line.empty()) {
        phase_ = Phase::kComplete;
        return;
    }
    std::string_view name, value;
    if (!SplitField(line, &name, &value) || !http_chars::AllText(value)) Fail(400);
}

void RequestParser::TakeData(const char* data, size_t len, size_t* pos, std::string* body) {
    size_t n = size_t(std::min<uint64_t>(left_, len - *pos));
    if (body) body->append(data + *pos, n);
    *pos += n;
    left_ -= n;
    bodyBytes_ += n;
}
