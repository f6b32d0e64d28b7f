#include "orvanta/http/http_validators.h"

#include <inttypes.h>
#include <stdio.h>

#include "orvanta/http/http_date.h"
#include "orvanta/http/http_request.h"
#include "orvanta/http/http_text.h"

namespace {

std::string_view WithoutWeakPrefix(std::string_view tag) {
    if (tag.size() >= 2 && tag[0] == 'W' && tag[1] == '/') tag.remove_prefix(2);
    return tag;
}

}  // namespace

std::string MakeETag(const struct stat& st) {
    char tag[64];
    snprintf(tag, sizeof tag, "\"%" PRIx64 ".%" PRIx64 "-%" PRIx64 "\"", uint64_t(st.st_mtim.tv_sec),
             uint64_t(st.st_mtim.tv_nsec), uint64_t(st.st_size));
    return tag;
}

bool EntityTagListMatches(std::string_view list, std::string_view etag, TagComparison how) {
    bool weakTag = etag.substr(0, 2) == "W/";
    std::string_view ours = WithoutWeakPrefix(etag);
    bool matched = false;
    ForEachListItem(list, [&](std::string_view item) {
        if (how == TagComparison::kWeak)
            matched |= item == "*" || WithoutWeakPrefix(item) == ours;
        else
            matched |= item == "*" || (item == etag && !weakTag);
    });
    return matched;
}

bool PreconditionFails(const HttpRequest& request, std::string_view etag, time_t mtime) {
    if (request.hasIfMatch) return !EntityTagListMatches(request.ifMatch, etag, TagComparison::kStrong);
    time_t since;
    return request.hasIfUnmodifiedSince && ParseHttpDate(request.ifUnmodifiedSince, &since) && mtime > since;
}

bool IsNotModified(const HttpRequest& request, std::string_view etag, time_t mtime, time_t now) {
    if (request.hasIfNoneMatch) return EntityTagListMatches(request.ifNoneMatch, etag, TagComparison::kWeak);
    time_t since;
    if (!request.hasIfModifiedSince || !ParseHttpDate(request.ifModifiedSince, &since)) return false;
    // A date from the future is not a valid validator.
    return since <= now && mtime <= since;
}

bool IfRangeHolds(const HttpRequest& request, std::string_view etag, time_t mtime, time_t now) {
    if (!request.hasIfRange) return true;
    std::string_view value = TrimSpaces(request.ifRange);
    if (!value.empty() && (value[0] == '"' || value.substr(0, 2) == "W/"))
        return value == etag && etag.substr(0, 2) != "W/";
    time_t date;
    return ParseHttpDate(value, &date) && date == mtime && now - mtime >= 1;
}
