#include "orvanta/static/file_handler.h"

#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "orvanta/http/byte_range.h"
#include "orvanta/http/content_coding.h"
#include "orvanta/http/http_date.h"
#include "orvanta/http/http_request.h"
#include "orvanta/http/http_validators.h"
#include "orvanta/http/mime_types.h"
#include "orvanta/static/open_file_cache.h"

namespace {

// Without the cache, a file is opened, not read: the region a request wants is read below.
constexpr uint64_t kReadNothing = 0;

// The bytes chosen for a file request: the file itself, or its precompressed sibling, which
// is a representation of its own (its own length, validators and byte ranges).
struct Representation {
    struct stat st {};
    const std::string* etagOf = nullptr;  // the opened file's tag for st, made once with it
    const std::string* type = nullptr;    // the original file's media type in both cases
    bool gzip = false;                    // the sibling: Content-Encoding: gzip
    bool varies = false;                  // a sibling exists, so the choice follows Accept-Encoding

    std::string_view etag() const { return *etagOf; }
};

// Appends "NAME: VALUE\r\n" (name given with its colon and space).
void AppendField(std::string* h, std::string_view name, std::string_view value) {
    h->append(name);
    h->append(value);
    h->append("\r\n");
}

void AppendLength(std::string* h, uint64_t length) {
    h->append("Content-Length: ");
    AppendDecimal(h, length);
    h->append("\r\n");
}

// The validator headers shared by 200, 206 and 304.
// A file stamped in the future (a clock set wrong, a copy from another machine) is given the
// response's own date: Last-Modified is never later than Date (RFC 9110 section 8.8.2.1).
void AppendValidatorHeaders(std::string* h, const Representation& rep, time_t now) {
    h->append("Last-Modified: ");
    AppendHttpDate(h, std::min(rep.st.st_mtime, now));
    h->append("\r\n");
    AppendField(h, "ETag: ", rep.etag());
    if (rep.varies) h->append("Vary: Accept-Encoding\r\n");
}

ResponsePlan FileResponse(const HttpRequest& request, const Representation& rep, time_t now) {
    uint64_t size = uint64_t(rep.st.st_size);
    ByteRange range;
    if (request.hasRange && IfRangeHolds(request, rep.etag(), rep.st.st_mtime, now))
        range = ParseRange(request.range, size);
    if (range.kind == RangeKind::kUnsatisfiable) {
        std::string extra = "Content-Range: bytes */" + std::to_string(size) + "\r\n";
        // Which file's size this is depends on Accept-Encoding, as for the 200.
        if (rep.varies) extra += "Vary: Accept-Encoding\r\n";
        return GeneratedResponse(416, PersistenceOf(request), request.IsHead(), now, extra);
    }
    ResponsePlan plan;
    plan.keepAlive = request.keepAlive;
    plan.status = range.kind == RangeKind::kSatisfiable ? 206 : 200;
    uint64_t first = range.kind == RangeKind::kSatisfiable ? range.first : 0;
    uint64_t length = range.kind == RangeKind::kSatisfiable ? range.length : size;
    std::string& h = plan.header;
    AppendCommonHeaders(&h, plan.status, now, PersistenceOf(request));
    AppendField(&h, "Content-Type: ", *rep.type);
    AppendLength(&h, length);
    AppendValidatorHeaders(&h, rep, now);
    h += "Accept-Ranges: bytes\r\n";
    if (rep.gzip) h += "Content-Encoding: gzip\r\n";
    if (plan.status == 206) {
        h += "Content-Range: bytes ";
        AppendDecimal(&h, first);
        h += '-';
        AppendDecimal(&h, first + length - 1);
        h += '/';
        AppendDecimal(&h, size);
        h += "\r\n";
    }
    h += "\r\n";
    if (!request.IsHead() && length > 0) {
        plan.fileOffset = first;
        plan.fileLength = length;
        plan.contentBytes = length;
    }
    return plan;
}

ResponsePlan NotModifiedResponse(const HttpRequest& request, const Representation& rep, time_t now) {
    ResponsePlan plan;
    plan.status = 304;
    plan.keepAlive = request.keepAlive;
    AppendCommonHeaders(&plan.header, 304, now, PersistenceOf(request));
    // A 304 may announce the length the 200 would have had; it carries no body.
    AppendLength(&plan.header, uint64_t(rep.st.st_size));
    AppendValidatorHeaders(&plan.header, rep, now);
    plan.header += "\r\n";
    return plan;
}

// The file named, or its FILE.gz sibling (gzipSt, null when there is none) for a gzip client.
// The chosen one's entity tag is the opened file's own.
Representation Represent(const HttpRequest& request, const MimeTypes& mime, const std::string& name,
                         const struct stat& st, const struct stat* gzipSt,
                         const std::string* const etags[2]) {
    Representation rep;
    rep.st = st;
    rep.type = &mime.Lookup(name);
    if (gzipSt) {
        rep.varies = true;
        if (AcceptsGzip(request.acceptEncoding)) {
            rep.st = *gzipSt;
            rep.gzip = true;
        }
    }
    rep.etagOf = etags[rep.gzip ? 1 : 0];
    return rep;
}

constexpr std::string_view kListingType = "text/html; charset=utf-8";

// A listing: its page is sent from its bytes, shared with the cache when there is one.
ResponsePlan ListingResponse(const HttpRequest& request, const ServeContext& ctx,
                             const std::string& directory, time_t now) {
    bool head = request.IsHead();
    OpenedFileRef page =
        ctx.cache ? ctx.cache->Listing(ctx.rootFd, directory) : OpenListing(ctx.rootFd, directory);
    if (!page) return GeneratedResponse(403, PersistenceOf(request), head, now);
    ResponsePlan plan;
    plan.status = 200;
    plan.keepAlive = request.keepAlive;
    AppendCommonHeaders(&plan.header, 200, now, PersistenceOf(request));
    AppendField(&plan.header, "Content-Type: ", kListingType);
    AppendLength(&plan.header, page->bytes.size());
    plan.header += "\r\n";
    if (!head && !page->bytes.empty()) {
        plan.fileLength = plan.contentBytes = page->bytes.size();
        plan.file = std::move(page);
    }
    return plan;
}

// The answer when the target is no regular file: a redirect, a listing or an error (a 500
// keeps the errno behind it for the debug log).
ResponsePlan OpenFailedResponse(const HttpRequest& request, const ServeContext& ctx, int status, int error,
                                const std::string& location, const std::string& directory, time_t now) {
    bool head = request.IsHead();
    if (status == 301)
        return GeneratedResponse(301, PersistenceOf(request), head, now, "Location: " + location + "\r\n");
    if (status == 403 && ctx.autoindex && !directory.empty())
        return ListingResponse(request, ctx, directory, now);
    ResponsePlan plan = GeneratedResponse(status, PersistenceOf(request), head, now);
    if (status == 500) plan.openError = error;
    return plan;
}

ResponsePlan PlanFile(const HttpRequest& request, const Representation& rep, time_t now) {
    if (PreconditionFails(request, rep.etag(), rep.st.st_mtime))
        return GeneratedResponse(412, PersistenceOf(request), request.IsHead(), now,
                                 rep.varies ? "Vary: Accept-Encoding\r\n" : "");
    return IsNotModified(request, rep.etag(), rep.st.st_mtime, now) ? NotModifiedResponse(request, rep, now)
                                                                    : FileResponse(request, rep, now);
}

// The plan shares the file it sends until the send is done. Without the cache, a small region
// is read now instead, which saves the cork, sendfile and uncork of the file sender; one that
// comes up short (the file shrank) is left to the file sender, which sees it end.
ResponsePlan FileRequest(const HttpRequest& request, const ServeContext& ctx, time_t now) {
    OpenedTarget t = ctx.cache ? ctx.cache->Open(ctx.rootFd, request.target)
                               : OpenTarget(ctx.rootFd, request.target, kReadNothing);
    if (t.status != 0)
        return OpenFailedResponse(request, ctx, t.status, t.error, t.location, t.directory, now);
    const std::string* const etags[2] = {&t.file->etag, t.gzip ? &t.gzip->etag : nullptr};
    Representation rep =
        Represent(request, *ctx.mime, t.file->name, t.file->st, t.gzip ? &t.gzip->st : nullptr, etags);
    ResponsePlan plan = PlanFile(request, rep, now);
    if (plan.fileLength == 0) return plan;
    OpenedFileRef chosen = rep.gzip ? std::move(t.gzip) : std::move(t.file);
    if (!ctx.cache && !chosen->InMemory() && plan.fileLength <= ctx.smallFileMax &&
        ReadFileRegion(chosen->fd, plan.fileOffset, plan.fileLength, &plan.body))
        return plan;
    plan.body.clear();
    plan.file = std::move(chosen);
    return plan;
}

}  // namespace

ResponsePlan HandleRequest(const HttpRequest& request, const ServeContext& ctx, time_t now) {
    if (!request.IsGet() && !request.IsHead())
        return GeneratedResponse(405, PersistenceOf(request), false, now, "Allow: GET, HEAD\r\n");
    return FileRequest(request, ctx, now);
}
