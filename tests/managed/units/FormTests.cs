// Forms read from a body stream: urlencoded and multipart, files spooled past the threshold and
// released with the form, each limit (413) and each malformation (400), the server's body budget
// taken (503 past it) and given back whichever way the read ends; every valid body is also read
// one byte per read, so a delimiter, a header line or a pair splits at every byte.
using System;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace Vrns.Http.Units
{
    static class FormTests
    {
        const string Multipart = "multipart/form-data; boundary=XyZ";
        const string UrlEncoded = "application/x-www-form-urlencoded";
        static readonly TimeSpan Deadline = TimeSpan.FromSeconds(30);

        // A body that arrives in pieces of at most `piece` bytes; ReadAsync only, as the request's.
        sealed class PieceStream : PieceStreamBase
        {
            readonly byte[] data;
            readonly int piece;
            int pos;

            public PieceStream(byte[] data, int piece)
            {
                this.data = data;
                this.piece = piece;
            }

            public override Task<int> ReadAsync(byte[] buffer, int offset, int count, CancellationToken token)
            {
                int n = Math.Min(Math.Min(piece, count), data.Length - pos);
                Buffer.BlockCopy(data, pos, buffer, offset, n);
                pos += n;
                return Task.FromResult(n);
            }
        }

        // A request body's shape: read-only, ReadAsync only.
        abstract class PieceStreamBase : Stream
        {
            public override int Read(byte[] buffer, int offset, int count)
            {
                throw new NotSupportedException("a synchronous read of a request body");
            }

            public override bool CanRead { get { return true; } }
            public override bool CanSeek { get { return false; } }
            public override bool CanWrite { get { return false; } }
            public override long Length { get { throw new NotSupportedException(); } }
            public override long Position { get { throw new NotSupportedException(); } set { throw new NotSupportedException(); } }
            public override void Flush() { }
            public override long Seek(long offset, SeekOrigin origin) { throw new NotSupportedException(); }
            public override void SetLength(long value) { throw new NotSupportedException(); }
            public override void Write(byte[] buffer, int offset, int count) { throw new NotSupportedException(); }
        }

        // The form, or null with the refusal's status (0: something else went wrong, reported).
        static FormCollection Read(string body, string contentType, FormOptions options, int piece, out int status, string what,
                                   BudgetShare share = null)
        {
            status = 0;
            Task<FormCollection> task = FormReader.ReadAsync(new PieceStream(Encoding.UTF8.GetBytes(body), piece), contentType,
                                                             options ?? FormOptions.Default, CancellationToken.None, share);
            try {
                if (task.Wait(Deadline)) return task.Result;
                Check.Fail(what + ": no result within the deadline");
            } catch (AggregateException e) {
                var refused = e.InnerException as BadRequestBodyException;
                if (refused != null)
                    status = refused.Status;
                else
                    Check.Fail(what + ": threw " + e.InnerException);
            }
            return null;
        }

        // "name=value" for every field, then "name:filename:type:content" for every file.
        static string Show(FormCollection form)
        {
            var parts = form.Select(p => p.Key + "=" + p.Value).ToList();
            foreach (FormFile f in form.Files) {
                using (var reader = new StreamReader(f.OpenReadStream(), Encoding.UTF8))
                    parts.Add(f.Name + ":" + f.FileName + ":" + f.ContentType + ":" + reader.ReadToEnd());
            }
            return string.Join(" ", parts);
        }

        static string Part(string disposition, string content, string type = null)
        {
            return "--XyZ\r\nContent-Disposition: " + disposition + "\r\n" + (type == null ? "" : "Content-Type: " + type + "\r\n") +
                   "\r\n" + content + "\r\n";
        }

        const string End = "--XyZ--";

        // Content-Type, body, what the form shows.
        static readonly string[][] Valid = {
            new[] { UrlEncoded, "a=1&b=x+y%21&a=2", "a=1 b=x y! a=2" },
            new[] { UrlEncoded + "; charset=UTF-8", "&&n=%E2%82%AC&&", "n=\u20ac" },
            new[] { "Application/X-WWW-Form-URLEncoded", "", "" },
            new[] { Multipart,
                    "preamble\r\n" + Part("form-data; name=\"a\"", "1") + Part("form-data; name=\"f\"; filename=\"t.txt\"", "hi\r\nthere", "text/plain") +
                        End + "\r\nepilogue",
                    "a=1 f:t.txt:text/plain:hi\r\nthere" },
            new[] { Multipart, Part("form-data; name=a", "") + End, "a=" },
            new[] { "multipart/form-data; boundary=\"a b:c\"", "--a b:c\r\nContent-Disposition: form-data; name=x\r\n\r\n1\r\n--a b:c--",
                    "x=1" },
            new[] { Multipart, "--XyZ \t\r\nContent-Disposition: form-data; name=x\r\n\r\n1\r\n--XyZ--", "x=1" },  // padding
            new[] { Multipart, Part("form-data; name=x", "a--XyZb") + End, "x=a--XyZb" },  // no CRLF before it: data
            new[] { Multipart, Part("form-data; name=x", "\r\n--Xy\r\n-") + End, "x=\r\n--Xy\r\n-" },  // a delimiter's start only
            new[] { Multipart, Part("form-data; name=\"f\"; filename=\"\"", "", "application/octet-stream") + End,
                    "f::application/octet-stream:" },  // an empty file input
            new[] { Multipart, Part("form-data; name=\"f\"; filename=\"\u00e9t\u00e9 a\\b.txt\"", "x") + End, "f:\u00e9t\u00e9 a\\b.txt::x" },
            new[] { Multipart, Part("form-data; name=\"f\"; filename*=UTF-8''a.txt", "x") + End, "f=x" },  // filename* unsupported
            new[] { Multipart, "--XyZ\r\nX-Other: 1\r\ncontent-disposition: Form-Data; name=\"x\"\r\n\r\n2\r\n" + End, "x=2" },
        };

        [Test]
        static void ReadsFormsInAnyPieces()
        {
            foreach (string[] row in Valid) {
                foreach (int piece in new[] { 1 << 20, 1 }) {
                    string what = Check.Escape(row[1]) + " in pieces of " + piece;
                    int status;
                    using (FormCollection form = Read(row[1], row[0], null, piece, out status, what)) {
                        if (form == null) {
                            Check.Fail(what + ": refused with " + status);
                            continue;
                        }
                        Check.Equal(row[2], Show(form), what);
                    }
                }
            }
        }

        // Content-Type, body, options, status.
        static readonly Tuple<string, string, FormOptions, int>[] Refused = {
            Tuple.Create(Multipart, Part("form-data; name=a", "1"), (FormOptions)null, 400),  // no close delimiter
            Tuple.Create(Multipart, Part("form-data; name=a", "1") + "--XyZjunk\r\n", (FormOptions)null, 400),
            // A delimiter ends with CRLF, never CR or LF alone, after its padding or without.
            Tuple.Create(Multipart, "--XyZ\nContent-Disposition: form-data; name=a\r\n\r\n1\r\n" + End, (FormOptions)null, 400),
            Tuple.Create(Multipart, "--XyZ\rContent-Disposition: form-data; name=a\r\n\r\n1\r\n" + End, (FormOptions)null, 400),
            Tuple.Create(Multipart, "--XyZ \nContent-Disposition: form-data; name=a\r\n\r\n1\r\n" + End, (FormOptions)null, 400),
            Tuple.Create(Multipart, "--XyZ\t\rContent-Disposition: form-data; name=a\r\n\r\n1\r\n" + End, (FormOptions)null, 400),
            Tuple.Create(Multipart, Part("form-data; name=a", "1") + "--XyZ\nContent-Disposition: form-data; name=b\r\n\r\n2\r\n" + End,
                         (FormOptions)null, 400),
            Tuple.Create(Multipart, Part("form-data; name=a", "1") + "--XyZ\r\rContent-Disposition: form-data; name=b\r\n\r\n2\r\n" + End,
                         (FormOptions)null, 400),
            Tuple.Create(Multipart, "--XyZ\r\nContent-Disposition form-data; name=a\r\n\r\n1\r\n" + End, (FormOptions)null, 400),
            Tuple.Create(Multipart, "--XyZ\r\nContent-Type: text/plain\r\n\r\n1\r\n" + End, (FormOptions)null, 400),
            Tuple.Create(Multipart, Part("attachment; name=a", "1") + End, (FormOptions)null, 400),
            Tuple.Create(Multipart, Part("form-data; filename=a", "1") + End, (FormOptions)null, 400),
            Tuple.Create(Multipart, Part("form-data; name=a; name=b", "1") + End, (FormOptions)null, 400),
            Tuple.Create(Multipart, "--XyZ\r\nContent-Disposition: form-data; name=a\r\nContent-Disposition: form-data; name=b\r\n\r\n1\r\n" + End,
                         (FormOptions)null, 400),
            Tuple.Create(Multipart, "--XyZ\r\nContent-Disposition: form-data; name=a\x01\r\n\r\n1\r\n" + End, (FormOptions)null, 400),
            Tuple.Create(Multipart, Part("form-data; name=\"a", "1") + End, (FormOptions)null, 400),
            Tuple.Create("multipart/form-data", End, (FormOptions)null, 400),
            Tuple.Create("multipart/form-data; boundary=" + new string('b', 71), End, (FormOptions)null, 400),
            Tuple.Create("multipart/form-data; boundary=\"a \"", End, (FormOptions)null, 400),
            Tuple.Create("multipart/form-data; boundary=a;boundary=b", End, (FormOptions)null, 400),
            Tuple.Create("text/plain", "a=1", (FormOptions)null, 415),
            Tuple.Create((string)null, "a=1", (FormOptions)null, 415),
            Tuple.Create(Multipart, Part("form-data; name=a", "1") + Part("form-data; name=b", "2") + End, new FormOptions { MaxParts = 1 }, 413),
            Tuple.Create(UrlEncoded, "a=1&b=2&c", new FormOptions { MaxParts = 2 }, 413),
            Tuple.Create(Multipart, Part("form-data; name=a", "1234") + End, new FormOptions { MaxFieldBytes = 3 }, 413),
            Tuple.Create(UrlEncoded, "a=12&b=123", new FormOptions { MaxFieldBytes = 4 }, 413),
            Tuple.Create(Multipart, Part("form-data; name=a; x=" + new string('x', 40), "1") + End, new FormOptions { MaxPartHeaderBytes = 64 }, 413),
            Tuple.Create(Multipart, "--XyZ\r\n" + string.Concat(Enumerable.Repeat("X: 1\r\n", 20)) + "Content-Disposition: form-data; name=a\r\n\r\n1\r\n" + End,
                         new FormOptions { MaxPartHeaderBytes = 100 }, 413),
            Tuple.Create(Multipart, Part("form-data; name=a", "1") + End, new FormOptions { MaxTotalBytes = 30 }, 413),
            Tuple.Create(UrlEncoded, "a=123456789", new FormOptions { MaxTotalBytes = 10 }, 413),
        };

        [Test]
        static void RefusesMalformedAndOverLimit()
        {
            foreach (var row in Refused) {
                foreach (int piece in new[] { 1 << 20, 1 }) {
                    string what = (row.Item1 ?? "no type") + ": " + Check.Escape(row.Item2) + " in pieces of " + piece;
                    int status;
                    FormCollection form = Read(row.Item2, row.Item1, row.Item3, piece, out status, what);
                    if (form != null) {
                        Check.Fail(what + ": accepted as " + Show(form));
                        form.Dispose();
                        continue;
                    }
                    Check.Equal(row.Item4, status, what);
                }
            }
        }

        // A body that gives its first bytes, then fails as a read does when the client goes.
        sealed class VanishingStream : PieceStreamBase
        {
            readonly byte[] data;
            bool given;

            public VanishingStream(byte[] data)
            {
                this.data = data;
            }

            public override Task<int> ReadAsync(byte[] buffer, int offset, int count, CancellationToken token)
            {
                if (given) return Task.FromException<int>(new ConnectionLostException("the connection failed"));
                given = true;
                int n = Math.Min(count, data.Length);
                Buffer.BlockCopy(data, 0, buffer, offset, n);
                return Task.FromResult(n);
            }
        }

        // Fields of 900 bytes each, about 270 KiB in all: urlencoded, and multipart.
        static readonly string[] Fields = Enumerable.Range(0, 300).Select(i => "f" + i).ToArray();
        static readonly string UrlEncodedFields = string.Join("&", Fields.Select(f => f + "=" + new string('v', 900)));
        static readonly string MultipartFields = string.Concat(Fields.Select(f => Part("form-data; name=" + f, new string('v', 900)))) + End;

        [Test]
        static void FormsHoldTheBodyBudgetAndGiveItBack()
        {
            foreach (var kind in new[] { Tuple.Create(UrlEncoded, UrlEncodedFields), Tuple.Create(Multipart, MultipartFields) }) {
                string what = kind.Item1;
                var budget = new BodyBudget(1 << 20);
                int status;
                FormCollection form = Read(kind.Item2, kind.Item1, null, 1 << 20, out status, what, new BudgetShare(budget));
                Check.True(form != null, what + ": read");
                Check.True(budget.Used >= 300 * 900, what + ": its fields are held, " + budget.Used);
                if (form != null) form.Dispose();
                Check.Equal(0L, budget.Used, what + ": given back with the form");
                if (form != null) form.Dispose();
                Check.Equal(0L, budget.Used, what + ": given back once");

                var small = new BodyBudget(100 << 10);
                Check.Equal(null, Read(kind.Item2, kind.Item1, null, 1 << 20, out status, what, new BudgetShare(small)), what + ": past the budget");
                Check.Equal(503, status, what + ": past the budget");
                Check.Equal(0L, small.Used, what + ": given back after 503");

                var options = new FormOptions { MaxTotalBytes = 200 << 10 };
                Check.Equal(null, Read(kind.Item2, kind.Item1, options, 1 << 20, out status, what, new BudgetShare(budget)), what + ": too large");
                Check.Equal(413, status, what + ": too large");
                Check.Equal(0L, budget.Used, what + ": given back after 413");

                if (kind.Item1 == Multipart) {  // nothing urlencoded is malformed
                    string cut = kind.Item2.Substring(0, kind.Item2.Length - End.Length);
                    Check.Equal(null, Read(cut, kind.Item1, null, 1 << 20, out status, what, new BudgetShare(budget)), what + ": malformed");
                    Check.Equal(400, status, what + ": malformed");
                    Check.Equal(0L, budget.Used, what + ": given back after 400");
                }

                var vanishing = new VanishingStream(Encoding.UTF8.GetBytes(kind.Item2.Substring(0, 200 << 10)));
                Task<FormCollection> read = FormReader.ReadAsync(vanishing, kind.Item1, FormOptions.Default, CancellationToken.None,
                                                                 new BudgetShare(budget));
                Check.Throws<AggregateException>(() => read.Wait(Deadline), what + ": the client went");
                Check.Equal(0L, budget.Used, what + ": given back when the client went");
            }
        }

        // A file part moves to its temporary file with the room its array held.
        [Test]
        static void SpooledFilePartGivesItsRoomBack()
        {
            string dir = Path.Combine(Path.GetTempPath(), "vrns-form-test-" + Guid.NewGuid().ToString("N"));
            Directory.CreateDirectory(dir);
            try {
                var budget = new BodyBudget(1 << 20);
                var options = new FormOptions { SpoolThresholdBytes = 4096, TempDirectory = dir, MaxTotalBytes = 1 << 20 };
                string body = Part("form-data; name=\"up\"; filename=\"big.bin\"", new string('z', 300000)) + End;
                int status;
                FormCollection form = Read(body, Multipart, options, 1 << 20, out status, "a spooled file", new BudgetShare(budget));
                Check.True(form != null && form.Files["up"].Content.InFile, "spooled");
                Check.True(budget.Used < 4096, "the file's array is given back once in its file: " + budget.Used);
                if (form != null) form.Dispose();
                Check.Equal(0L, budget.Used, "given back with the form");
            } finally {
                Directory.Delete(dir, true);
            }
        }

        // This process's open descriptors of files in dir (named or not: find matches the link's
        // text, "dir/#123 (deleted)" for a file without a name).
        static int OpenFilesIn(string dir)
        {
            var find = new ProcessStartInfo("find", "/proc/" + Process.GetCurrentProcess().Id + "/fd -lname " + dir + "/*") {
                UseShellExecute = false, RedirectStandardOutput = true,
            };
            using (Process p = Process.Start(find)) {
                string output = p.StandardOutput.ReadToEnd();
                if (!p.WaitForExit((int)Deadline.TotalMilliseconds)) Check.Fail("find did not finish");
                return output.Split(new[] { '\n' }, StringSplitOptions.RemoveEmptyEntries).Length;
            }
        }

        [Test]
        static void SpoolsLargeFilesAndReleasesThem()
        {
            string dir = Path.Combine(Path.GetTempPath(), "vrns-form-test-" + Guid.NewGuid().ToString("N"));
            Directory.CreateDirectory(dir);
            try {
                const int Size = 100003;
                string content = new string('z', Size - 1) + "!";
                var options = new FormOptions { SpoolThresholdBytes = 4096, TempDirectory = dir, MaxTotalBytes = 1 << 20 };
                string body = Part("form-data; name=\"up\"; filename=\"big.bin\"", content, "application/octet-stream") + End;
                int status;
                FormCollection form = Read(body, Multipart, options, 1 << 20, out status, "a large file");
                if (form == null) {
                    Check.Fail("a large file: refused with " + status);
                    return;
                }
                FormFile file = form.Files["up"];
                Check.True(file.Content.InFile, "spooled past the threshold");
                Check.Equal((long)Size, file.Length, "length");
                Check.Equal(0, Directory.GetFileSystemEntries(dir).Length, "the spooled file has no name");
                using (var reader = new StreamReader(file.OpenReadStream())) Check.True(reader.ReadToEnd() == content, "content read back");
                Check.Equal(1, OpenFilesIn(dir), "the spooled file is open");
                form.Dispose();
                Check.Equal(0, OpenFilesIn(dir), "the spooled file is closed with the form");
                Check.Throws<ObjectDisposedException>(() => file.OpenReadStream(), "a file read after the form was disposed");

                options.MaxTotalBytes = Size + 50;  // refused at the end, after the file was spooled
                Check.Equal(null, Read(body, Multipart, options, 1 << 20, out status, "a refused large file"), "a refused large file");
                Check.Equal(413, status, "a refused large file");
                Check.Equal(0, OpenFilesIn(dir), "the spooled file of a refused form is closed");
            } finally {
                Directory.Delete(dir, true);
            }
        }
    }
}
