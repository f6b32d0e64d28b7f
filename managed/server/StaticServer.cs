// The managed static-file server of earlier releases, kept under its old name for the scripts
// that start it: it is the sample application (VrnsSample.exe) with the same options.
static class StaticServer
{
    static int Main(string[] args)
    {
        return Vrns.Sample.SampleApp.Main(args);
    }
}
