// The executable's record of platform constants, read by position: 43 ints back to back.
using System.Runtime.InteropServices;

namespace Vrns
{
    [StructLayout(LayoutKind.Sequential)]
    public struct SystemDefines
    {
        // The record's size in the executable; Engine.Defines refuses a layout of any other size.
        public const int Size = 172;

        public int af_inet;
        public int af_inet6;
        public int define02;
        public int define03;
        public int define04;
        public int define05;
        public int define06;
        public int define07;
        public int ipproto_tcp;
        public int ipproto_udp;
        public int ipproto_ip;
        public int ipproto_ipv6;
        public int ipv6_v6only;
        public int so_sndbuf;
        public int so_rcvbuf;
        public int so_sndtimeo;
        public int so_rcvtimeo;
        public int so_linger;
        public int so_reuseaddr;
        public int so_reuseport;
        public int define20;
        public int define21;
        public int define22;
        public int define23;
        public int define24;
        public int define25;
        public int msg_waitall;
        public int msg_dontwait;
        public int msg_nosignal;
        public int o_nonblock;
        public int define30;
        public int define31;
        public int define32;
        public int sys_gettid;
        public int define34;
        public int define35;
        public int define36;
        public int define37;
        public int define38;
        public int sc_phys_pages;
        public int sc_pagesize;
        public int sc_avphys_pages;
        public int define42;
    }
}
