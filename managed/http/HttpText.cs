// The fixed texts of responses: status lines, HTTP dates (the current second's formatted once),
// generated error pages; and the one check every response field passes.
using System;
using System.Collections.Concurrent;
using System.Globalization;
using System.Text;
using System.Threading;

namespace Vrns.Http
{
    public static class HttpDate
    {
        // The current second and its text, replaced together once a second.
        sealed class Stamp
        {
            public long Second;
            public byte[] Text;
        }

        static Stamp current = new Stamp { Second = -1 };
        static readonly DateTime Epoch = new DateTime(1970, 1, 1, 0, 0, 0, DateTimeKind.Utc);

        // "Sun, 06 Nov 1994 08:49:37 GMT" for now; the array is shared and never changes.
        internal static byte[] Now()
        {
            long second = (DateTime.UtcNow.Ticks - Epoch.Ticks) / TimeSpan.TicksPerSecond;
            Stamp s = Volatile.Read(ref current);
            if (s.Second == second) return s.Text;
            s = new Stamp { Second = second, Text = Encoding.ASCII.GetBytes(Format(second)) };
            Volatile.Write(ref current, s);
            return s.Text;
        }

        public static long NowSeconds()
        {
            return (DateTime.UtcNow.Ticks - Epoch.Ticks) / TimeSpan.TicksPerSecond;
        }

        public static string Format(long unixSeconds)
        {
            return Epoch.AddSeconds(unixSeconds).ToString("ddd, dd MMM yyyy HH:mm:ss 'GMT'", CultureInfo.InvariantCulture);
        }

        static readonly string[] Formats = {
            "ddd, dd MMM yyyy HH:mm:ss 'GMT'",  // IMF-fixdate
            "dddd, dd-MMM-yy HH:mm:ss 'GMT'",   // RFC 850
            "ddd MMM d HH:mm:ss yyyy",          // asctime (its padding taken as inner space)
        };

        // The three forms HTTP allows; false for anything else.
        public static bool TryParse(string text, out long unixSeconds)
        {
            DateTime t;
            unixSeconds = 0;
            if (!DateTime.TryParseExact(text, Formats, CultureInfo.InvariantCulture,
                                        DateTimeStyles.AdjustToUniversal | DateTimeStyles.AssumeUniversal |
                                            DateTimeStyles.AllowInnerWhite, out t))
                return false;
            unixSeconds = (t.Ticks - Epoch.Ticks) / TimeSpan.TicksPerSecond;
            return true;
        }
    }

    // What a response field may hold. A name is a token (RFC 9110 tchar). A value has no control
    // character but HTAB (a CR or LF would end the field and start another, or a second response:
    // response splitting; a NUL or the rest are refused by peers) and nothing above U+00FF: a
    // field is bytes, one per character, and such a character cut to a byte could become a CR or
    // LF (U+010A is 0x0A). Refused with ArgumentException, never cut or dropped.
    static class FieldText
    {
        public static void CheckName(string name)
        {
            if (name == null) throw new ArgumentNullException("name");
            if (name.Length == 0) throw new ArgumentException("an empty field name", "name");
            if (!HttpToken.IsToken(name)) throw new ArgumentException("the field name '" + name + "' is not a token", "name");
        }

        public static void CheckValue(string value)
        {
            if (value == null) throw new ArgumentNullException("value");
            foreach (char c in value)
                if ((c < ' ' && c != '\t') || c == 0x7f || c > 0xff)
                    throw new ArgumentException("a field value holds U+" + ((int)c).ToString("X4") +
                                                    " (a control character or one above U+00FF)",
                                                "value");
        }
    }

    // A server's status lines with its Server field ("HTTP/1.1 200 OK\r\nServer: vrns\r\nDate: "),
    // each made once.
    sealed class StatusLines
    {
        readonly ConcurrentDictionary<int, byte[]> lines = new ConcurrentDictionary<int, byte[]>();
        readonly string serverField;

        // server: the Server field's value; null or empty for none.
        public StatusLines(string server)
        {
            serverField = string.IsNullOrEmpty(server) ? "" : "Server: " + server + "\r\n";
        }

        public byte[] LineAndServer(int status)
        {
            byte[] line;
            if (lines.TryGetValue(status, out line)) return line;
            line = Latin1("HTTP/1.1 " + status + " " + StatusText.Reason(status) + "\r\n" + serverField + "Date: ");
            lines[status] = line;
            return line;
        }

        // One byte per character, as every field goes out (FieldText allows up to U+00FF).
        static byte[] Latin1(string s)
        {
            var b = new byte[s.Length];
            for (int i = 0; i < s.Length; i++) b[i] = (byte)s[i];
            return b;
        }
    }

    static class StatusText
    {
        static readonly ConcurrentDictionary<int, byte[]> pages = new ConcurrentDictionary<int, byte[]>();

        public static string Reason(int status)
        {
            switch (status) {
                case 100: return "Continue";
                case 200: return "OK";
                case 201: return "Created";
                case 202: return "Accepted";
                case 203: return "Non-Authoritative Information";
                case 204: return "No Content";
                case 205: return "Reset Content";
                case 206: return "Partial Content";
                case 301: return "Moved Permanently";
                case 302: return "Found";
                case 303: return "See Other";
                case 304: return "Not Modified";
                case 307: return "Temporary Redirect";
                case 308: return "Permanent Redirect";
                case 400: return "Bad Request";
                case 401: return "Unauthorized";
                case 403: return "Forbidden";
                case 404: return "Not Found";
                case 405: return "Method Not Allowed";
                case 408: return "Request Timeout";
                case 409: return "Conflict";
                case 410: return "Gone";
                case 411: return "Length Required";
                case 412: return "Precondition Failed";
                case 413: return "Payload Too Large";
                case 414: return "URI Too Long";
                case 415: return "Unsupported Media Type";
                case 416: return "Range Not Satisfiable";
                case 417: return "Expectation Failed";
                case 422: return "Unprocessable Entity";
                case 426: return "Upgrade Required";
                case 429: return "Too Many Requests";
                case 431: return "Request Header Fields Too Large";
                case 500: return "Internal Server Error";
                case 501: return "Not Implemented";
                case 502: return "Bad Gateway";
                case 503: return "Service Unavailable";
                case 504: return "Gateway Timeout";
                case 505: return "HTTP Version Not Supported";
                default: return "Unknown";
            }
        }

        // The small HTML page of a generated answer, as the native server writes it.
        public static byte[] Page(int status)
        {
            byte[] page;
            if (pages.TryGetValue(status, out page)) return page;
            string title = status + " " + Reason(status);
            page = Encoding.ASCII.GetBytes("<html><head><title>" + title + "</title></head><body><h1>" + title +
                                           "</h1></body></html>\n");
            pages[status] = page;
            return page;
        }
    }

    // Failures of handlers and of the server's callbacks go to standard error from a thread of
    // their own: a pump worker only queues the line, so a stalled standard error costs lines
    // (counted), never a worker.
    public static class ErrorLog
    {
        const int MaxQueued = 1000;
        static readonly ConcurrentQueue<string> queue = new ConcurrentQueue<string>();
        static readonly SemaphoreSlim ready = new SemaphoreSlim(0);
        static int queued, started;
        static long dropped;

        // Lines written and dropped, for tests and status pages.
        public static long Dropped
        {
            get { return Interlocked.Read(ref dropped); }
        }

        public static void Write(string line)
        {
            if (Interlocked.Increment(ref queued) > MaxQueued) {
                Interlocked.Decrement(ref queued);
                Interlocked.Increment(ref dropped);
                return;
            }
            if (Interlocked.Exchange(ref started, 1) == 0) {
                var writer = new Thread(Run) { IsBackground = true, Name = "vrns-http-errors" };
                writer.Start();
            }
            queue.Enqueue(line);
            ready.Release();
        }

        // Waits up to msec for the queue to empty (at exit).
        public static void Flush(int msec)
        {
            int deadline = Environment.TickCount + msec;
            while (Volatile.Read(ref queued) > 0 && Environment.TickCount - deadline < 0) Thread.Sleep(5);
        }

        static void Run()
        {
            while (true) {
                ready.Wait();
                string line;
                if (!queue.TryDequeue(out line)) continue;
                try {
                    Console.Error.WriteLine(line);
                } catch (Exception) {
                }
                Interlocked.Decrement(ref queued);
            }
        }
    }
}
