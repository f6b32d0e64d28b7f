// The client at the other end of a connection, as accept gave it: its address's bytes and its
// port, made into an IPAddress and into the access log's text only when first asked for (most
// requests never ask). Both are made at most once per thread that races for them; any copy is as
// good as another.
using System;
using System.Net;
using System.Threading;

namespace Vrns.Http
{
    sealed class ConnectionPeer
    {
        readonly byte[] address;
        readonly int length;
        readonly int port;
        IPAddress made;
        string text;

        public ConnectionPeer(byte[] address, int length, int port)
        {
            this.address = address;
            this.length = length;
            this.port = port;
        }

        public IPAddress Address
        {
            get {
                IPAddress a = Volatile.Read(ref made);
                if (a == null) {
                    var bytes = new byte[length];
                    Buffer.BlockCopy(address, 0, bytes, 0, length);
                    a = new IPAddress(bytes);
                    Volatile.Write(ref made, a);
                }
                return a;
            }
        }

        public int Port
        {
            get { return port; }
        }

        // As the access log writes it.
        public string Text
        {
            get {
                string t = Volatile.Read(ref text);
                if (t == null) {
                    t = Address.ToString();
                    Volatile.Write(ref text, t);
                }
                return t;
            }
        }
    }
}
