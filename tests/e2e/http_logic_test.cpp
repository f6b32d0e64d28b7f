// The HTTP server's pure logic: request parsing, target resolution beneath the root, response
// headers, dates, ranges, media types, the access-log line and the command line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <http_parser.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "orvanta/autoindex.h"
#include "orvanta/content_coding.h"
#include "orvanta/http_request.h"
#include "orvanta/http_resolve.h"
#include "orvanta/http_response.h"
#include "orvanta/http_validators.h"
#include "orvanta/line_writer.h"
#include "orvanta/mime_types.h"
#include "orvanta/server_options.h"
#include "tests/emulator.h"
#include "tests/host_double/test_host.h"

namespace {

ParseResult FeedAll(RequestParser& p, const std::string& data, size_t* consumed) {
    return p.Feed(data.data(), data.size(), consumed);
}

int ErrorFor(const std::string& data) {
    RequestParser p;
    size_t used;
    EXPECT_EQ(FeedAll(p, data, &used), ParseResult::kError) << data.substr(0, 60);
    return p.errorStatus();
}

TEST(RequestParserTest, CompleteRequestWithFields) {
    RequestParser p;
    std::string req =
        "GET /a%20b?x=1 HTTP/1.1\r\nHost: h\r\nIf-Modified-Since:  Thu, 01 Jan 1970 00:00:00 GMT \r\n"
        "RANGE: bytes=0-9\r\n\r\n";
    size_t used;
    ASSERT_EQ(FeedAll(p, req, &used), ParseResult::kComplete);
    EXPECT_EQ(used, req.size());
    const HttpRequest& r = p.request();
    EXPECT_EQ(r.method, HTTP_GET);
    EXPECT_EQ(r.target, "/a%20b?x=1");
    EXPECT_TRUE(r.keepAlive);
    EXPECT_EQ(r.ifModifiedSince, "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(r.range, "bytes=0-9");
    EXPECT_EQ(r.RequestLine(), "GET /a%20b?x=1 HTTP/1.1");
}

TEST(RequestParserTest, PipelinedRequestsStopAfterEachOne) {
    std::string first = "GET /1 HTTP/1.1\r\nHost: h\r\n\r\n";
    std::string second = "HEAD /2 HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n";
    std::string both = first + second;
    RequestParser p;
    size_t used;
    ASSERT_EQ(FeedAll(p, both, &used), ParseResult::kComplete);
    EXPECT_EQ(used, first.size());
    EXPECT_EQ(p.request().target, "/1");
    p.Reset();
    ASSERT_EQ(p.Feed(both.data() + used, both.size() - used, &used), ParseResult::kComplete);
    EXPECT_EQ(used, second.size());
    EXPECT_EQ(p.request().method, HTTP_HEAD);
    EXPECT_FALSE(p.request().keepAlive);
}

TEST(RequestParserTest, ByteAtATimeAndSkippedBody) {
    std::string req = "POST /form HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nhelloGET";
    RequestParser p;
    size_t i = 0, used = 0;
    ParseResult r = ParseResult::kNeedMore;
    for (; i < req.size() && r == ParseResult::kNeedMore; ++i) r = p.Feed(&req[i], 1, &used);
    ASSERT_EQ(r, ParseResult::kComplete);
    EXPECT_EQ(i, req.size() - 3);  // the body was consumed, the next request's bytes were not read
    EXPECT_EQ(p.request().method, HTTP_POST);
    EXPECT_EQ(p.Feed(req.data(), 0, &used), ParseResult::kComplete);
}

TEST(RequestParserTest, KeepAliveByVersionAndConnectionHeader) {
    struct Case {
        const char* text;
        bool keepAlive;
    } cases[] = {
        {"GET / HTTP/1.0\r\n\r\n", false},
        {"GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", true},
        {"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", false},
        {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", true},
    };
    for (const Case& c : cases) {
        RequestParser p;
        size_t used;
        ASSERT_EQ(FeedAll(p, c.text, &used), ParseResult::kComplete) << c.text;
        EXPECT_EQ(p.request().keepAlive, c.keepAlive) << c.text;
    }
}

TEST(RequestParserTest, ErrorsMapToStatuses) {
    EXPECT_EQ(ErrorFor("\x01\x02 garbage\r\n\r\n"), 400);
    EXPECT_EQ(ErrorFor("GET / HTTP/1.1\r\nHost: x\r\nBad Header\r\n\r\n"), 400);
    EXPECT_EQ(ErrorFor("GET / HTTP/2.0\r\n\r\n"), 505);
    // Malformed rather than unsupported: an extra token after the version, whitespace before a
    // field's colon (a name the framing and the server would read differently).
    for (const char* malformed :
         {"GET / HTTP/1.1 x\r\nHost: x\r\n\r\n", "GET / HTTP/1.10\r\nHost: x\r\n\r\n",
          "GET / HTTP/1.1\r\nHost : x\r\n\r\n",
          "GET / HTTP/1.1\r\nHost: x\r\nContent-Length : 5\r\n\r\nhello",
          "GET / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding : chunked\r\n\r\n0\r\n\r\n"})
        EXPECT_EQ(ErrorFor(malformed), 400) << malformed;
    EXPECT_EQ(ErrorFor("GET / HTTP/1.1\r\n\r\n"), 400);  // HTTP/1.1 without Host
    EXPECT_EQ(ErrorFor("GET / HTTP/1.0\r\nHost: a\r\nhost: b\r\n\r\n"), 400);
    EXPECT_EQ(ErrorFor("GET /" + std::string(kMaxTargetBytes, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n"), 414);
    EXPECT_EQ(ErrorFor("GET / HTTP/1.1\r\nHost: x\r\nX: " + std::string(kMaxHeaderBytes, 'v') + "\r\n\r\n"),
              431);
    std::string many = "GET / HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < 2000; ++i) many += "X-" + std::to_string(i) + ": v\r\n";
    EXPECT_EQ(ErrorFor(many + "\r\n"), 431);
    EXPECT_EQ(ErrorFor("GET / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n\r\n"), 501);
    EXPECT_EQ(ErrorFor("GET / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip, chunked\r\n\r\n"), 501);
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

TEST(RequestParserTest, ChunkedBodyIsAcceptedAndSkipped) {
    RequestParser p;
    std::string req = "GET / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n";
    size_t used;
    EXPECT_EQ(FeedAll(p, req, &used), ParseResult::kComplete);
    EXPECT_EQ(used, req.size());
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
    EXPECT_FALSE(SplitAndDecodeTarget("no-slash", &t, &status));
    EXPECT_EQ(status, 400);
}

// A served root with a file, a sub-directory with an index, an empty directory, a FIFO and
// symlinks inside and out, beside a secret outside the root.
class ResolveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vrns-resolve-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        base_ = tmpl;
        root_ = base_ + "/root";
        ASSERT_EQ(mkdir(root_.c_str(), 0755), 0);
        Write(base_ + "/secret.txt", "secret");
        Write(root_ + "/hello.txt", "hello");
        ASSERT_EQ(mkdir((root_ + "/sub").c_str(), 0755), 0);
        Write(root_ + "/sub/index.html", "<p>index</p>");
        ASSERT_EQ(mkdir((root_ + "/empty").c_str(), 0755), 0);
        ASSERT_EQ(mkfifo((root_ + "/fifo").c_str(), 0644), 0);
        ASSERT_EQ(symlink("../secret.txt", (root_ + "/out-rel").c_str()), 0);
        ASSERT_EQ(symlink((base_ + "/secret.txt").c_str(), (root_ + "/out-abs").c_str()), 0);
        ASSERT_EQ(symlink("hello.txt", (root_ + "/in-link").c_str()), 0);
        rootFd_ = open(root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(rootFd_, 0);
    }
    void TearDown() override {
        close(rootFd_);
        std::string cmd = "rm -rf '" + base_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    static void Write(const std::string& path, const std::string& text) {
        FILE* f = fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs(text.c_str(), f);
        fclose(f);
    }
    // The status for target; a served file's content is checked and its descriptor closed.
    int StatusOf(const std::string& target, const std::string& expectContent = "") {
        ResolvedFile r = ResolveTarget(rootFd_, target);
        if (r.status == 0) {
            char buf[64] = {};
            EXPECT_GE(read(r.fd, buf, sizeof buf - 1), 0);
            if (!expectContent.empty()) {
                EXPECT_EQ(std::string(buf), expectContent) << target;
            }
            close(r.fd);
        }
        return r.status;
    }
    std::string base_, root_;
    int rootFd_ = -1;
};

TEST_F(ResolveTest, ServesRegularFilesAndIndexes) {
    EXPECT_EQ(StatusOf("/hello.txt", "hello"), 0);
    EXPECT_EQ(StatusOf("/%68ello.txt?x", "hello"), 0);
    EXPECT_EQ(StatusOf("/sub/", "<p>index</p>"), 0);
    EXPECT_EQ(StatusOf("/sub%2findex.html", "<p>index</p>"), 0);  // an encoded slash is a slash
    EXPECT_EQ(ResolveTarget(rootFd_, "/sub/index.html").name, "sub/index.html");
}

TEST_F(ResolveTest, SymlinksAndDotDotThatStayInsideTheRootAreServed) {
    // The component-wise fallback that stands in for openat2 follows neither.
    SKIP_UNDER_QEMU("openat2 is not emulated (ENOSYS), so symlinks and \"..\" are refused");
    EXPECT_EQ(StatusOf("/in-link", "hello"), 0);
    EXPECT_EQ(StatusOf("/sub/../hello.txt", "hello"), 0);
}

TEST_F(ResolveTest, DirectoryWithoutSlashRedirects) {
    ResolvedFile r = ResolveTarget(rootFd_, "/sub?a=1");
    EXPECT_EQ(r.status, 301);
    EXPECT_EQ(r.location, "/sub/?a=1");
    EXPECT_EQ(ResolveTarget(rootFd_, "//sub").location, "/sub/");
    EXPECT_EQ(StatusOf("/empty/"), 403);
}

TEST_F(ResolveTest, NothingOutsideTheRootIsReached) {
    EXPECT_EQ(StatusOf("/../secret.txt"), 403);
    EXPECT_EQ(StatusOf("/%2e%2e/secret.txt"), 403);
    EXPECT_EQ(StatusOf("/%2e%2e%2fsecret.txt"), 403);
    EXPECT_EQ(StatusOf("/sub/../../secret.txt"), 403);
    EXPECT_EQ(StatusOf("/out-rel"), 403);
    EXPECT_EQ(StatusOf("/out-abs"), 403);
    EXPECT_EQ(StatusOf("/" + base_ + "/secret.txt"), 404);  // absolute paths are taken beneath the root
    EXPECT_EQ(StatusOf("/a%00b"), 400);
    EXPECT_EQ(StatusOf("/fifo"), 403);
    EXPECT_EQ(StatusOf("/missing"), 404);
    EXPECT_EQ(StatusOf("/" + std::string(256, 'n')), 404);  // longer than any name can be
    EXPECT_EQ(StatusOf("/hello.txt/x"), 404);
}

TEST_F(ResolveTest, ComponentFallbackIsEquallyConfined) {
    auto opens = [&](const char* rel) {
        int fd = OpenBeneathByComponents(rootFd_, rel, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) close(fd);
        return fd >= 0;
    };
    EXPECT_TRUE(opens("hello.txt"));
    EXPECT_TRUE(opens("sub//index.html"));
    EXPECT_TRUE(opens("./sub/./index.html"));
    EXPECT_TRUE(opens("."));
    EXPECT_FALSE(opens("../secret.txt"));
    EXPECT_EQ(errno, EXDEV);
    EXPECT_FALSE(opens("sub/../../secret.txt"));
    EXPECT_FALSE(opens("out-rel"));
    EXPECT_EQ(errno, ELOOP);
    EXPECT_FALSE(opens("out-abs"));
    EXPECT_FALSE(opens("in-link"));  // stricter than openat2: no symlink is followed at all
    EXPECT_FALSE(opens("missing"));
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(ResolveTest, HandleRequestBuildsFileAndErrorResponses) {
    MimeTypes mime;
    mime.AddTable("text/plain txt\ntext/html html\n");
    ServeContext ctx{rootFd_, &mime};
    time_t now = time(nullptr);
    HttpRequest req;
    req.method = HTTP_GET;
    req.keepAlive = true;
    req.target = "/hello.txt";
    ResponsePlan plan = HandleRequest(req, ctx, now);
    EXPECT_EQ(plan.status, 200);
    EXPECT_NE(plan.header.find("Content-Type: text/plain\r\nContent-Length: 5\r\nLast-Modified: "),
              std::string::npos);
    EXPECT_NE(plan.header.find("Connection: keep-alive\r\n"), std::string::npos);
    EXPECT_EQ(plan.fileLength, 5u);
    ASSERT_GE(plan.fileFd, 0);
    close(plan.fileFd);

    req.hasRange = true;
    req.range = "bytes=1-2";
    plan = HandleRequest(req, ctx, now);
    EXPECT_EQ(plan.status, 206);
    EXPECT_NE(plan.header.find("Content-Range: bytes 1-2/5\r\n"), std::string::npos);
    EXPECT_EQ(plan.fileOffset, 1u);
    EXPECT_EQ(plan.fileLength, 2u);
    close(plan.fileFd);

    req.range = "bytes=5-";
    plan = HandleRequest(req, ctx, now);
    EXPECT_EQ(plan.status, 416);
    EXPECT_NE(plan.header.find("Content-Range: bytes */5\r\n"), std::string::npos);
    EXPECT_EQ(plan.fileFd, -1);

    req.hasRange = false;
    req.hasIfModifiedSince = true;
    req.ifModifiedSince = FormatHttpDate(now);
    plan = HandleRequest(req, ctx, now);
    EXPECT_EQ(plan.status, 304);
    EXPECT_EQ(plan.fileFd, -1);
    EXPECT_TRUE(plan.body.empty());

    req.ifModifiedSince = "Thu, 01 Jan 1970 00:00:00 GMT";
    req.method = HTTP_HEAD;
    plan = HandleRequest(req, ctx, now);
    EXPECT_EQ(plan.status, 200);
    EXPECT_EQ(plan.fileFd, -1);  // HEAD sends the header alone

    req.method = HTTP_DELETE;
    plan = HandleRequest(req, ctx, now);
    EXPECT_EQ(plan.status, 405);
    EXPECT_NE(plan.header.find("Allow: GET, HEAD\r\n"), std::string::npos);
    EXPECT_NE(plan.header.find("Content-Length: " + std::to_string(plan.body.size()) + "\r\n"),
              std::string::npos);

    req.method = HTTP_GET;
    req.target = "/sub";
    plan = HandleRequest(req, ctx, now);
    EXPECT_EQ(plan.status, 301);
    EXPECT_NE(plan.header.find("Location: /sub/\r\n"), std::string::npos);
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

TEST_F(ResolveTest, PrecompressedSiblingServedToGzipClients) {
    Write(root_ + "/app.js", "plain text body");
    Write(root_ + "/app.js.gz", "GZ");
    ASSERT_EQ(mkdir((root_ + "/d.txt.gz").c_str(), 0755), 0);  // not a regular file: ignored
    Write(root_ + "/d.txt", "d");
    MimeTypes mime;
    mime.AddTable("text/javascript js\ntext/plain txt\n");
    ServeContext ctx{rootFd_, &mime};
    time_t now = time(nullptr) + 10;
    auto serve = [&](const char* target, const char* accept, const char* range = nullptr) {
        HttpRequest req;
        req.method = HTTP_GET;
        req.target = target;
        req.acceptEncoding = accept;
        req.hasRange = range != nullptr;
        if (range) req.range = range;
        ResponsePlan plan = HandleRequest(req, ctx, now);
        if (plan.fileFd >= 0) close(plan.fileFd);
        return plan;
    };
    auto has = [](const ResponsePlan& p, const std::string& h) {
        return p.header.find(h) != std::string::npos;
    };
    ResponsePlan gz = serve("/app.js", "gzip, deflate");
    EXPECT_EQ(gz.fileLength, 2u);
    EXPECT_TRUE(has(gz, "Content-Type: text/javascript\r\n"));
    EXPECT_TRUE(has(gz, "Content-Encoding: gzip\r\n"));
    EXPECT_TRUE(has(gz, "Vary: Accept-Encoding\r\n"));
    ResponsePlan plain = serve("/app.js", "gzip;q=0");
    EXPECT_EQ(plain.fileLength, 15u);
    EXPECT_FALSE(has(plain, "Content-Encoding"));
    EXPECT_TRUE(has(plain, "Vary: Accept-Encoding\r\n"));  // a cache must not hand either to the other
    auto etagOf = [](const ResponsePlan& p) {
        size_t at = p.header.find("ETag: ");
        return at == std::string::npos ? std::string()
                                       : p.header.substr(at + 6, p.header.find('\r', at) - at - 6);
    };
    EXPECT_NE(etagOf(gz), etagOf(plain));
    ResponsePlan part = serve("/app.js", "gzip", "bytes=1-");  // ranges count compressed bytes
    EXPECT_EQ(part.status, 206);
    EXPECT_TRUE(has(part, "Content-Range: bytes 1-1/2\r\n"));
    EXPECT_TRUE(has(part, "Content-Encoding: gzip\r\n"));
    ResponsePlan dir = serve("/d.txt", "gzip");
    EXPECT_EQ(dir.fileLength, 1u);
    EXPECT_FALSE(has(dir, "Vary"));
}

TEST_F(ResolveTest, ListingShowsReachableEntriesEscaped) {
    Write(root_ + "/sub/a&b <c>.txt", "12345");
    Write(root_ + "/sub/%\"q'.txt", "");
    Write(root_ + "/sub/.hidden", "");
    ASSERT_EQ(mkdir((root_ + "/sub/dir").c_str(), 0755), 0);
    ASSERT_EQ(symlink("../../secret.txt", (root_ + "/sub/leaves").c_str()), 0);
    ASSERT_EQ(symlink("../hello.txt", (root_ + "/sub/stays").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (root_ + "/sub/dangling").c_str()), 0);
    std::string html;
    ASSERT_TRUE(ListDirectory(rootFd_, "sub/", &html));
    // A link is listed when it can be served; under qemu-user, where openat2 is not emulated
    // (ENOSYS), the component-wise fallback serves no symbolic link, so none may be listed.
    const bool linksServed = !vrns_test::UnderEmulator();
    struct Case {
        const char* text;
        bool present;
    } cases[] = {
        {"<title>Index of /sub/</title>", true},
        {"<a href=\"../\">../</a>", true},
        {"<a href=\"dir/\">dir/</a>", true},
        {"<a href=\"a%26b%20%3Cc%3E.txt\">a&amp;b &lt;c&gt;.txt</a></td><td>5</td>", true},
        {"<a href=\"%25%22q%27.txt\">%&quot;q&#39;.txt</a>", true},
        {"<a href=\"stays\">stays</a></td><td>5</td>", linksServed},
        {"leaves", false},
        {"dangling", false},
        {"hidden", false},
        {"index.html", true},
        {"not listed", false},  // a whole listing says nothing of left-out entries
    };
    for (const Case& c : cases)
        EXPECT_EQ(html.find(c.text) != std::string::npos, c.present) << c.text << "\n" << html;
    EXPECT_LT(html.find("dir/"), html.find("a&amp;b"));  // directories first
    ASSERT_TRUE(ListDirectory(rootFd_, "./", &html));
    EXPECT_EQ(html.find("../"), std::string::npos);  // nothing above the root
    EXPECT_EQ(html.find("out-rel"), std::string::npos);
    EXPECT_EQ(html.find("out-abs"), std::string::npos);
    EXPECT_EQ(html.find("in-link") != std::string::npos, linksServed);

    MimeTypes mime;
    HttpRequest req;
    req.method = HTTP_GET;
    req.target = "/empty/";
    ServeContext ctx{rootFd_, &mime};
    EXPECT_EQ(HandleRequest(req, ctx, 0).status, 403);  // off by default
    ctx.autoindex = true;
    ResponsePlan plan = HandleRequest(req, ctx, 0);
    EXPECT_EQ(plan.status, 200);
    EXPECT_NE(plan.header.find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos);
    EXPECT_NE(plan.body.find("Index of /empty/"), std::string::npos);
}

// A directory larger than a listing's bounds: the first names by byte order are listed, and
// the page says how many were left out. Hidden entries are read but count toward the bound.
TEST_F(ResolveTest, BoundedListingShowsTheFirstNamesAndSaysSo) {
    const size_t listed = ListingLimits().maxDescribed;
    auto fileName = [](size_t i) {
        char name[32];
        snprintf(name, sizeof name, "f%06zu", i);
        return std::string(name);
    };
    ASSERT_EQ(mkdir((root_ + "/big").c_str(), 0755), 0);
    for (size_t i = 0; i < listed + 2; ++i) {
        int fd = open((root_ + "/big/" + fileName(i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        close(fd);
    }
    for (const char* hidden : {"/big/.h1", "/big/.h2"}) Write(root_ + hidden, "");
    std::string html;
    ASSERT_TRUE(ListDirectory(rootFd_, "big/", &html));
    struct Case {
        std::string text;
        bool present;
    } cases[] = {
        {">" + fileName(0) + "</a>", true},
        {">" + fileName(listed - 1) + "</a>", true},
        {">" + fileName(listed) + "</a>", false},
        {"2 more entries are not listed", true},
        {"reads at most", false},
    };
    for (const Case& c : cases) EXPECT_EQ(html.find(c.text) != std::string::npos, c.present) << c.text;
    // Reading stops at maxNames entries ("." and ".." and hidden ones included), and says so.
    ListingLimits few;
    few.maxNames = 6;
    ASSERT_TRUE(ListDirectory(rootFd_, "big/", &html, few));
    EXPECT_NE(html.find("a listing reads at most 6 entries"), std::string::npos);
    size_t rows = 0;
    for (size_t at = html.find("<tr><td>"); at != std::string::npos; at = html.find("<tr><td>", at + 1))
        ++rows;
    EXPECT_LE(rows, 1 + few.maxNames);  // "../" and what was read
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

TEST(AccessLogTest, CommonLogFormatWithEscapes) {
    std::string line = AccessLogLine("127.0.0.1", 0, "GET /\"x\x01 HTTP/1.1", 200, 12);
    EXPECT_EQ(line.rfind("127.0.0.1 - - [", 0), 0u);
    EXPECT_NE(line.find("] \"GET /\\x22x\\x01 HTTP/1.1\" 200 12\n"), std::string::npos);
    EXPECT_NE(AccessLogLine("::1", 0, "", 400, 0).find("\"-\" 400 -\n"), std::string::npos);
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

TEST(ServerOptionsTest, ParsesOptionsAndRefusesBadOnes) {
    auto parse = [](std::vector<std::string> args, ServerOptions* o, std::string* err) {
        std::vector<char*> argv = {const_cast<char*>("vrns")};
        for (auto& a : args) argv.push_back(a.data());
        return ParseServerOptions(int(argv.size()), argv.data(), o, err);
    };
    ServerOptions o;
    std::string err;
    ASSERT_TRUE(parse({}, &o, &err));
    EXPECT_EQ(FormatAddress(o.address), "127.0.0.1:8080");
    EXPECT_EQ(o.readTimeoutSec, 30);
    ASSERT_TRUE(parse({"--listen", "[::1]:0", "--root=/tmp", "--read-timeout", "2", "--max-connections=5",
                       "--access-log", "off"},
                      &o, &err));
    EXPECT_EQ(FormatAddress(o.address), "[::1]:0");
    EXPECT_EQ(o.root, "/tmp");
    EXPECT_EQ(o.readTimeoutSec, 2);
    EXPECT_EQ(o.maxConnections, 5);
    EXPECT_EQ(o.accessLog, "off");
    EXPECT_FALSE(o.autoindex || o.reusePort || !o.statusPath.empty());
    ASSERT_TRUE(parse({"--read-timeout", "235"}, &o, &err));  // the longest the engine keeps
    EXPECT_EQ(o.readTimeoutSec, 235);
    ASSERT_TRUE(parse({"--autoindex", "--reuse-port", "--status-path", "/-/status"}, &o, &err));
    EXPECT_TRUE(o.autoindex && o.reusePort);
    EXPECT_EQ(o.statusPath, "/-/status");
    EXPECT_TRUE(o.openFileCache);
    ASSERT_TRUE(parse({"--open-file-cache", "10:2m", "--small-file-limit=4k"}, &o, &err));
    EXPECT_EQ(o.cacheEntries, 10u);
    EXPECT_EQ(o.cacheBytes, 2u << 20);
    EXPECT_EQ(o.smallFileMax, 4096u);
    ASSERT_TRUE(parse({"--open-file-cache", "off", "--small-file-limit", "0"}, &o, &err));
    EXPECT_FALSE(o.openFileCache);
    EXPECT_EQ(o.smallFileMax, 0u);
    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{{"--listen", "1.2.3.4"},
                                                                              {"--listen", "127.0.0.1:70000"},
                                                                              {"--listen", "::1:80"},
                                                                              {"--read-timeout", "0"},
                                                                              {"--read-timeout", "3x"},
                                                                              {"--read-timeout", "236"},
                                                                              {"--bogus"},
                                                                              {"--root"},
                                                                              {"--status-path", "status"},
                                                                              {"--status-path", "/"},
                                                                              {"--autoindex=yes"},
                                                                              {"--open-file-cache", "0"},
                                                                              {"--open-file-cache", "5:"},
                                                                              {"--open-file-cache", "5:1g"},
                                                                              {"--small-file-limit", "2m"},
                                                                              {"--small-file-limit", "k"},
                                                                              {"stray"}}) {
        ServerOptions b;
        err.clear();
        EXPECT_FALSE(parse(bad, &b, &err)) << bad[0];
        EXPECT_FALSE(err.empty());
    }
}

// The default connection limit: two descriptors a connection after a reserve, and no more
// connections than a quarter of the memory holds at their worst.
TEST(ServerOptionsTest, DefaultConnectionLimitFitsDescriptorsAndMemory) {
    constexpr uint64_t kGiB = uint64_t(1) << 30;
    struct Case {
        uint64_t descriptors, memory;
        int expected;
    } cases[] = {
        {1024, 16 * kGiB, 480},        // the descriptors decide
        {262112, 4 * kGiB, 8192},      // a stock Debian's raised limit: the memory decides
        {262112, 256 * kGiB, 131024},  // plenty of memory: the descriptors decide again
        {262112, 0, 131024},           // memory unknown
        {66, 16 * kGiB, 1},            // at least one
        {1 << 20, 64 << 10, 1},        // at least one
    };
    for (const Case& c : cases)
        EXPECT_EQ(DefaultMaxConnections(c.descriptors, c.memory), c.expected)
            << c.descriptors << " " << c.memory;
}

std::atomic<uint64_t> g_reportedDrops{0};

// A destination nobody reads: every Append returns at once; the lines taken come out whole and
// in order once it is read, through a non-blocking pipe's short writes and EAGAIN; the rest
// are counted, and reported when the destination moves again.
TEST(LineWriterTest, NeverWaitsKeepsWhatItTakesAndCountsTheRest) {
    using namespace std::chrono_literals;
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    fcntl(fds[1], F_SETPIPE_SZ, 4096);
    constexpr int kLines = 20000;
    std::vector<char> taken(kLines, 0);
    std::atomic<bool> done{false};
    LineWriter writer(fds[1], 16384, [](uint64_t n) { g_reportedDrops += n; });
    std::thread producer([&] {
        for (int i = 0; i < kLines; ++i) {
            char line[32];
            snprintf(line, sizeof line, "line %05d\n", i);
            taken[size_t(i)] = writer.Append(line);
        }
        done.store(true);
    });
    bool returned = WaitUntil([&] { return done.load(); }, 5s);
    std::string expected, got;
    auto drain = [&] {
        char buf[65536];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0) got.append(buf, size_t(n));
        return done.load() && got.size() >= expected.size();
    };
    if (!returned) WaitUntil(drain, 5s);  // a blocked producer is let go before the join
    producer.join();
    ASSERT_TRUE(returned) << "Append waited for the destination";
    for (int i = 0; i < kLines; ++i) {
        if (!taken[size_t(i)]) continue;
        char line[32];
        snprintf(line, sizeof line, "line %05d\n", i);
        expected += line;
    }
    EXPECT_TRUE(WaitUntil(drain, 5s));
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(writer.Flush(1000));
    uint64_t dropped = writer.dropped();
    EXPECT_EQ(dropped, uint64_t(kLines) - expected.size() / 11);
    EXPECT_GT(dropped, 0u);
    EXPECT_GE(expected.size(), 16384u - 11);  // the buffer was filled before a line was dropped
    EXPECT_TRUE(WaitUntil([&] { return g_reportedDrops.load() == dropped; }, 5s)) << g_reportedDrops.load();
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
