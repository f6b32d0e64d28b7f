// What the two Mono peers of the managed benchmark share: the command line, the two fixed
// answers (the JSON serialised per request), the files under --root with the same small-file
// cache as the sample's, and a cached Date, so that both do the work the managed sample does and
// differ only in the networking they are built on.
using System;
using System.Collections.Concurrent;
using System.Diagnostics;
using System.Globalization;
using System.IO;
using System.Text;
using System.Threading;

namespace VrnsBench {

sealed class PeerOptions {
    public string Host = "127.0.0.1";
    public int Port = 8080;
    public string Root = ".";

    public static PeerOptions Parse(string[] args, string usage) {
        var options = new PeerOptions();
        for (int i = 0; i < args.Length; i++) {
            string value = i + 1 < args.Length ? args[i + 1] : null;
            if (args[i] == "--listen" && value != null) {
                int colon = value.LastIndexOf(':');
                if (colon <= 0 || !int.TryParse(value.Substring(colon + 1), out options.Port))
                    throw new ArgumentException(usage);
                options.Host = value.Substring(0, colon).Trim('[', ']');
            } else if (args[i] == "--root" && value != null) {
                options.Root = value;
            } else {
                throw new ArgumentException(usage);
            }
            i++;
        }
        options.Root = Path.GetFullPath(options.Root);
        return options;
    }
}

static class Answers {
    public const string PlainTextType = "text/plain";
    public const string JsonType = "application/json";
    public static readonly byte[] PlainText = Encoding.ASCII.GetBytes("Hello, World!");

    // {"message":"Hello, World!"}, serialised for each request (the value escaped as JSON
    // requires) as the sample does; the caller encodes it as UTF-8 where it sends from.
    public static string Json() {
        return JsonObject("message", "Hello, World!");
    }

    static string JsonObject(string name, string value) {
        var s = new StringBuilder(name.Length + value.Length + 8);
        s.Append("{\"").Append(name).Append("\":\"");
        foreach (char ch in value) {
            if (ch == '"' || ch == '\\') s.Append('\\').Append(ch);
            else if (ch < ' ') s.Append("\\u").Append(((int)ch).ToString("x4"));
            else s.Append(ch);
        }
        return s.Append("\"}").ToString();
    }

    // A regular file under root for a request path (query already removed), or null. Segments
    // "." and ".." are refused rather than resolved; a directory means its index.html.
    public static string ResolveFile(string root, string path) {
        if (path.Length == 0 || path[0] != '/') return null;
        if (path.IndexOf('%') >= 0) path = Uri.UnescapeDataString(path);
        if (path.IndexOf('\0') >= 0) return null;
        foreach (string segment in path.Split('/'))
            if (segment == "." || segment == "..") return null;
        string full = root + path;
        if (File.Exists(full)) return full;
        if (Directory.Exists(full)) {
            string index = Path.Combine(full, "index.html");
            if (File.Exists(index)) return index;
        }
        return null;
    }

    public static string ContentType(string file) {
        switch (Path.GetExtension(file).ToLowerInvariant()) {
        case ".html": case ".htm": return "text/html";
        case ".txt": return "text/plain";
        case ".css": return "text/css";
        case ".js": return "application/javascript";
        case ".json": return "application/json";
        case ".png": return "image/png";
        case ".jpg": case ".jpeg": return "image/jpeg";
        default: return "application/octet-stream";
        }
    }
}

// A file to send: its validators, and its bytes when it is small enough to keep.
sealed class StaticFile {
    public string Path;
    public string Type;
    public long Length;
    public DateTime WriteTimeUtc;
    public string LastModified;
    public string ETag;
    public byte[] Body;        // null: read from Path for each request
    public long CheckedAt;     // Stopwatch timestamp of the last look at the file
}

// Small files kept in memory with their validators, as the sample keeps them: an entry is
// trusted for a second, then checked against the file's length and modification time.
static class FileCache {
    public const long FileMax = 64 * 1024;
    const int EntryLimit = 1024;
    static readonly long TrustTicks = Stopwatch.Frequency;
    static readonly ConcurrentDictionary<string, StaticFile> entries =
        new ConcurrentDictionary<string, StaticFile>(StringComparer.Ordinal);

    // The file for a request path, or null when there is none.
    public static StaticFile Find(string root, string path) {
        long now = Stopwatch.GetTimestamp();
        StaticFile cached;
        if (entries.TryGetValue(path, out cached) && now - Volatile.Read(ref cached.CheckedAt) < TrustTicks)
            return cached;
        string file = Answers.ResolveFile(root, path);
        if (file == null) {
            if (cached != null) entries.TryRemove(path, out cached);
            return null;
        }
        var info = new FileInfo(file);
        if (cached != null && cached.Path == file && cached.Length == info.Length &&
            cached.WriteTimeUtc == info.LastWriteTimeUtc) {
            Volatile.Write(ref cached.CheckedAt, now);
            return cached;
        }
        var found = new StaticFile {
            Path = file, Type = Answers.ContentType(file), Length = info.Length,
            WriteTimeUtc = info.LastWriteTimeUtc, CheckedAt = now,
            LastModified = info.LastWriteTimeUtc.ToString("r", CultureInfo.InvariantCulture),
            ETag = "\"" + info.LastWriteTimeUtc.Ticks.ToString("x") + "-" + info.Length.ToString("x") + "\"",
        };
        if (found.Length <= FileMax) {
            found.Body = File.ReadAllBytes(file);
            found.Length = found.Body.Length;
            if (entries.Count < EntryLimit || cached != null) entries[path] = found;
        }
        return found;
    }
}

// The Date header's value, formatted once a second rather than on every response.
static class HttpDate {
    static byte[] current = Format();
    // Held here so that the timer lives as long as the process.
    internal static readonly Timer Refresh = new Timer(_ => Volatile.Write(ref current, Format()), null, 1000, 1000);

    public static byte[] Current { get { return Volatile.Read(ref current); } }

    static byte[] Format() {
        return Encoding.ASCII.GetBytes(DateTime.UtcNow.ToString("r", CultureInfo.InvariantCulture));
    }
}

}
