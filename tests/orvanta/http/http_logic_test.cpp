// The HTTP protocol's pure logic: request parsing, target decoding, validators, content
// codings, dates, ranges and media types.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <tuple>

#include "orvanta/http/byte_range.h"
#include "orvanta/http/content_coding.h"
#include "orvanta/http/http_date.h"
#include "orvanta/http/http_request.h"
#include "orvanta/http/http_response.h"
#include "orvanta/http/http_target.h"
#include "orvanta/http/http_validators.h"
#include "orvanta/http/mime_types.h"

namespace {

ParseResult FeedAll(RequestParser& p, const std::string& data, size_t* consumed) {
    return p.Feed(data.data(), data.size(), consumed);
}

// How requests are framed (statuses, bodies, the connection's fate) is the framing table's
// (tests/framing); here, what the parser keeps of a request for the server.
TEST(RequestParserTest, CompleteRequestWithFields) {
    RequestParser p;
    std::string req =
        "GET /a%20b?x=1 HTTP/1.1\r\nHost: h\r\nIf-Modified-Since:  Thu, 01 Jan 1970 00:00:00 GMT \r\n"
        "RANGE: bytes=0-9\r\nIf-Match: \"a\"\r\nif-match: \"b\"\r\nIf-Unmodified-Since: x\r\n\r\n";
    size_t used;
    ASSERT_EQ(FeedAll(p, req, &used), ParseResult::kHead);
    EXPECT_EQ(used, req.size());
    const HttpRequest& r = p.request();
    EXPECT_TRUE(r.IsGet());
    EXPECT_EQ(r.target, "/a%20b?x=1");
    EXPECT_TRUE(r.keepAlive);
    EXPECT_EQ(r.ifModifiedSince, "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(r.range, "bytes=0-9");
    EXPECT_EQ(r.ifMatch, "\"a\", \"b\"");
    EXPECT_TRUE(r.hasIfUnmodifiedSince);
    EXPECT_EQ(r.RequestLine(), "GET /a%20b?x=1 HTTP/1.1");
    // Two Range fields: neither is honoured, as with several ranges in one.
    RequestParser twice;
    ASSERT_EQ(
        FeedAll(twice, "GET / HTTP/1.1\r\nHost: h\r\nRange: bytes=0-1\r\nRange: bytes=2-3\r\n\r\n", &used),
        ParseResult::kHead);
    EXPECT_EQ(ParseRange(twice.request().range, 10).kind, RangeKind::kNone) << twice.request().range;
}

// A parser reused for the next request on a connection starts from nothing: whatever the last
// request set, the next one, which sets nothing, reads as it would from a fresh parser.
TEST(RequestParserTest, ResetForgetsEverythingTheLastRequestSet) {
    RequestParser p;
    std::string full =
        "POST http://x/a?b HTTP/1.0\r\nConnection: keep-alive\r\nExpect: 100-continue\r\n"
        "Content-Length: 2\r\nIf-Modified-Since: a\r\nIf-Unmodified-Since: b\r\nIf-Match: c\r\n"
        "If-None-Match: d\r\nIf-Range: e\r\nRange: f\r\nAccept-Encoding: g\r\n\r\nhi";
    size_t used;
    ASSERT_EQ(FeedAll(p, full, &used), ParseResult::kHead);
    ASSERT_EQ(p.Feed(full.data() + used, full.size() - used, &used), ParseResult::kComplete);
    p.Reset();
    EXPECT_TRUE(p.request().method.empty());
    EXPECT_EQ(p.request().RequestLine(), "");
    std::string bare = "GET /x HTTP/1.1\r\nHost: h\r\n\r\n";
    ASSERT_EQ(FeedAll(p, bare, &used), ParseResult::kHead);
    RequestParser fresh;
    ASSERT_EQ(FeedAll(fresh, bare, &used), ParseResult::kHead);
    const HttpRequest& a = p.request();
    const HttpRequest& b = fresh.request();
    EXPECT_EQ(a.RequestLine(), b.RequestLine());
    EXPECT_EQ(std::tie(a.keepAlive, a.expectsContinue, a.chunked, a.contentLength, a.hasIfModifiedSince,
                       a.hasIfUnmodifiedSince, a.hasIfMatch, a.hasIfNoneMatch, a.hasIfRange, a.hasRange),
              std::tie(b.keepAlive, b.expectsContinue, b.chunked, b.contentLength, b.hasIfModifiedSince,
                       b.hasIfUnmodifiedSince, b.hasIfMatch, b.hasIfNoneMatch, b.hasIfRange, b.hasRange));
    EXPECT_EQ(std::tie(a.ifModifiedSince, a.ifUnmodifiedSince, a.ifMatch, a.ifNoneMatch, a.ifRange, a.range,
                       a.acceptEncoding),
              std::tie(b.ifModifiedSince, b.ifUnmodifiedSince, b.ifMatch, b.ifNoneMatch, b.ifRange, b.range,
                       b.acceptEncoding));
}

TEST(RequestParserTest, RefusedRequestKeepsTheLineAsFarAsItWasRead) {
    std::string longTarget = "/" + std::string(kMaxTargetBytes + 100, 'a');
    struct Case {
        std::string request;
        std::string line;
    } cases[] = {
        {"GET " + longTarget + " HTTP/1.1\r\nHost: x\r\n\r\n",
         "GET " + longTarget.substr(0, kMaxTargetBytes)},
        {"GET /x HTTP/1.1\r\nHost: x\r\nX: " + std::string(kMaxHeaderBytes, 'v') + "\r\n\r\n",
         "GET /x HTTP/1.1"},
        {"HEAD /y HTTP/1.1 x\r\n\r\n", "HEAD /y"},
        {"GARBAGE\r\n\r\n", ""},
    };
    for (const Case& c : cases) {
        RequestParser p;
        size_t used;
        ASSERT_EQ(FeedAll(p, c.request, &used), ParseResult::kError) << c.line;
        EXPECT_EQ(p.request().RequestLine(), c.line);
    }
}

TEST(PercentDecodeTest, DecodesOnceAndRefusesBadEscapes) {
    std::string out;
    EXPECT_TRUE(PercentDecode("/%41b%2fc%252e", &out));
    EXPECT_EQ(out, "/Ab/c%2e");  // decoded once: %25 gives a literal '%'
    EXPECT_FALSE(PercentDecode("/a%00b", &out));
    EXPECT_FALSE(PercentDecode("/a%2", &out));
    EXPECT_FALSE(PercentDecode("/a%zz", &out));
    TargetPath t;
    int status;
    ASSERT_TRUE(SplitAndDecodeTarget("http://example.com/x%20y?q=1#f", &t, &status));
    EXPECT_EQ(t.decoded, "/x y");
    EXPECT_EQ(t.rawQuery, "q=1");
    // The absolute form without a path: the path is "/", and the query is kept.
    ASSERT_TRUE(SplitAndDecodeTarget("http://x?q", &t, &status));
    EXPECT_EQ(t.decoded, "/");
    EXPECT_EQ(t.rawPath, "/");
    EXPECT_EQ(t.rawQuery, "q");
    ASSERT_TRUE(SplitAndDecodeTarget("http://x#f?not-a-query", &t, &status));
    EXPECT_EQ(t.decoded, "/");
    EXPECT_EQ(t.rawQuery, "");
    EXPECT_FALSE(SplitAndDecodeTarget("no-slash", &t, &status));
    EXPECT_EQ(status, 400);
}

TEST(ValidatorsTest, PreconditionsInTheirOrder) {
    struct stat st {};
    st.st_size = 5;
    st.st_mtim.tv_sec = 1000000;
    st.st_mtim.tv_nsec = 17;
    std::string etag = MakeETag(st);
    EXPECT_EQ(etag, "\"f4240.11-5\"");
    st.st_mtim.tv_nsec = 18;
    EXPECT_NE(MakeETag(st), etag) << "a rewrite within the same second must change the tag";
    const time_t mtime = 1000000, now = 2000000;
    const std::string past = FormatHttpDate(mtime + 10), before = FormatHttpDate(mtime - 10);
    struct Case {
        std::string ifNoneMatch;  // "-": no field
        std::string ifModifiedSince;
        bool notModified;
    } cases[] = {
        {etag, "", true},
        {"*", "", true},
        {"\"x\", W/" + etag, "", true},  // lists, weak comparison
        {"\"x\", \"y\"", "", false},
        {"\"x\"", past, false},  // If-None-Match decides; If-Modified-Since is not consulted
        {"-", past, true},
        {"-", before, false},
        {"-", FormatHttpDate(now + 60), false},  // a date from the future is no validator
        {"-", "garbage", false},
    };
    for (const Case& c : cases) {
        HttpRequest r;
        r.hasIfNoneMatch = c.ifNoneMatch != "-";
        if (r.hasIfNoneMatch) r.ifNoneMatch = c.ifNoneMatch;
        r.hasIfModifiedSince = !c.ifModifiedSince.empty();
        r.ifModifiedSince = c.ifModifiedSince;
        EXPECT_EQ(IsNotModified(r, etag, mtime, now), c.notModified)
            << c.ifNoneMatch << " / " << c.ifModifiedSince;
    }
    struct RangeCase {
        std::string ifRange;
        time_t now;
        bool holds;
    } ranges[] = {
        {etag, now, true},
        {"W/" + etag, now, false},  // If-Range compares strongly
        {"\"other\"", now, false},
        {FormatHttpDate(mtime), now, true},
        {FormatHttpDate(mtime), mtime, false},  // modified this second: the date is weak
        {FormatHttpDate(mtime + 1), now, false},
        {"nonsense", now, false},
    };
    for (const RangeCase& c : ranges) {
        HttpRequest r;
        r.hasIfRange = true;
        r.ifRange = c.ifRange;
        EXPECT_EQ(IfRangeHolds(r, etag, mtime, c.now), c.holds) << c.ifRange;
    }
}

TEST(ContentCodingTest, AcceptsGzipWithQValues) {
    struct Case {
        const char* accept;
        bool gzip;
    } cases[] = {
        {"gzip", true},
        {"deflate, GZIP", true},
        {"x-gzip", true},
        {"gzip;q=0", false},
        {"gzip; q=0.000", false},
        {"gzip;q=0.001", true},
        {"*", true},
        {"*;q=0", false},
        {"*, gzip;q=0", false},
        {"br;q=1, *;q=0.5", true},
        {"identity", false},
        {"", false},
        {"gzip;q=2", false},
        {"gzip;q=0.5x", false},
        {"gzip;q=1.0001", false},
    };
    for (const Case& c : cases) EXPECT_EQ(AcceptsGzip(c.accept), c.gzip) << c.accept;
}

// Dates are remembered per thread: more distinct times than it keeps, asked in turn, still
// each give their own text.
TEST(HttpDateTest, RememberedDatesStayTheirOwn) {
    const char* expected[] = {"Sun, 06 Nov 1994 08:49:37 GMT", "Sun, 06 Nov 1994 08:49:38 GMT",
                              "Sun, 06 Nov 1994 08:49:39 GMT", "Sun, 06 Nov 1994 08:49:40 GMT",
                              "Sun, 06 Nov 1994 08:49:41 GMT", "Sun, 06 Nov 1994 08:49:42 GMT"};
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 6; ++i) EXPECT_EQ(FormatHttpDate(784111777 + i), expected[i]);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(FormatHttpDate(784111777 + i % 2), expected[i % 2]);
    }
}

TEST(HttpDateTest, FormatsAndParsesTheThreeForms) {
    EXPECT_EQ(FormatHttpDate(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
    time_t t = 0;
    ASSERT_TRUE(ParseHttpDate("Sun, 06 Nov 1994 08:49:37 GMT", &t));
    EXPECT_EQ(t, 784111777);
    ASSERT_TRUE(ParseHttpDate("Sunday, 06-Nov-94 08:49:37 GMT", &t));
    EXPECT_EQ(t, 784111777);
    ASSERT_TRUE(ParseHttpDate("Sun Nov  6 08:49:37 1994", &t));
    EXPECT_EQ(t, 784111777);
    EXPECT_FALSE(ParseHttpDate("yesterday", &t));
    EXPECT_FALSE(ParseHttpDate("Sun, 06 Nov 1994 08:49:37 GMT trailing", &t));
}

TEST(RangeTest, SingleRangesAgainstTheSize) {
    struct Case {
        const char* value;
        uint64_t size;
        RangeKind kind;
        uint64_t first, length;
    } cases[] = {
        {"bytes=0-0", 10, RangeKind::kSatisfiable, 0, 1},
        {"bytes=2-", 10, RangeKind::kSatisfiable, 2, 8},
        {"bytes=5-100", 10, RangeKind::kSatisfiable, 5, 5},
        {"bytes=-3", 10, RangeKind::kSatisfiable, 7, 3},
        {"bytes=-30", 10, RangeKind::kSatisfiable, 0, 10},
        {"bytes=10-", 10, RangeKind::kUnsatisfiable, 0, 0},
        {"bytes=-0", 10, RangeKind::kUnsatisfiable, 0, 0},
        {"bytes=0-", 0, RangeKind::kUnsatisfiable, 0, 0},
        {"bytes=3-2", 10, RangeKind::kNone, 0, 0},
        {"bytes=0-1,3-4", 10, RangeKind::kNone, 0, 0},
        {"items=0-1", 10, RangeKind::kNone, 0, 0},
        {"bytes=a-1", 10, RangeKind::kNone, 0, 0},
    };
    for (const Case& c : cases) {
        ByteRange r = ParseRange(c.value, c.size);
        EXPECT_EQ(r.kind, c.kind) << c.value;
        if (c.kind == RangeKind::kSatisfiable) {
            EXPECT_EQ(r.first, c.first) << c.value;
            EXPECT_EQ(r.length, c.length) << c.value;
        }
    }
}

// A response names the connection's persistence only where it is not the version's default.
TEST(ResponseTest, ConnectionFieldOnlyWhereNotTheDefault) {
    const struct {
        int versionMinor;
        bool keepAlive;
        const char* field;  // null: none
    } rows[] = {
        {1, true, nullptr},
        {1, false, "Connection: close\r\n"},
        {0, true, "Connection: keep-alive\r\n"},
        {0, false, "Connection: close\r\n"},
    };
    for (const auto& row : rows) {
        HttpRequest request;
        request.versionMinor = row.versionMinor;
        request.keepAlive = row.keepAlive;
        // Twice: the second comes from the thread's lines made last.
        for (int pass = 0; pass < 2; pass++) {
            std::string h = CommonHeaders(200, 784111777, PersistenceOf(request));
            SCOPED_TRACE(h);
            EXPECT_EQ(
                h.rfind("HTTP/1.1 200 OK\r\nServer: vrns\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\n", 0), 0u);
            size_t at = h.find("Connection:");
            if (row.field == nullptr) {
                EXPECT_EQ(at, std::string::npos);
            } else {
                EXPECT_EQ(h.substr(at), row.field);
            }
            ResponsePlan plan = GeneratedResponse(404, PersistenceOf(request), false, 784111777);
            EXPECT_EQ(plan.keepAlive, row.keepAlive);
        }
    }
}

TEST(MimeTypesTest, LooksUpByExtension) {
    MimeTypes mime;
    mime.AddTable("# comment\ntext/html\t\thtml htm\nimage/png png # trailing\ntext/x-dup html\n");
    EXPECT_EQ(mime.Lookup("a/b/INDEX.HTML"), "text/html");
    EXPECT_EQ(mime.Lookup("x.png"), "image/png");
    EXPECT_EQ(mime.Lookup("noext"), "application/octet-stream");
    EXPECT_EQ(mime.Lookup("dir.d/file"), "application/octet-stream");
    EXPECT_EQ(mime.Lookup("trailing."), "application/octet-stream");
    MimeTypes system;
    ASSERT_TRUE(system.Load("/etc/mime.types"));  // Debian's media-types is a build dependency
    EXPECT_EQ(system.Lookup("style.css"), "text/css");
}

}  // namespace
