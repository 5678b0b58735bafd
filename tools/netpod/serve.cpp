#include "serve.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "commands.h"
#include "module_link.h"
#include "module_session.h"
#include "report.h"
#include "serve_http.h"
#include "serve_requests.h"
#include "serve_state.h"

namespace netpod::tool {

int RunServe(const DottedQuad& address, const CommandLine& line) {
    using namespace serve;
    const std::string token = NewToken();
    if (token.empty()) {
        std::fprintf(stderr, "netpod: the system gives no random bytes for the page's token\n");
        return kExitFailure;
    }
    const std::string module = DottedText(address.data());
    LiveState state(module, line.periodMs);
    ModuleLink link(address, line.periodMs, line.timeoutMs, state);
    WebServer web(
        state, [&link](const WriteRequest& request) { return link.Submit(request); }, link.LongestWrite());
    std::string error;
    if (!web.Bind(line.listen, token, error)) {
        std::fprintf(stderr, "netpod: %s\n", error.c_str());
        return kExitFailure;
    }
    link.Start();
    web.Start();

    const bool everyAddress = line.listen.host == DottedQuad{0, 0, 0, 0};
    const std::string host = everyAddress ? "127.0.0.1" : DottedText(line.listen.host.data());
    std::printf("netpod serve: module %s, page at http://%s:%d/#token=%s\n", module.c_str(), host.c_str(),
                web.port(), token.c_str());
    std::fflush(stdout);
    if (line.listen.host[0] != 127)
        std::fprintf(stderr,
                     "netpod: listening on %s:%d: whoever reaches this machine can see the module; writes "
                     "still need the token\n",
                     DottedText(line.listen.host.data()).c_str(), web.port());
    std::fprintf(stderr, "netpod: Ctrl-C stops\n");

    // The stop flag is set by a signal handler, which can wake nobody.
    while (!StopRequested() && link.FatalError().empty())
        std::this_thread::sleep_for(std::chrono::milliseconds(100));

    // The module's thread answers the writes still waiting before the server waits
    // for its workers, some of which wait for those answers.
    link.Stop();
    web.Stop();
    const std::string fatal = link.FatalError();
    if (!fatal.empty()) {
        std::fprintf(stderr, "netpod: %s\n", fatal.c_str());
        return kExitFailure;
    }
    return kExitSuccess;
}

}  // namespace netpod::tool
