// The one form of a request's path that everything after the head sees: percent-decoded once,
// its runs of slashes merged and its dot segments resolved. It is made before routing, and the
// router, StaticFiles and its cache all use it, so a guard mapped on a prefix cannot be passed by
// spelling the path another way ("/%70rivate/", "//private/", "/./private/", "/x/../private/").
//
// What cannot be made into that form is refused, with the status, before any handler runs:
//   400  a malformed escape, an escaped NUL, an escaped slash (a name holding a '/' to one reader
//        is two segments to the next), decoded bytes that are not UTF-8;
//   403  a ".." that climbs above the root ("/..", "/a/../.."), the answer the native server gives
//        a path that would leave its root.
// The path must be UTF-8 (overlong forms, surrogates and values past U+10FFFF are not): route
// templates are strings, matched as their UTF-8 bytes, so the string a handler reads (Path) is
// exactly the bytes the router compared, and no two paths decode to one string.
// Pure functions; any thread.
namespace Vrns.Http
{
    static class PathNormalizer
    {
        public const int BadRequest = 400, Forbidden = 403;
        const byte Slash = (byte)'/', Dot = (byte)'.', Percent = (byte)'%';

        // True when path[at..at+count) is normal as sent: it starts with '/' and has no escape,
        // no repeated slash, no "." or ".." segment and no byte above ASCII. The common case,
        // which is used where it lies, without a copy. The asterisk-form "*" is normal too.
        public static bool IsNormal(byte[] path, int at, int count)
        {
            if (count == 1 && path[at] == '*') return true;
            return HasNormalSegments(path, at, count, false);
        }

        // True when a route's path (decoded already: '%' and UTF-8 are its own) can match a
        // normalised path: it starts with '/' and has no repeated slash, "." or ".." segment.
        public static bool IsNormalRoute(byte[] path)
        {
            return HasNormalSegments(path, 0, path.Length, true);
        }

        static bool HasNormalSegments(byte[] path, int at, int count, bool decoded)
        {
            if (count == 0 || path[at] != Slash) return false;
            int end = at + count;
            for (int i = at; i < end; i++) {
                byte c = path[i];
                if (!decoded && (c == Percent || c >= 0x80)) return false;
                if (c != Slash || i + 1 == end) continue;
                byte next = path[i + 1];
                if (next == Slash) return false;
                if (next == Dot && IsDotSegment(path, i + 1, end)) return false;
            }
            return true;
        }

        // Makes the normal form of path[at..at+count) (a path from '/', or empty for an
        // absolute-form target without one, which is "/") in into, which holds count + 1 bytes:
        // 0 with its length, or the status that refuses it.
        public static int Normalize(byte[] path, int at, int count, byte[] into, out int length)
        {
            length = 0;
            if (count == 1 && path[at] == '*') {
                into[length++] = path[at];
                return 0;
            }
            int n;
            int status = Decode(path, at, count, into, out n);
            if (status != 0) return status;
            if (!Utf8Validator.IsValid(into, 0, n)) return BadRequest;
            return RemoveDotSegments(into, n, out length);
        }

        // "." or ".." from path[at] up to the next slash or end.
        static bool IsDotSegment(byte[] path, int at, int end)
        {
            int stop = at + 1;
            if (stop < end && path[stop] == Dot) stop++;
            return stop == end || path[stop] == Slash;
        }

        // Percent-decodes once into into; the leading slash is implied for an empty path.
        static int Decode(byte[] path, int at, int count, byte[] into, out int n)
        {
            n = 0;
            if (count == 0) {
                into[n++] = Slash;
                return 0;
            }
            int end = at + count;
            for (int i = at; i < end; i++) {
                byte c = path[i];
                if (c == Percent) {
                    int hi = i + 2 < end ? Hex(path[i + 1]) : -1, lo = hi < 0 ? -1 : Hex(path[i + 2]);
                    if (lo < 0) return BadRequest;
                    c = (byte)(hi * 16 + lo);
                    if (c == 0 || c == Slash) return BadRequest;
                    i += 2;
                }
                into[n++] = c;
            }
            return 0;
        }

        static int Hex(byte c)
        {
            if (c >= '0' && c <= '9') return c - '0';
            int lower = c | 0x20;
            if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
            return -1;
        }

        // Resolves b[0..n) in place, segment by segment: runs of slashes are one, "." is dropped,
        // ".." drops the segment before it; a final "." or ".." leaves the trailing slash. The
        // output never overtakes the input it is made from, so one array serves both.
        static int RemoveDotSegments(byte[] b, int n, out int length)
        {
            length = 0;
            int w = 0;  // the output so far: "/segment" units, no trailing slash until the end
            int i = 0;
            while (i < n) {
                int s = i;
                while (s < n && b[s] == Slash) s++;
                int e = s;
                while (e < n && b[e] != Slash) e++;
                int len = e - s;
                bool last = e == n;
                if (len == 2 && b[s] == Dot && b[s + 1] == Dot) {
                    if (w == 0) return Forbidden;
                    do w--; while (b[w] != Slash);
                    if (last) b[w++] = Slash;
                } else if (len <= 1 && (len == 0 || b[s] == Dot)) {
                    if (last) b[w++] = Slash;
                } else {
                    b[w++] = Slash;
                    for (int k = 0; k < len; k++) b[w + k] = b[s + k];
                    w += len;
                }
                i = e;
            }
            if (w == 0) b[w++] = Slash;
            length = w;
            return 0;
        }
    }
}
