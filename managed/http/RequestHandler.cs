// What a route runs for a request: the response is complete when its Task completes.
using System.Threading.Tasks;

namespace Vrns.Http
{
    public delegate Task RequestHandler(HttpContext context);
}
