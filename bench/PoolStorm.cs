// The handler pool under a storm, for bench/managed_http.sh: handlers that only compute, and
// handlers that block, beside routes that answer at once.
//   vrns PoolStorm.exe --listen HOST:PORT --root DIR [--inline] [--cpu-usec N] [--block-msec N]
// GET /cpu spends N µs of its thread's CPU time (default 1000) and answers "cpu", on the handler
// pool or, with --inline, on the pump worker (HandlerThread.UnsafeInline). GET /block sleeps N ms
// (default 2000) on the pool. GET /fast answers at once on the pool. Every other path is a file of
// DIR; one middleware (it does nothing) makes the static files run on the pool too, as any
// application's middleware does.
using System;
using System.Threading;
using System.Threading.Tasks;
using Vrns;
using Vrns.Http;

static class PoolStorm
{
    static int Main(string[] args)
    {
        var options = new HttpServerOptions();
        string root = ".";
        bool inline = false;
        int cpuUsec = 1000, blockMsec = 2000;
        for (int i = 0; i < args.Length; i++) {
            if (args[i] == "--inline") inline = true;
            else if (i + 1 >= args.Length) break;
            else if (args[i] == "--listen") options.Listen.Add(args[++i]);
            else if (args[i] == "--root") root = args[++i];
            else if (args[i] == "--cpu-usec") cpuUsec = int.Parse(args[++i]);
            else if (args[i] == "--block-msec") blockMsec = int.Parse(args[++i]);
        }
        var server = new HttpServer(options);
        server.Router.Fallback = new StaticFiles(root).Handle;
        server.Use((c, next) => next());
        server.Map("GET", "/cpu", c => {
            ThreadCpuClock clock = ThreadCpuClock.OfCurrentThread();
            long end = clock.Nanoseconds + cpuUsec * 1000L;
            while (clock.Nanoseconds < end) {
            }
            c.Response.Send("cpu");
            return Task.CompletedTask;
        }, inline ? HandlerThread.UnsafeInline : HandlerThread.Pool);
        server.Map("GET", "/block", c => {
            Thread.Sleep(blockMsec);
            c.Response.Send("block");
            return Task.CompletedTask;
        });
        server.Map("GET", "/fast", c => {
            c.Response.Send("fast");
            return Task.CompletedTask;
        });
        server.Start();
        return server.Completion.Result;
    }
}
