// The opening handshake's decision (RFC 6455 section 4.2), from the request alone. Checked in
// this order, each failure with its answer:
//   method not GET                                  405, Allow: GET
//   not HTTP/1.1                                    400
//   no "websocket" among the Upgrade tokens         426, Upgrade: websocket
//   no "upgrade" among the Connection tokens        400
//   Sec-WebSocket-Version absent or not 13          426, Sec-WebSocket-Version: 13
//   Sec-WebSocket-Key absent, repeated, or not 16 bytes in base64    400
// Accepted: 101 with Sec-WebSocket-Accept, base64(SHA-1(key + the protocol's GUID)), and the
// subprotocol the application chose, which must be one the client offered. No extension is
// ever agreed (so reserved bits stay refused). Pure; any thread.
using System;
using System.Collections.Generic;
using System.Security.Cryptography;
using System.Text;

namespace Vrns.Http
{
    public sealed class WebSocketHandshake
    {
        const string AcceptGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
        const int KeyBytes = 16, KeyLength = 24;

        // 101 when accepted, else the refusal's status.
        public readonly int Status;
        // The fields the answer carries besides the server's own (names and values in order).
        public readonly string[] FieldNames, FieldValues;
        public readonly string SubProtocol;

        WebSocketHandshake(int status, string subProtocol, params string[] fields)
        {
            Status = status;
            SubProtocol = subProtocol;
            FieldNames = new string[fields.Length / 2];
            FieldValues = new string[fields.Length / 2];
            for (int i = 0; i < FieldNames.Length; i++) {
                FieldNames[i] = fields[2 * i];
                FieldValues[i] = fields[2 * i + 1];
            }
        }

        // A handshake from a page whose origin the server does not allow.
        internal static readonly WebSocketHandshake ForbiddenOrigin = new WebSocketHandshake(403, null);

        public bool Accepted
        {
            get { return Status == 101; }
        }

        // fieldValues(name): every value of the request's field name, in order (none: empty).
        // subProtocol: the application's choice (null: none); ArgumentException when the client
        // did not offer it.
        public static WebSocketHandshake Check(string method, string protocol, Func<string, IEnumerable<string>> fieldValues,
                                               string subProtocol)
        {
            if (method != "GET") return new WebSocketHandshake(405, null, "Allow", "GET");
            if (protocol != "HTTP/1.1") return new WebSocketHandshake(400, null);
            if (!HasToken(fieldValues("Upgrade"), "websocket"))
                return new WebSocketHandshake(426, null, "Upgrade", "websocket");
            if (!HasToken(fieldValues("Connection"), "upgrade")) return new WebSocketHandshake(400, null);
            if (!IsOnly(fieldValues("Sec-WebSocket-Version"), "13"))
                return new WebSocketHandshake(426, null, "Sec-WebSocket-Version", "13");
            string key = Single(fieldValues("Sec-WebSocket-Key"));
            if (key == null || !IsKey(key)) return new WebSocketHandshake(400, null);
            if (subProtocol != null && !HasToken(fieldValues("Sec-WebSocket-Protocol"), subProtocol))
                throw new ArgumentException("the client did not offer the subprotocol " + subProtocol, "subProtocol");
            if (subProtocol == null)
                return new WebSocketHandshake(101, null, "Upgrade", "websocket", "Sec-WebSocket-Accept", AcceptFor(key));
            return new WebSocketHandshake(101, subProtocol, "Upgrade", "websocket", "Sec-WebSocket-Accept", AcceptFor(key),
                                          "Sec-WebSocket-Protocol", subProtocol);
        }

        public static string AcceptFor(string key)
        {
            using (var sha1 = SHA1.Create())
                return Convert.ToBase64String(sha1.ComputeHash(Encoding.ASCII.GetBytes(key + AcceptGuid)));
        }

        // The whole 101 answer, as the connection writes it before the first frame.
        public byte[] SwitchingProtocolsHead()
        {
            if (!Accepted) throw new InvalidOperationException("the handshake was refused");
            var b = new StringBuilder("HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\n");
            for (int i = 0; i < FieldNames.Length; i++) b.Append(FieldNames[i]).Append(": ").Append(FieldValues[i]).Append("\r\n");
            return Encoding.ASCII.GetBytes(b.Append("\r\n").ToString());
        }

        // Whether a comma-separated list in any of the values holds token (without case).
        static bool HasToken(IEnumerable<string> values, string token)
        {
            foreach (string value in values)
                foreach (string item in value.Split(','))
                    if (string.Equals(item.Trim(' ', '\t'), token, StringComparison.OrdinalIgnoreCase)) return true;
            return false;
        }

        static bool IsOnly(IEnumerable<string> values, string expected)
        {
            string value = Single(values);
            return value != null && value == expected;
        }

        // The one value, trimmed; null when there is none or more than one.
        static string Single(IEnumerable<string> values)
        {
            string found = null;
            foreach (string value in values) {
                if (found != null) return null;
                found = value.Trim(' ', '\t');
            }
            return found;
        }

        // 24 base64 characters for 16 bytes (so ending in "==").
        static bool IsKey(string key)
        {
            if (key.Length != KeyLength || !key.EndsWith("==", StringComparison.Ordinal)) return false;
            for (int i = 0; i < KeyLength - 2; i++) {
                char c = key[i];
                bool alnum = (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
                if (!alnum && c != '+' && c != '/') return false;
            }
            return Convert.FromBase64String(key).Length == KeyBytes;
        }
    }
}
