// Static files as one handler: GET and HEAD of the files beneath a root, as the native server
// serves them. The request's normalised path (PathNormalizer: decoded once, dot segments
// resolved, refused before routing when it climbs above the root or is malformed) is opened
// beneath the root's descriptor with openat2(RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS) and
// O_NONBLOCK, or where openat2 is refused, component by component without following symlinks
// (Posix.OpenReadBeneath): neither an absolute symlink nor one that climbs out leaves the root,
// and a FIFO or a device opens at once and is refused (only regular files are served), so
// nothing blocks the worker. A directory is answered with its index.html when the path ends in
// '/', else redirected to the path with the slash. Validators: a strong ETag from the
// modification time and size, Last-Modified; If-Match (strong comparison, or "*") and, without
// it, If-Unmodified-Since answer 412; If-None-Match (weak comparison, or "*") and, without it,
// If-Modified-Since answer 304; If-Range (a tag compared strongly, or the exact date) lets a
// single byte range through (206, or 416 when it starts beyond the end). A client that accepts
// gzip gets a regular FILE.gz beside FILE in its place (Content-Encoding: gzip, FILE's media
// type): a representation of its own, with its own ETag, Last-Modified, length and ranges; while
// the sibling exists every answer for FILE says Vary: Accept-Encoding. Small files are kept in
// memory with their siblings (FileCache). The handler holds the root's descriptor, the media
// types and the cache; any thread.
using System;
using System.Collections.Generic;
using System.IO;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace Vrns.Http
{
    public sealed unsafe class StaticFiles
    {
        const int ENOENT = 2, ENOTDIR = 20, ENAMETOOLONG = 36, EACCES = 13, EPERM = 1, EXDEV = 18, ELOOP = 40, ENXIO = 6;
        static readonly byte[] IndexName = Encoding.ASCII.GetBytes("index.html");
        static readonly byte[] GzipSuffix = Encoding.ASCII.GetBytes(".gz");
        // Paths are opened relative to the root: the normalised path's one leading slash dropped.
        const int PathStart = 1;
        static readonly long UnixEpochTicks = new DateTime(1970, 1, 1, 0, 0, 0, DateTimeKind.Utc).Ticks;

        readonly int rootFd;
        readonly MimeTypes mime = MimeTypes.Load("/etc/mime.types");

        // The relative path of the request on this thread, NUL-terminated.
        [ThreadStatic] static byte[] pathScratch;
        // The validators of the file served last on this thread: a hot file's are made once.
        [ThreadStatic] static ValidatorCache validators;

        sealed class ValidatorCache
        {
            public long Inode = -1, Size, MtimeSec;
            public uint MtimeNsec;
            public string ETag, LastModified;
        }

        // Files up to this size are read into an array of their own and sent from it (default 0:
        // the connection reads small files into its reused buffer, larger ones go by sendfile).
        public long MemoryBodyMax;

        // Files up to this size are kept in memory with their validators (see FileCache).
        public long CacheFileMax = 64 * 1024;

        readonly FileCache cache = new FileCache(() => Engine.NowMsec, WallMsec);

        // How many files the cache keeps (default 1024; 0: none, every request opens its file).
        public int CacheEntries
        {
            get { return cache.MaxEntries; }
            set { cache.MaxEntries = value; }
        }

        // How many bytes of files the cache keeps (default 16 MiB).
        public long CacheBytes
        {
            get { return cache.MaxBytes; }
            set { cache.MaxBytes = value; }
        }

        // Opens root for the life of the process; throws IOException when it is no directory.
        public StaticFiles(string root)
        {
            int errno;
            rootFd = Posix.OpenDirectory(root, out errno);
            if (rootFd < 0) throw new IOException("cannot serve '" + root + "': errno " + errno);
        }

        public Task Handle(HttpContext context)
        {
            Serve(context.Request, context.Response);
            return Task.CompletedTask;
        }

        static long WallMsec()
        {
            return (DateTime.UtcNow.Ticks - UnixEpochTicks) / TimeSpan.TicksPerMillisecond;
        }

        void Serve(HttpRequest request, HttpResponse response)
        {
            string method = request.Method;
            if (method != "GET" && method != "HEAD") {
                response.SetHeader("Allow", "GET, HEAD");
                response.SendStatus(405);
                return;
            }
            int length = request.PathLength;
            if (length == 0 || request.PathBytes[request.PathAt] != '/') {  // "*", or a refused path
                response.SendStatus(404);
                return;
            }
            byte[] path = Scratch(length + IndexName.Length + 8);
            Buffer.BlockCopy(request.PathBytes, request.PathAt, path, 0, length);
            CachedFile stale;
            CachedFile cached = cache.Find(path, 0, length, out stale);
            if (cached != null) {
                ServeRepresentation(request, response, -1, -1, cached);
                return;
            }
            int key = length;  // the cache's key is the path as asked, before the index
            FileStatus st;
            int status;
            int fd = OpenTarget(path, ref length, out st, out status);
            if (status == 301) {
                Redirect(request, response);
                return;
            }
            if (status != 0) {
                if (stale != null) cache.Remove(path, 0, key);
                response.SendStatus(status);
                return;
            }
            string type = mime.Lookup(path, PathStart, length);
            FileStatus gzipSt;
            int gzipFd = OpenSibling(path, length, out gzipSt);
            if (cache.MaxEntries > 0 && st.Size <= CacheFileMax && (gzipFd < 0 || gzipSt.Size <= CacheFileMax)) {
                CachedFile file = stale != null && StillHolds(stale, st, gzipFd, gzipSt) ? stale : Load(fd, st, type, gzipFd, gzipSt);
                if (file != null) {
                    Posix.Close(fd);
                    if (gzipFd >= 0) Posix.Close(gzipFd);
                    cache.Put(path, 0, key, file);
                    ServeRepresentation(request, response, -1, -1, file);
                    return;
                }
            }
            ValidatorCache v = Validators(st);
            var plain = new CachedFile { Status = st, Type = type, ETag = v.ETag, LastModified = v.LastModified };
            if (gzipFd >= 0) {
                string lastModified = HttpDate.Format(gzipSt.MtimeSec), etag = ETagOf(gzipSt);
                plain.Gzip = new CachedFile { Status = gzipSt, Type = type, ETag = etag, LastModified = lastModified,
                                              Fields = FieldsOf(type, lastModified, etag, true) };
            }
            ServeRepresentation(request, response, fd, gzipFd, plain);
        }

        // The regular file path[PathStart..length) + ".gz" (its descriptor, or -1 without one).
        int OpenSibling(byte[] path, int length, out FileStatus st)
        {
            Buffer.BlockCopy(GzipSuffix, 0, path, length, GzipSuffix.Length);
            int status;
            int fd = OpenRegular(path, PathStart, length + GzipSuffix.Length, out st, out status);
            return status == 0 ? fd : -1;
        }

        // A kept entry still stands when neither the file nor its sibling (or its absence) changed.
        static bool StillHolds(CachedFile stale, FileStatus st, int gzipFd, FileStatus gzipSt)
        {
            if (!FileCache.StillHolds(stale, st) || (stale.Gzip != null) != (gzipFd >= 0)) return false;
            return stale.Gzip == null || FileCache.StillHolds(stale.Gzip, gzipSt);
        }

        // The file, or its gzip sibling for a client that accepts gzip; either descriptor not
        // served is closed (-1: from memory).
        void ServeRepresentation(HttpRequest request, HttpResponse response, int fd, int gzipFd, CachedFile f)
        {
            if (f.Gzip == null) {
                ServeFile(request, response, fd, f);
                return;
            }
            // Which bytes, validators and length an answer carries depends on Accept-Encoding.
            response.AddTrustedHeader("Vary", "Accept-Encoding");
            bool gzip = ContentCoding.AcceptsGzip(request.Headers);
            int unused = gzip ? fd : gzipFd;
            if (unused >= 0) Posix.Close(unused);
            ServeFile(request, response, gzip ? gzipFd : fd, gzip ? f.Gzip : f);
        }

        // Opens the regular file that path[0..length) names: a directory's index.html when the
        // path ends in '/' (length then grows to name it; 403 without one), 301 for a directory
        // without the slash, else as OpenRegular.
        int OpenTarget(byte[] path, ref int length, out FileStatus st, out int status)
        {
            int fd = OpenRegular(path, PathStart, length, out st, out status);
            if (status != 301 || path[length - 1] != '/') return fd;
            Buffer.BlockCopy(IndexName, 0, path, length, IndexName.Length);
            length += IndexName.Length;
            fd = OpenRegular(path, PathStart, length, out st, out status);
            if (status == 404 || status == 301) status = 403;
            return fd;
        }

        // A small file's bytes and validators, with its sibling's when it has one (gzipFd); null
        // when either reads short (it is changing).
        CachedFile Load(int fd, FileStatus st, string type, int gzipFd, FileStatus gzipSt)
        {
            CachedFile f = Load(fd, st, type, false);
            if (f == null || gzipFd < 0) return f;
            f.Gzip = Load(gzipFd, gzipSt, type, true);
            return f.Gzip != null ? f : null;
        }

        CachedFile Load(int fd, FileStatus st, string type, bool gzip)
        {
            var bytes = new byte[st.Size];
            long readAt = cache.WallMsec();
            int errno;
            if (st.Size > 0 && Posix.ReadAt(fd, bytes, 0, bytes.Length, 0, out errno) != bytes.Length) return null;
            var f = new CachedFile { Status = st, Bytes = bytes, Type = type, ETag = ETagOf(st), LastModified = HttpDate.Format(st.MtimeSec),
                                     Racy = FileCache.ReadTooSoon(st, readAt) };
            f.Fields = FieldsOf(type, f.LastModified, f.ETag, gzip);
            return f;
        }

        // The fields of every 200 or 206 of a file, made once.
        static byte[] FieldsOf(string type, string lastModified, string etag, bool gzip)
        {
            return Encoding.ASCII.GetBytes("Content-Type: " + type + "\r\nLast-Modified: " + lastModified + "\r\nETag: " + etag +
                                           "\r\nAccept-Ranges: bytes\r\n" + (gzip ? "Content-Encoding: gzip\r\n" : ""));
        }

        static byte[] Scratch(int size)
        {
            byte[] b = pathScratch;
            if (b == null || b.Length < size) pathScratch = b = new byte[Math.Max(size, 1024)];
            return b;
        }

        // Opens path[start..end) beneath the root: status 0 for a regular file (fd open), 301 for
        // a directory, else the HTTP status of the failure.
        int OpenRegular(byte[] path, int start, int end, out FileStatus st, out int status)
        {
            st = default(FileStatus);
            if (end == start) path[end++] = (byte)'.';
            path[end] = 0;
            int errno;
            int fd;
            fixed (byte* p = &path[start]) fd = Posix.OpenReadBeneath(rootFd, p, out errno);
            if (fd < 0) {
                status = StatusForOpenError(errno);
                if (status == 500) ErrorLog.Write("vrns-http: cannot open a file, errno " + errno);
                return -1;
            }
            if (!Posix.Stat(fd, out st, out errno)) {
                status = 500;
            } else if (st.IsDirectory) {
                status = 301;
            } else if (!st.IsRegular) {
                status = 403;
            } else {
                status = 0;
                return fd;
            }
            Posix.Close(fd);
            return -1;
        }

        static int StatusForOpenError(int errno)
        {
            switch (errno) {
                case ENOENT: case ENOTDIR: case ENAMETOOLONG:
                    return 404;
                case EACCES: case EPERM: case EXDEV: case ELOOP: case ENXIO:
                    return 403;
                default:
                    return 500;
            }
        }

        // To the path as sent with its slash; one leading slash only ("//host/" would leave the
        // site).
        static void Redirect(HttpRequest request, HttpResponse response)
        {
            string path = request.RawPath.TrimStart('/');
            string query = request.Query;
            response.SetHeader("Location", "/" + path + "/" + (query.Length > 0 ? "?" + query : ""));
            response.SendStatus(301);
        }

        // Serves the file: from fd (owned from here on), or from the cached bytes when fd is -1.
        void ServeFile(HttpRequest request, HttpResponse response, int fd, CachedFile f)
        {
            FileStatus st = f.Status;
            long now = HttpDate.NowSeconds();
            if (PreconditionFails(request, f.ETag, st.MtimeSec)) {
                if (fd >= 0) Posix.Close(fd);
                response.SendStatus(412);
                return;
            }
            if (IsNotModified(request, f.ETag, st.MtimeSec, now)) {
                if (fd >= 0) Posix.Close(fd);
                response.AddTrustedHeader("Last-Modified", f.LastModified);
                response.AddTrustedHeader("ETag", f.ETag);
                response.StatusCode = 304;
                response.SendEmpty(st.Size);
                return;
            }
            long first = 0, count = st.Size;
            string range = OnlyRange(request.Headers);
            if (range != null && IfRangeHolds(request, f.ETag, st.MtimeSec, now)) {
                int kind = ParseRange(range, st.Size, out first, out count);
                if (kind < 0) {
                    if (fd >= 0) Posix.Close(fd);
                    response.SetHeader("Content-Range", "bytes */" + st.Size);
                    response.SendStatus(416);
                    return;
                }
                if (kind > 0) {
                    response.StatusCode = 206;
                    response.AddTrustedHeader("Content-Range", "bytes " + first + "-" + (first + count - 1) + "/" + st.Size);
                } else {
                    first = 0;
                    count = st.Size;
                }
            }
            if (f.Fields != null) {
                response.RawFields = f.Fields;
            } else {
                response.ContentType = f.Type;
                response.AddTrustedHeader("Last-Modified", f.LastModified);
                response.AddTrustedHeader("ETag", f.ETag);
                response.AddTrustedHeader("Accept-Ranges", "bytes");
            }
            if (fd < 0) {
                if (request.IsHead)
                    response.SendEmpty(count);
                else
                    response.Send(f.Bytes, (int)first, (int)count);
                return;
            }
            if (request.IsHead) {
                Posix.Close(fd);
                response.SendEmpty(count);
                return;
            }
            if (count > 0 && count <= MemoryBodyMax) {
                var bytes = new byte[count];
                int errno;
                int n = Posix.ReadAt(fd, bytes, 0, (int)count, first, out errno);
                if (n == count) {
                    Posix.Close(fd);
                    response.Send(bytes);
                    return;
                }
            }
            response.SendFile(fd, first, count);
        }

        static string ETagOf(FileStatus st)
        {
            return "\"" + st.MtimeSec.ToString("x") + "." + st.MtimeNsec.ToString("x") + "-" + st.Size.ToString("x") + "\"";
        }

        static ValidatorCache Validators(FileStatus st)
        {
            ValidatorCache v = validators;
            if (v == null) validators = v = new ValidatorCache();
            if (v.Inode != st.Inode || v.Size != st.Size || v.MtimeSec != st.MtimeSec || v.MtimeNsec != st.MtimeNsec) {
                v.Inode = st.Inode;
                v.Size = st.Size;
                v.MtimeSec = st.MtimeSec;
                v.MtimeNsec = st.MtimeNsec;
                v.ETag = ETagOf(st);
                v.LastModified = HttpDate.Format(st.MtimeSec);
            }
            return v;
        }

        // If-Match names no tag of the file's (strongly: a weak tag never matches; "*" matches
        // any file), or, without it, If-Unmodified-Since is a valid date before the file's time:
        // the request is answered 412 before anything else is looked at.
        static bool PreconditionFails(HttpRequest request, string etag, long mtime)
        {
            RequestHeaders headers = request.Headers;
            if (headers.Count == 0) return false;
            if (headers.Contains("If-Match")) return !ListNames(headers, "If-Match", etag, false);
            string since = headers["If-Unmodified-Since"];
            long date;
            return since != null && HttpDate.TryParse(since, out date) && mtime > date;
        }

        // Whether the tag lists of the fields called name hold "*" or etag (weakly: a W/ prefix
        // on either side ignored; else exactly, so a weak tag never matches the file's strong one).
        static bool ListNames(RequestHeaders headers, string name, string etag, bool weak)
        {
            foreach (string list in headers.GetValues(name)) {
                foreach (string item in list.Split(',')) {
                    string tag = item.Trim(' ', '\t');
                    if (tag == "*" || (weak ? WithoutWeak(tag) == WithoutWeak(etag) : tag == etag)) return true;
                }
            }
            return false;
        }

        // The Range field's value; null without one, and with several: two Range fields are two
        // ranges, and several ranges are ignored.
        static string OnlyRange(RequestHeaders headers)
        {
            if (headers.Count == 0 || !headers.Contains("Range")) return null;
            string only = null;
            foreach (string value in headers.GetValues("Range")) {
                if (only != null) return null;
                only = value;
            }
            return only;
        }

        // If-None-Match (a list, compared weakly, or "*"); without it, If-Modified-Since: a
        // valid date, not in the future, not before the file's time.
        static bool IsNotModified(HttpRequest request, string etag, long mtime, long now)
        {
            RequestHeaders headers = request.Headers;
            if (headers.Count == 0) return false;
            if (headers.Contains("If-None-Match")) return ListNames(headers, "If-None-Match", etag, true);
            string since = headers["If-Modified-Since"];
            long date;
            return since != null && HttpDate.TryParse(since, out date) && date <= now && mtime <= date;
        }

        static string WithoutWeak(string tag)
        {
            return tag.StartsWith("W/", StringComparison.Ordinal) ? tag.Substring(2) : tag;
        }

        // A tag must match strongly; a date must equal the file's time, which must be a second
        // old (only then is the date a strong validator).
        static bool IfRangeHolds(HttpRequest request, string etag, long mtime, long now)
        {
            string value = request.Headers["If-Range"];
            if (value == null) return true;
            value = value.Trim(' ', '\t');
            if (value.StartsWith("\"", StringComparison.Ordinal) || value.StartsWith("W/", StringComparison.Ordinal))
                return value == etag;
            long date;
            return HttpDate.TryParse(value, out date) && date == mtime && now - mtime >= 1;
        }

        // "bytes=a-b", "bytes=a-" or "bytes=-n": 1 with the region, -1 when unsatisfiable, 0 for
        // anything else (several ranges, malformed): the whole file is sent.
        static int ParseRange(string value, long size, out long first, out long count)
        {
            first = count = 0;
            if (value.Length < 6 || string.Compare(value, 0, "bytes=", 0, 6, StringComparison.OrdinalIgnoreCase) != 0) return 0;
            value = value.Substring(6);
            int dash = value.IndexOf('-');
            if (dash < 0 || value.IndexOf(',') >= 0) return 0;
            string a = value.Substring(0, dash), b = value.Substring(dash + 1);
            long last;
            if (a.Length == 0) {  // the last n bytes
                if (!ParseUnsigned(b, out last)) return 0;
                if (last == 0 || size == 0) return -1;
                count = Math.Min(last, size);
                first = size - count;
                return 1;
            }
            if (!ParseUnsigned(a, out first)) return 0;
            if (b.Length == 0) {
                last = size > 0 ? size - 1 : 0;
            } else if (!ParseUnsigned(b, out last) || last < first) {
                return 0;
            }
            if (first >= size) return -1;
            if (last >= size) last = size - 1;
            count = last - first + 1;
            return 1;
        }

        // Digits only. A number too large for 63 bits stands for the largest: it lies beyond any
        // file, so a first position there is unsatisfiable and a last position or a suffix takes
        // the rest.
        static bool ParseUnsigned(string s, out long value)
        {
            value = 0;
            if (s.Length == 0) return false;
            foreach (char c in s) {
                if (c < '0' || c > '9') return false;
                int digit = c - '0';
                value = value > (long.MaxValue - digit) / 10 ? long.MaxValue : value * 10 + digit;
            }
            return true;
        }
    }

    // Media types by file extension from the system's table (/etc/mime.types), the first mention
    // of an extension winning; application/octet-stream for the rest. Read-only once loaded.
    public sealed class MimeTypes
    {
        const string Default = "application/octet-stream";
        const string Builtin = "text/html html htm\ntext/plain txt\ntext/css css\ntext/javascript js mjs\n" +
                               "application/json json\nimage/png png\nimage/jpeg jpg jpeg\nimage/gif gif\n" +
                               "image/svg+xml svg\napplication/pdf pdf\n";
        readonly Dictionary<string, string> byExtension = new Dictionary<string, string>();

        // The extension looked up last on this thread and its type.
        [ThreadStatic] static byte[] lastExtension;
        [ThreadStatic] static string lastType;

        public static MimeTypes Load(string path)
        {
            var m = new MimeTypes();
            string text;
            try {
                text = File.ReadAllText(path);
            } catch (Exception) {
                text = Builtin;
            }
            foreach (string raw in text.Split('\n')) {
                int hash = raw.IndexOf('#');
                string[] words = (hash < 0 ? raw : raw.Substring(0, hash))
                                     .Split(new[] { ' ', '\t', '\r' }, StringSplitOptions.RemoveEmptyEntries);
                for (int i = 1; i < words.Length; i++) {
                    string ext = words[i].ToLowerInvariant();
                    if (!m.byExtension.ContainsKey(ext)) m.byExtension[ext] = words[0];
                }
            }
            return m;
        }

        public string Lookup(string fileName)
        {
            string name = fileName.Substring(fileName.LastIndexOf('/') + 1);
            int dot = name.LastIndexOf('.');
            string type;
            if (dot < 0 || !byExtension.TryGetValue(name.Substring(dot + 1).ToLowerInvariant(), out type)) return Default;
            return type;
        }

        // The type of the name in b[start..end), without making a string for a repeated extension.
        internal string Lookup(byte[] b, int start, int end)
        {
            int dot = end - 1;
            while (dot >= start && b[dot] != '.' && b[dot] != '/') dot--;
            if (dot < start || b[dot] != '.') return Default;
            int at = dot + 1, length = end - at;
            byte[] last = lastExtension;
            if (last != null && Ascii.EqualsIgnoreCase(b, at, length, last)) return lastType;
            var ext = new byte[length];
            Buffer.BlockCopy(b, at, ext, 0, length);
            string type;
            if (!byExtension.TryGetValue(Encoding.UTF8.GetString(ext).ToLowerInvariant(), out type)) type = Default;
            lastExtension = ext;
            lastType = type;
            return type;
        }
    }
}
