// update_server: a small update server for the updater's "/cgi/u" protocol, serving
// builds, build lists, recovery information and feature tokens from a catalog
// directory. Used by the tests and the demo, and by labs that keep an offline mirror.
#include <httplib.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <ctime>
#include <string>
#include <thread>

#include "tools/update_server/catalog.h"
#include "tools/update_server/replies.h"

namespace {

const char kUsage[] =
    "usage: update_server --catalog DIR [options]\n"
    "Serves the updater's update-server protocol (GET /cgi/u?op=...) from DIR:\n"
    "  DIR/<SERIAL>/*.bird   builds of a device (SERIAL as eight hex digits); build and\n"
    "                        version are read from each file's descriptor, the newest\n"
    "                        version is the device's latest build\n"
    "  DIR/<SERIAL>/token    the device's feature token\n"
    "  DIR/fingerprints      lines \"W0 W1 W2 W3 SERIAL BUILD\" for recovery\n"
    "options:\n"
    "  --catalog DIR         catalog directory (required)\n"
    "  --host ADDR           address to bind (default 127.0.0.1)\n"
    "  --port N              port to bind (default 8080; 0 picks a free one)\n"
    "  --fault KIND          misbehave, for tests: status:CODE (answer CODE), not-ok (first\n"
    "                        line \"error\"), empty (empty body), empty-bird (\"ok\" without\n"
    "                        a file), truncate (close after half the body), bad-base64\n"
    "                        (a character outside the alphabet in the file), stall (send\n"
    "                        half the body, then nothing), die (send half the body, then\n"
    "                        the whole server exits)\n"
    "  --fault-op OP         misbehave only for this operation (hi, qu, bird, builds, fix,\n"
    "                        ent_jwt); default: every operation\n"
    "  --stall-seconds N     how long a stall holds the connection (default 3600)\n"
    "  --delay-ms N          wait N milliseconds before answering each bird request\n"
    "  --tls-cert FILE       serve HTTPS with this certificate (PEM); needs --tls-key\n"
    "  --tls-key FILE        private key (PEM) of the certificate\n"
    "  -h, --help            this text\n"
    "On start it prints \"listening on http://HOST:PORT/cgi/u\" on standard output; every\n"
    "request is logged on standard error. SIGINT or SIGTERM stop it.\n";

struct Options {
    std::string catalog;
    std::string host = "127.0.0.1";
    int port = 8080;
    std::string fault;
    std::string faultOp;
    int stallSeconds = 3600;
    int delayMs = 0;
    std::string tlsCert;
    std::string tlsKey;
};

std::atomic<bool> stopping{false};

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "update_server: %s needs a value\n", a.c_str());
            return false;
        }
        std::string v = argv[++i];
        if (a == "--catalog") o.catalog = v;
        else if (a == "--host") o.host = v;
        else if (a == "--port") o.port = std::atoi(v.c_str());
        else if (a == "--fault") o.fault = v;
        else if (a == "--fault-op") o.faultOp = v;
        else if (a == "--stall-seconds") o.stallSeconds = std::atoi(v.c_str());
        else if (a == "--delay-ms") o.delayMs = std::atoi(v.c_str());
        else if (a == "--tls-cert") o.tlsCert = v;
        else if (a == "--tls-key") o.tlsKey = v;
        else {
            std::fprintf(stderr, "update_server: unknown option %s\n", a.c_str());
            return false;
        }
    }
    if (o.tlsCert.empty() != o.tlsKey.empty()) {
        std::fputs("update_server: --tls-cert and --tls-key go together\n", stderr);
        return false;
    }
    if (o.catalog.empty()) {
        std::fputs("update_server: --catalog is required\n", stderr);
        return false;
    }
    const std::string& f = o.fault;
    if (!f.empty() && f.rfind("status:", 0) != 0 && f != "not-ok" && f != "empty" && f != "empty-bird" &&
        f != "truncate" && f != "bad-base64" && f != "stall" && f != "die") {
        std::fprintf(stderr, "update_server: unknown fault %s\n", f.c_str());
        return false;
    }
    return true;
}

// Sends the first half of the body, then either closes (truncate), holds the
// connection without sending anything (stall) or ends the whole server (die), as a
// server that crashes or loses power mid-answer would.
void serve_partial(httplib::Response& res, std::string body, bool stall, int stallSeconds, bool die = false) {
    const size_t total = body.size();
    res.set_content_provider(total, "text/plain",
                             [body = std::move(body), stall, stallSeconds, die](size_t offset, size_t,
                                                                                httplib::DataSink& sink) {
                                 const size_t half = body.size() / 2;
                                 if (offset < half) {
                                     sink.write(body.data() + offset, half - offset);
                                     return true;
                                 }
                                 if (die) {
                                     std::fputs("update_server: dying mid-answer (fault die)\n", stderr);
                                     std::_Exit(3);
                                 }
                                 if (stall) {
                                     auto until = std::chrono::steady_clock::now() +
                                                  std::chrono::seconds(stallSeconds);
                                     while (!stopping && std::chrono::steady_clock::now() < until &&
                                            sink.is_writable())
                                         std::this_thread::sleep_for(std::chrono::milliseconds(50));
                                 }
                                 return false;  // drop the connection mid-body
                             });
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    // Signals are taken by one thread so that stopping the server is an ordinary call.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);

    update_server::Catalog catalog(o.catalog);
    std::unique_ptr<httplib::Server> serverOwner;
    if (o.tlsCert.empty())
        serverOwner = std::make_unique<httplib::Server>();
    else
        serverOwner = std::make_unique<httplib::SSLServer>(o.tlsCert.c_str(), o.tlsKey.c_str());
    if (!serverOwner->is_valid()) {
        std::fputs("update_server: cannot use the TLS certificate or key\n", stderr);
        return 1;
    }
    httplib::Server& server = *serverOwner;
    server.Get("/cgi/u", [&](const httplib::Request& req, httplib::Response& res) {
        update_server::Reply reply = update_server::answer(catalog, req.params);
        if (reply.op == "bird" && o.delayMs > 0) {
            auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(o.delayMs);
            while (!stopping && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        const bool faulty = !o.fault.empty() && (o.faultOp.empty() || o.faultOp == reply.op);
        if (!faulty) {
            res.status = reply.status;
            res.set_content(std::move(reply.body), "text/plain");
            return;
        }
        res.status = 200;
        if (o.fault.rfind("status:", 0) == 0) {
            res.status = std::atoi(o.fault.c_str() + 7);
            res.set_content("error\n", "text/plain");
        } else if (o.fault == "not-ok") {
            size_t eol = reply.body.find('\n');
            res.set_content("error" + (eol == std::string::npos ? std::string("\n") : reply.body.substr(eol)),
                            "text/plain");
        } else if (o.fault == "empty") {
            res.set_content("", "text/plain");
        } else if (o.fault == "empty-bird") {
            res.set_content(reply.op == "bird" ? std::string("ok\n") : reply.body, "text/plain");
        } else if (o.fault == "bad-base64") {
            // Same length, so only the alphabet check can catch it.
            if (reply.op == "bird" && reply.body.size() > 8) reply.body[reply.body.size() / 2] = '*';
            res.set_content(std::move(reply.body), "text/plain");
        } else {
            serve_partial(res, std::move(reply.body), o.fault == "stall", o.stallSeconds, o.fault == "die");
        }
    });
    server.set_logger([](const httplib::Request& req, const httplib::Response& res) {
        std::time_t now = std::time(nullptr);
        char when[32];
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
        std::string target = req.target.empty() ? req.path : req.target;
        std::fprintf(stderr, "%s %s %s -> %d (%zu bytes)\n", when, req.method.c_str(), target.c_str(), res.status,
                     res.body.size());
    });

    int port = o.port;
    if (port == 0) {
        port = server.bind_to_any_port(o.host);
    } else if (!server.bind_to_port(o.host, port)) {
        port = -1;
    }
    if (port <= 0) {
        std::fprintf(stderr, "update_server: cannot bind %s:%d\n", o.host.c_str(), o.port);
        return 1;
    }
    std::printf("listening on %s://%s:%d/cgi/u\n", o.tlsCert.empty() ? "http" : "https", o.host.c_str(), port);
    std::fflush(stdout);

    std::thread signals([&] {
        int sig = 0;
        sigwait(&set, &sig);
        stopping = true;
        server.stop();
    });
    signals.detach();
    server.listen_after_bind();
    return 0;
}
