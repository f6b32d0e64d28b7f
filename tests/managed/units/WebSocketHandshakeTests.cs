// The opening handshake's decision: each refusal with its status and field, and the exact 101.
using System;
using System.Collections.Generic;
using System.Linq;
using System.Text;

namespace Vrns.Http.Units
{
    static class WebSocketHandshakeTests
    {
        const string SampleKey = "dGhlIHNhbXBsZSBub25jZQ==";  // RFC 6455's example
        const string SampleAccept = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";

        static readonly string[] Good = {
            "Upgrade: websocket", "Connection: Upgrade", "Sec-WebSocket-Key: " + SampleKey, "Sec-WebSocket-Version: 13",
        };

        // The good fields with those named in change replaced ("Name:" alone removes it) or added.
        static string[] With(params string[] change)
        {
            var names = change.Select(c => c.Substring(0, c.IndexOf(':'))).ToList();
            var kept = Good.Where(f => !names.Contains(f.Substring(0, f.IndexOf(':')))).ToList();
            kept.AddRange(change.Where(c => c.Trim().Length > c.IndexOf(':') + 1));
            return kept.ToArray();
        }

        static Func<string, IEnumerable<string>> Fields(string[] fields)
        {
            return name => fields.Where(f => string.Equals(f.Substring(0, f.IndexOf(':')), name, StringComparison.OrdinalIgnoreCase))
                               .Select(f => f.Substring(f.IndexOf(':') + 1).Trim());
        }

        // method, protocol, fields, status, the answer's fields ("Name: value" joined by "|").
        static readonly Tuple<string, string, string[], int, string>[] Rows = {
            Tuple.Create("POST", "HTTP/1.1", Good, 405, "Allow: GET"),
            Tuple.Create("GET", "HTTP/1.0", Good, 400, ""),
            Tuple.Create("GET", "HTTP/1.1", With("Upgrade:"), 426, "Upgrade: websocket"),
            Tuple.Create("GET", "HTTP/1.1", With("Upgrade: h2c"), 426, "Upgrade: websocket"),
            Tuple.Create("GET", "HTTP/1.1", With("Connection: keep-alive"), 400, ""),
            Tuple.Create("GET", "HTTP/1.1", With("Connection:"), 400, ""),
            Tuple.Create("GET", "HTTP/1.1", With("Sec-WebSocket-Version: 8"), 426, "Sec-WebSocket-Version: 13"),
            Tuple.Create("GET", "HTTP/1.1", With("Sec-WebSocket-Version:"), 426, "Sec-WebSocket-Version: 13"),
            Tuple.Create("GET", "HTTP/1.1", With("Sec-WebSocket-Version: 13", "Sec-WebSocket-Version: 8"), 426, "Sec-WebSocket-Version: 13"),
            Tuple.Create("GET", "HTTP/1.1", With("Sec-WebSocket-Key:"), 400, ""),
            Tuple.Create("GET", "HTTP/1.1", With("Sec-WebSocket-Key: " + SampleKey, "Sec-WebSocket-Key: " + SampleKey), 400, ""),
            Tuple.Create("GET", "HTTP/1.1", With("Sec-WebSocket-Key: AAAAAAAAAAAAAAAAAAAAAA="), 400, ""),  // 23 characters
            Tuple.Create("GET", "HTTP/1.1", With("Sec-WebSocket-Key: AAAAAAAAAAAAAAAAAAAAAAAA"), 400, ""),  // 18 bytes
            Tuple.Create("GET", "HTTP/1.1", With("Sec-WebSocket-Key: AAAAAAAAAAAAAAAAAAAA*A=="), 400, ""),
            Tuple.Create("GET", "HTTP/1.1", Good, 101, "Upgrade: websocket|Sec-WebSocket-Accept: " + SampleAccept),
            Tuple.Create("GET", "HTTP/1.1", With("Upgrade: h2c, WebSocket", "Connection: keep-alive, upgrade"), 101,
                         "Upgrade: websocket|Sec-WebSocket-Accept: " + SampleAccept),
        };

        [Test]
        static void AnswersEachRequest()
        {
            foreach (var row in Rows) {
                string what = row.Item1 + " " + row.Item2 + " " + string.Join(" / ", row.Item3);
                WebSocketHandshake h = WebSocketHandshake.Check(row.Item1, row.Item2, Fields(row.Item3), null);
                Check.Equal(row.Item4, h.Status, what);
                Check.Equal(row.Item5, string.Join("|", h.FieldNames.Zip(h.FieldValues, (n, v) => n + ": " + v)), what + " fields");
            }
        }

        [Test]
        static void AgreesOnASubprotocol()
        {
            string[] offered = With("Sec-WebSocket-Protocol: chat, superchat");
            Check.Throws<ArgumentException>(() => WebSocketHandshake.Check("GET", "HTTP/1.1", Fields(offered), "mqtt"), "a subprotocol not offered");
            WebSocketHandshake h = WebSocketHandshake.Check("GET", "HTTP/1.1", Fields(offered), "superchat");
            Check.Equal("HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Accept: " +
                            SampleAccept + "\r\nSec-WebSocket-Protocol: superchat\r\n\r\n",
                        Encoding.ASCII.GetString(h.SwitchingProtocolsHead()), "the 101 head");
        }
    }
}
