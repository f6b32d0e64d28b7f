// Validators of a served file and the conditional requests that use them, in the order they are
// evaluated: If-Match (or, without it, If-Unmodified-Since) answers 412; If-None-Match (or,
// without it, If-Modified-Since) answers 304; If-Range decides whether a Range is honoured. The
// entity tag is made from the file's size and modification time. Pure functions; any thread.
#pragma once

#include <sys/stat.h>
#include <time.h>

#include <string>
#include <string_view>

struct HttpRequest;

// A strong entity tag, "<mtime seconds>.<nanoseconds>-<size>" in hexadecimal and quoted: a
// file rewritten with the same size within the same second still gets a new tag.
std::string MakeETag(const struct stat& st);

// Weak comparison ignores a W/ prefix on either side (If-None-Match); strong comparison matches
// only the same tag, and never a weak one (If-Match, If-Range).
enum class TagComparison { kWeak, kStrong };

// True when the comma-separated list names etag, or is "*".
bool EntityTagListMatches(std::string_view list, std::string_view etag, TagComparison how);

// True when the request is answered 412: If-Match names no tag of the file's (strong
// comparison: a weak tag never matches; "*" matches any file), or, without If-Match,
// If-Unmodified-Since is a valid date before mtime.
bool PreconditionFails(const HttpRequest& request, std::string_view etag, time_t mtime);

// True when a GET or HEAD of the file is answered 304: If-None-Match matches, or, when the
// request has no If-None-Match, If-Modified-Since is a valid past date not before mtime.
bool IsNotModified(const HttpRequest& request, std::string_view etag, time_t mtime, time_t now);

// True when a Range may be honoured under the request's If-Range (or there is none): an entity
// tag must match strongly; a date must equal mtime exactly, and mtime must be at least a second
// older than now, since only then is the date a strong validator.
bool IfRangeHolds(const HttpRequest& request, std::string_view etag, time_t mtime, time_t now);
