#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "app/Log.h"
#include "tests/unit/updater/http_fake_server.h"
#include "updater/UpdateServerRequest.h"

namespace {

using USR = UpdateServerRequest;

// Captures the log lines of the server package for one test.
class LogCapture {
public:
    LogCapture() : file_(std::tmpfile()), saved_(Log::fh), mask_(Log::package_bitmask) {
        Log::SetOutput(file_);
        Log::ActivatePackage(Log::DEBUG_ServerComm);
    }
    ~LogCapture() {
        Log::SetOutput(saved_);
        Log::package_bitmask = mask_;
        std::fclose(file_);
    }
    std::string text() {
        std::fflush(file_);
        std::rewind(file_);
        std::string s;
        char b[1024];
        size_t n;
        while ((n = std::fread(b, 1, sizeof b, file_)) > 0) s.append(b, n);
        return s;
    }

private:
    FILE* file_;
    FILE* saved_;
    uint32_t mask_;
};

TEST(ServerRequest, PingNeedsStatus200AndLowerCaseOk) {
    FakeHttpServer server;
    const std::string url = server.url();
    server.respond(200, "ok\n");
    EXPECT_TRUE(USR::ping(url.c_str()));
    EXPECT_EQ(server.targets().back(), "/cgi/u?op=hi&rv=2&");
    server.respond(200, "OK\n");
    EXPECT_FALSE(USR::ping(url.c_str()));
    server.respond(200, "");
    EXPECT_FALSE(USR::ping(url.c_str()));

    LogCapture log;
    server.respond(500, "boom");
    EXPECT_FALSE(USR::ping(url.c_str()));
    EXPECT_NE(log.text().find("PING ==> [500] [boom]\n"), std::string::npos) << log.text();
}

TEST(ServerRequest, FailureLogLines) {
    FakeHttpServer server;
    const std::string url = server.url();
    LogCapture log;
    std::string build = "keep", fw = "keep";
    server.respond(503, "busy");
    EXPECT_FALSE(USR::QueryBuild(0x1234ABCD, build, fw, url.c_str()));
    server.respond(200, "no\n5210\n");
    EXPECT_FALSE(USR::QueryBuild(0x1234ABCD, build, fw, url.c_str()));
    EXPECT_EQ(build, "keep");
    EXPECT_FALSE(USR::ping("http://127.0.0.1:1/cgi/u"));
    const std::string text = log.text();
    EXPECT_NE(text.find("QueryBuild ==> [503] [busy]\n"), std::string::npos) << text;
    EXPECT_NE(text.find("ServerCommClass: QueryBuild failed [" + url + "?op=qu&sn=1234ABCD&]\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("ping ==> [Couldn't connect to server]\n"), std::string::npos) << text;
}

TEST(ServerRequest, QueryBuildReadsBuildAndFirmware) {
    FakeHttpServer server;
    const std::string url = server.url();
    std::string build, fw;
    server.respond(200, "ok\n5210\nR1\r\n");
    ASSERT_TRUE(USR::QueryBuild(0x1234ABCD, build, fw, url.c_str()));
    EXPECT_EQ(server.targets().back(), "/cgi/u?op=qu&sn=1234ABCD&");
    EXPECT_EQ(build, "5210");
    EXPECT_EQ(fw, "R1");

    fw = "old";
    server.respond(200, "ok extra\n\n6000\n");  // empty lines are skipped; line 3 absent
    ASSERT_TRUE(USR::QueryBuild(1, build, fw, url.c_str()));
    EXPECT_EQ(build, "6000");
    EXPECT_EQ(fw, "old");
}

TEST(ServerRequest, GetBuildParametersAndBody) {
    FakeHttpServer server;
    const std::string url = server.url();
    std::string bird = "stale";
    server.respond(200, "ok\nYmlyZA==\n");
    ASSERT_TRUE(USR::GetBuild(0xAB, "R1", "5210", bird, url.c_str(), true));
    EXPECT_EQ(server.targets().back(), "/cgi/u?bld=5210&fw=R1&no_cal=true&op=bird&sn=000000AB&");
    EXPECT_EQ(bird, "YmlyZA==");

    server.respond(200, "ok\n");
    EXPECT_TRUE(USR::GetBuild(0xAB, "R1", "5210", bird, url.c_str(), false));
    EXPECT_TRUE(bird.empty());
    bird = "stale";
    server.respond(404, "ok\nYmlyZA==\n");
    EXPECT_FALSE(USR::GetBuild(0xAB, "R1", "5210", bird, url.c_str(), false));
    EXPECT_TRUE(bird.empty());
}

TEST(ServerRequest, BuildListFirstValueWinsAndShortLinesSkipped) {
    FakeHttpServer server;
    const std::string url = server.url();
    USR::Builds builds{{"old", "entry"}};
    server.respond(200, "ok\n5210;2.15.3\r\n5100;2.14.9\n5100;9.9.9\nxy\n7000\n");
    ASSERT_TRUE(USR::GetBuildList(0x10, builds, url.c_str()));
    EXPECT_EQ(server.targets().back(), "/cgi/u?op=builds&sn=00000010&");
    USR::Builds expected{{"5210", "2.15.3"}, {"5100", "2.14.9"}, {"7000", ""}};
    EXPECT_EQ(builds, expected);

    server.respond(500, "");
    EXPECT_FALSE(USR::GetBuildList(0x10, builds, url.c_str()));
    EXPECT_TRUE(builds.empty());
}

TEST(ServerRequest, RecoveryInfoFingerprintAndNumberBases) {
    FakeHttpServer server;
    const std::string url = server.url();
    Fingerprint fp{{1, 2, 3, 4}};
    const struct {
        const char* line3;
        uint32_t build;
    } cases[] = {{"0x20", 32}, {"017", 15}, {"5210", 5210}};
    for (const auto& c : cases) {
        server.respond(200, std::string("ok\n40f5849a\n") + c.line3 + "\n");
        uint32_t serial = 0, build = 0;
        ASSERT_TRUE(USR::GetRecoveryInfo(fp, serial, build, url.c_str()));
        EXPECT_EQ(serial, 0x40F5849Au);
        EXPECT_EQ(build, c.build) << c.line3;
    }
    EXPECT_EQ(server.targets().back(), "/cgi/u?brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix&");
}

TEST(ServerRequest, DeviceJwtNeedsThreeParts) {
    FakeHttpServer server;
    const std::string url = server.url();
    const struct {
        const char* line;
        bool ok;
    } cases[] = {{"aa.bb.cc\r", true}, {"a.bb.cc", false}, {"aa.bb", false}, {"aa.bb.c", false}, {"aa..cc", false}};
    for (const auto& c : cases) {
        server.respond(200, std::string("ok\n") + c.line + "\n");
        std::string token = "none";
        EXPECT_EQ(USR::GetDeviceJWT(0x10, token, url.c_str()), c.ok) << c.line;
        EXPECT_EQ(token, c.ok ? "aa.bb.cc" : "none");
    }
    EXPECT_EQ(server.targets().back(), "/cgi/u?json=false&op=ent_jwt&sn=00000010&");
}

TEST(ServerRequest, SplitVersion) {
    EXPECT_TRUE(USR::SplitVelmarineVersion("2.15").empty());
    EXPECT_TRUE(USR::SplitVelmarineVersion("2.15.1.4").empty());
    EXPECT_EQ(USR::SplitVelmarineVersion("2..1"), (std::vector<std::string>{"2", "", "1"}));
}

TEST(ServerRequest, SortNewestFirstNumerically) {
    USR::Builds builds{{"100", "2.9.0"}, {"200", "2.15.1"}, {"300", "2.10.0"}};
    USR::SortedBuilds expected{{"200", "2.15.1"}, {"300", "2.10.0"}, {"100", "2.9.0"}};
    EXPECT_EQ(USR::SortBuildsByVersion(builds), expected);

    // 1.2.256 keeps only its low byte and ranks as 1.2.0, below 1.2.1.
    USR::Builds wrap{{"1", "1.2.256"}, {"2", "1.2.1"}};
    EXPECT_EQ(USR::SortBuildsByVersion(wrap).front().first, "2");
}

TEST(ServerRequest, SortSurvivesManyUnparsableVersions) {
    USR::Builds builds;
    for (int i = 0; i < 200; ++i)
        builds[std::to_string(1000 + i)] = i % 3 == 0 ? "junk" : "1." + std::to_string(i % 50) + ".0";
    auto sorted = USR::SortBuildsByVersion(builds);
    EXPECT_EQ(sorted.size(), builds.size());
}

}  // namespace
