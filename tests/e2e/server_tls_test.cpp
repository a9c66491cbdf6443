// Firmware must come from the server it claims to come from: an HTTPS server whose
// certificate nobody vouches for is refused, not trusted silently.
#include <gtest/gtest.h>

#include "tests/e2e/process_runner.h"
#include "tests/e2e/server_process.h"

namespace {

using namespace server_e2e;

TEST(ServerTls, UntrustedCertificateIsRefused) {
    if (!fs::exists("/usr/bin/openssl")) GTEST_SKIP() << "openssl is needed to make a test certificate";
    TempDir tmp("tls");
    const fs::path catalog = tmp.path() / "catalog", key = tmp.path() / "key.pem", cert = tmp.path() / "cert.pem";
    ASSERT_TRUE(make_build(catalog, "40F5849A", 100, "2.9.0"));
    ProcessResult made = run_process({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                                      key.string(), "-out", cert.string(), "-days", "1", "-subj", "/CN=127.0.0.1",
                                      "-addext", "subjectAltName=IP:127.0.0.1"});
    ASSERT_EQ(made.exitStatus, 0) << made.err;

    UpdateServer server;
    ASSERT_TRUE(server.start(catalog, {"--tls-cert", cert.string(), "--tls-key", key.string()}));
    ASSERT_EQ(server.url().rfind("https://", 0), 0u) << server.url();

    const fs::path root = tmp.path() / "root";
    ProcessResult r = run_process(
        {UPDATER_BIN, "-X", "0x20", "-G", "-d", "40F5849A", "-b", "100", "-u", server.url(), "-i", root.string()});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.err.find("Server request failed for " + server.url()), std::string::npos) << r.err;
    // The failure is the certificate check, not a server that could not be reached.
    EXPECT_NE(r.err.find("ping ==> [SSL peer certificate or SSH remote key was not OK]"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(root / "updater" / "40F5849A" / "100.bird"));
}

}  // namespace
