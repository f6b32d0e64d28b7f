// What the TechEmpower test types answer, independent of the server they run on: the count
// parameter's rule, the message object and the fortunes page. The vrns application
// (TechEmpower.cs) and the HttpListener peer of the benchmark share it, and VrnsHttp's Json and
// HtmlEncoder, so the two differ only in the server underneath.
using System.Collections.Generic;
using System.Text;
using Vrns.Http;

namespace Vrns.Samples.TechEmpower
{
    // {"message":"Hello, World!"}, made and serialised for each request as the test type asks.
    public sealed class HelloMessage
    {
        public string Message { get; set; }
    }

    public static class Render
    {
        public const int MostQueries = 500;
        public const string AddedFortune = "Additional fortune added at request time.";

        // The queries (or count) parameter: a number clamped to 1..500; missing or not a number: 1.
        public static int QueryCount(string value)
        {
            int n;
            if (value == null || !int.TryParse(value, out n) || n < 1) return 1;
            return n > MostQueries ? MostQueries : n;
        }

        // The rows from the database plus one added now, sorted by message (ordinal: the order of
        // the UTF-16 code units, which is the order TechEmpower's check expects), as a table.
        public static string FortunesPage(List<Fortune> fortunes)
        {
            fortunes.Add(new Fortune { Id = 0, Message = AddedFortune });
            fortunes.Sort((a, b) => string.CompareOrdinal(a.Message, b.Message));
            var s = new StringBuilder(1600);
            s.Append("<!DOCTYPE html><html><head><title>Fortunes</title></head><body><table>" +
                     "<tr><th>id</th><th>message</th></tr>");
            foreach (Fortune f in fortunes) {
                s.Append("<tr><td>").Append(f.Id).Append("</td><td>");
                HtmlEncoder.Encode(s, f.Message);
                s.Append("</td></tr>");
            }
            return s.Append("</table></body></html>").ToString();
        }
    }
}
