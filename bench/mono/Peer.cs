// What the two Mono peers of the managed benchmark share: the command line, the two fixed
// answers, the files under --root and a cached Date, so that both do the work the managed
// sample does and differ only in the networking they are built on.
using System;
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
    public static readonly byte[] Json = Encoding.ASCII.GetBytes("{\"message\":\"Hello, World!\"}");

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
