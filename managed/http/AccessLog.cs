// The access log, in the native server's format (the common log format):
//
//   127.0.0.1 - - [07/Dec/2026:08:33:42 +0000] "GET / HTTP/1.1" 200 1234
//
// the peer, the local time, the request line as sent (quotes, backslashes, control bytes and
// bytes above 0x7E as \xHH, so that no request can forge or break a line; "-" when there was no
// request line to log), the status, and the body bytes sent ("-" for none). One line per
// response, formatted where the response completes into a buffer of the thread's own and queued
// to a LineWriter: a log that stalls costs lines (counted, and reported on standard error once
// it moves again), never a worker or a handler.
using System;
using System.Globalization;
using System.IO;
using System.Text;
using System.Threading;

namespace Vrns.Http
{
    sealed class AccessLog
    {
        // The native server's: a megabyte of lines waits for a slow destination.
        public const int DefaultBufferBytes = 1 << 20;
        const string HexDigits = "0123456789abcdef";

        // The current second's "[07/Dec/2026:08:33:42 +0000] \"", replaced once a second.
        sealed class Stamp
        {
            public long Second;
            public byte[] Text;
        }

        static Stamp stamp = new Stamp { Second = -1 };
        [ThreadStatic] static byte[] scratch;

        readonly LineWriter writer;

        AccessLog(int fd, int bufferBytes)
        {
            writer = new LineWriter(fd, bufferBytes, n => ErrorLog.Write("vrns-http: the access log fell behind; " + n + " lines dropped"),
                                    "vrns-http-access-log");
        }

        // "-": standard output; "off" or null: no log; else a file, appended to (made 0644).
        // Throws IOException naming the file when it cannot be opened.
        public static AccessLog Open(string where, int bufferBytes)
        {
            if (where == null || where == "off") return null;
            if (where == "-") return new AccessLog(1, bufferBytes);
            int errno;
            int fd = Posix.OpenAppend(where, out errno);
            if (fd < 0) throw new IOException("cannot open the access log '" + where + "': errno " + errno);
            return new AccessLog(fd, bufferBytes);
        }

        // One response's line. head: the request's, or null when it has none to log.
        public void Write(string peer, HeadParser head, byte[] input, int status, long bytes)
        {
            byte[] b;
            int at = Begin(peer, head, input, status, bytes, 0, out b);
            b[at++] = (byte)'\n';
            writer.Append(b, at);
        }

        // A WebSocket session's line once it ended: the 101 and the bytes sent (frames, heads
        // included) as a response's, then " in=" the bytes received and " ms=" its length.
        public void WriteSession(string peer, HeadParser head, byte[] input, long bytesOut, long bytesIn, long msec)
        {
            byte[] b;
            int at = Begin(peer, head, input, 101, bytesOut, 48, out b);
            at = Ascii.Put(b, at, " in=");
            at = Ascii.PutDecimal(b, at, bytesIn);
            at = Ascii.Put(b, at, " ms=");
            at = Ascii.PutDecimal(b, at, msec);
            b[at++] = (byte)'\n';
            writer.Append(b, at);
        }

        // The common part of a line, up to the bytes; room for more besides.
        int Begin(string peer, HeadParser head, byte[] input, int status, long bytes, int more, out byte[] b)
        {
            b = Scratch(peer.Length + (head != null ? head.TargetLength * 4 + 64 : 0) + 96 + more);
            int at = Ascii.Put(b, 0, peer);
            at = Ascii.Put(b, at, " - - ");
            at = Ascii.Put(b, at, CurrentStamp());
            if (head == null) {
                at = Ascii.Put(b, at, "-");
            } else {
                at = Ascii.Put(b, at, head.Method);
                b[at++] = (byte)' ';
                for (int i = head.TargetAt; i < head.TargetAt + head.TargetLength; i++) at = PutEscaped(b, at, input[i]);
                at = Ascii.Put(b, at, head.VersionMinor == 0 ? " HTTP/1.0" : " HTTP/1.1");
            }
            at = Ascii.Put(b, at, "\" ");
            at = Ascii.PutDecimal(b, at, status);
            b[at++] = (byte)' ';
            return bytes > 0 ? Ascii.PutDecimal(b, at, bytes) : Ascii.Put(b, at, "-");
        }

        // At exit: up to msec for the lines queued, then the count of those dropped in all.
        public void Finish(int msec)
        {
            writer.Flush(msec);
            long dropped = writer.Dropped;
            if (dropped > 0) ErrorLog.Write("vrns-http: " + dropped + " access log lines dropped in all");
        }

        static int PutEscaped(byte[] b, int at, byte c)
        {
            if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
                b[at] = c;
                return at + 1;
            }
            b[at] = (byte)'\\';
            b[at + 1] = (byte)'x';
            b[at + 2] = (byte)HexDigits[c >> 4];
            b[at + 3] = (byte)HexDigits[c & 15];
            return at + 4;
        }

        static byte[] Scratch(int size)
        {
            byte[] b = scratch;
            if (b == null || b.Length < size) scratch = b = new byte[Math.Max(size, 1024)];
            return b;
        }

        static byte[] CurrentStamp()
        {
            long second = HttpDate.NowSeconds();
            Stamp s = Volatile.Read(ref stamp);
            if (s.Second == second) return s.Text;
            s = new Stamp { Second = second, Text = Encoding.ASCII.GetBytes(Format(second)) };
            Volatile.Write(ref stamp, s);
            return s.Text;
        }

        // "[07/Dec/2026:08:33:42 +0100] \"" in local time, as strftime's %z gives the offset.
        internal static string Format(long unixSeconds)
        {
            DateTime utc = new DateTime(1970, 1, 1, 0, 0, 0, DateTimeKind.Utc).AddSeconds(unixSeconds);
            TimeSpan offset = TimeZoneInfo.Local.GetUtcOffset(utc);
            DateTime local = utc + offset;
            int minutes = (int)Math.Abs(offset.TotalMinutes);
            return "[" + local.ToString("dd/MMM/yyyy:HH:mm:ss", CultureInfo.InvariantCulture) + " " +
                   (offset < TimeSpan.Zero ? "-" : "+") + (minutes / 60).ToString("00") + (minutes % 60).ToString("00") + "] \"";
        }
    }
}
