// The WebSocket frame format (RFC 6455 section 5): FrameReader takes a client's frame heads a
// byte at a time as they arrive and holds each to the rules a server must enforce, FrameWriter
// makes the server's (unmasked) heads and control frames.
//
// FrameReader refuses, with the close code to send: a reserved bit set (no extension is ever
// agreed), an unknown opcode, an unmasked frame, a control frame fragmented or over 125 bytes,
// a continuation with no message open or a new message inside one, a 64-bit length with its top
// bit set (1002 ProtocolError); a frame over MaxFrameBytes or a message whose frames add up to
// more than MaxMessageBytes (1009 MessageTooBig). Not thread-safe: one receive at a time.
using System;
using System.Net.WebSockets;
using System.Text;

namespace Vrns.Http
{
    static class Opcode
    {
        public const int Continuation = 0, Text = 1, Binary = 2, Close = 8, Ping = 9, Pong = 10;

        public static bool IsControl(int opcode)
        {
            return opcode >= Close;
        }
    }

    sealed class FrameReader
    {
        const int MaxControlPayload = 125;
        const int Fin = 0x80, Reserved = 0x70, OpcodeBits = 0x0F, Masked = 0x80, Length7 = 0x7F;
        const int Length16 = 126, Length64 = 127, MaskBytes = 4;

        readonly long maxFrame, maxMessage;
        readonly byte[] head = new byte[2 + 8 + MaskBytes];
        readonly byte[] mask = new byte[MaskBytes];
        int got;  // bytes of the current head so far
        long messageBytes;
        bool inMessage;

        // The last complete head.
        public bool IsFinal;
        public int FrameOpcode;
        public long Length;
        // The data opcode (Text or Binary) of the message the last data frame belongs to.
        public int MessageOpcode;
        // Set when a rule is broken: the close code to send.
        public WebSocketCloseStatus Error;
        int maskAt;  // the payload offset so far, mod 4

        public FrameReader(long maxFrameBytes, long maxMessageBytes)
        {
            maxFrame = maxFrameBytes;
            maxMessage = maxMessageBytes;
        }

        public bool Failed
        {
            get { return Error != 0; }
        }

        // Takes head bytes from b[pos..end); true once a whole head is in and obeys the rules.
        // False when more bytes are needed, or (Failed) when a rule is broken.
        public bool TakeHead(byte[] b, ref int pos, int end)
        {
            while (got < Needed()) {
                if (pos == end) return false;
                head[got++] = b[pos++];
                if (got == 2 && !FirstBytesValid()) return false;
            }
            got = 0;
            return Finish();
        }

        int Needed()
        {
            if (got < 2) return 2;
            int length7 = head[1] & Length7;
            return 2 + (length7 == Length16 ? 2 : length7 == Length64 ? 8 : 0) + MaskBytes;
        }

        bool FirstBytesValid()
        {
            int opcode = head[0] & OpcodeBits;
            bool control = Opcode.IsControl(opcode);
            if ((head[0] & Reserved) != 0 || (head[1] & Masked) == 0) return Fail(WebSocketCloseStatus.ProtocolError);
            if (opcode > Opcode.Binary && opcode != Opcode.Close && opcode != Opcode.Ping && opcode != Opcode.Pong)
                return Fail(WebSocketCloseStatus.ProtocolError);
            if (control && ((head[0] & Fin) == 0 || (head[1] & Length7) > MaxControlPayload))
                return Fail(WebSocketCloseStatus.ProtocolError);
            if (!control && (opcode == Opcode.Continuation) != inMessage) return Fail(WebSocketCloseStatus.ProtocolError);
            return true;
        }

        bool Finish()
        {
            IsFinal = (head[0] & Fin) != 0;
            FrameOpcode = head[0] & OpcodeBits;
            int length7 = head[1] & Length7, at = 2;
            if (length7 < Length16) {
                Length = length7;
            } else {
                int bytes = length7 == Length16 ? 2 : 8;
                Length = 0;
                for (int i = 0; i < bytes; i++) Length = (Length << 8) | head[at++];
                if (Length < 0) return Fail(WebSocketCloseStatus.ProtocolError);  // the top bit set
            }
            Buffer.BlockCopy(head, at, mask, 0, MaskBytes);
            maskAt = 0;
            if (Opcode.IsControl(FrameOpcode)) return true;
            if (Length > maxFrame) return Fail(WebSocketCloseStatus.MessageTooBig);
            messageBytes = FrameOpcode == Opcode.Continuation ? messageBytes + Length : Length;
            if (messageBytes > maxMessage) return Fail(WebSocketCloseStatus.MessageTooBig);
            if (FrameOpcode != Opcode.Continuation) MessageOpcode = FrameOpcode;
            inMessage = !IsFinal;
            return true;
        }

        bool Fail(WebSocketCloseStatus code)
        {
            Error = code;
            return false;
        }

        // Unmasks count payload bytes of the current frame in place, continuing its mask. Eight
        // bytes at a time: byte by byte, a 4 KiB message cost about as much as all the rest of
        // its echo.
        public unsafe void Unmask(byte[] b, int at, int count)
        {
            if (at < 0 || count < 0 || count > b.Length - at) throw new ArgumentOutOfRangeException("count");
            if (count == 0) return;
            int k = maskAt;
            // The mask from b[at] on, over eight bytes in memory order.
            ulong wide = 0;
            for (int i = 0; i < 8; i++) wide |= (ulong)mask[(k + i) & 3] << (BitConverter.IsLittleEndian ? 8 * i : 56 - 8 * i);
            fixed (byte* start = &b[at]) {
                byte* p = start, end = start + count;
                for (; end - p >= 8; p += 8) *(ulong*)p ^= wide;
                // Whole eights keep the mask's phase: the rest starts at mask[k] again.
                for (int i = 0; p < end; p++, i++) *p ^= mask[(k + i) & 3];
            }
            maskAt = (k + count) & 3;
        }
    }

    static class FrameWriter
    {
        public const int MaxHeadBytes = 10;
        public const int MaxCloseReason = 123;

        // Writes a server frame's head (no mask) at into[0]; returns its length.
        public static int WriteHead(byte[] into, int opcode, bool fin, long length)
        {
            into[0] = (byte)((fin ? 0x80 : 0) | opcode);
            if (length < 126) {
                into[1] = (byte)length;
                return 2;
            }
            int bytes = length <= ushort.MaxValue ? 2 : 8;
            into[1] = (byte)(bytes == 2 ? 126 : 127);
            for (int i = 0; i < bytes; i++) into[2 + i] = (byte)(length >> (8 * (bytes - 1 - i)));
            return 2 + bytes;
        }

        // A whole control frame (head and payload) in one array.
        public static byte[] Control(int opcode, byte[] payload, int count)
        {
            var frame = new byte[2 + count];
            WriteHead(frame, opcode, true, count);
            Buffer.BlockCopy(payload, 0, frame, 2, count);
            return frame;
        }

        // A close frame's payload: the code (none for Empty) and the reason in UTF-8.
        public static byte[] ClosePayload(WebSocketCloseStatus status, string reason)
        {
            if (status == WebSocketCloseStatus.Empty) return new byte[0];
            byte[] text = Encoding.UTF8.GetBytes(reason ?? "");
            var payload = new byte[2 + text.Length];
            payload[0] = (byte)((int)status >> 8);
            payload[1] = (byte)status;
            Buffer.BlockCopy(text, 0, payload, 2, text.Length);
            return payload;
        }
    }
}
