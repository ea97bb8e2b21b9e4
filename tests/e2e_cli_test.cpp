// kelvo-cli, the host program, run as a child process against kelvo-server:
// its scripts, its exit status, the text conversion between the terminal's
// UTF-8 and the wire's GBK, and what it prints for failures.
#include <string>

#include "gtest/gtest.h"

#if defined(KELVO_SERVER_PATH)
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "kelvo/kelvo_core.h"
#include "support/e2e_client.h"
#include "support/e2e_password.h"
#include "support/e2e_process.h"
#include "support/recording_sink.h"
#include "support/wire.h"

namespace kelvo {
namespace {

using e2e::Client;
using e2e::Millis;
using test::Escape;
using test::Gbk;

// A script in a temporary file, removed with the object.
class ScriptFile {
 public:
  explicit ScriptFile(const std::string& text) {
    char name[] = "/tmp/kelvo-cli-test-XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) {
      path_ = name;
      const ssize_t n = write(fd, text.data(), text.size());
      ok_ = n == static_cast<ssize_t>(text.size());
      close(fd);
    }
  }
  ~ScriptFile() {
    if (!path_.empty()) std::remove(path_.c_str());
  }
  bool ok() const { return ok_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool ok_ = false;
};

class CliSession : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server_.Start(KELVO_SERVER_PATH, &error)) << error;
    setenv("KELVO_PORT", std::to_string(server_.port()).c_str(), 1);
  }
  // Starts the CLI on `script`; Finish() collects it.
  void Launch(const std::string& script, std::vector<std::string> extraArgs = {}) {
    script_ = std::make_unique<ScriptFile>(script);
    ASSERT_TRUE(script_->ok());
    std::vector<std::string> argv = {KELVO_CLI_PATH, "--script", script_->path()};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    std::string error;
    ASSERT_TRUE(cli_.Start(argv, false, true, &error)) << error;
  }
  // The CLI's whole output; its exit status in status_.
  std::string Finish() {
    const std::string output = cli_.ReadAll(Millis(20000));
    status_ = cli_.Wait(Millis(5000));
    return output;
  }
  std::string Run(const std::string& script, std::vector<std::string> extraArgs = {}) {
    Launch(script, std::move(extraArgs));
    return Finish();
  }

  e2e::ServerProcess server_;
  e2e::ChildProcess cli_;
  std::unique_ptr<ScriptFile> script_;
  int status_ = -1;
};

const char* kLoginBob =
    "connect 127.0.0.1 ${KELVO_PORT}\n"
    "wait \"OnConnect 1\"\n"
    "login 1002 bob\n"
    "wait \"OnLoginResult 1\"\n";

TEST_F(CliSession, ChatsAndSearchesInUtf8WhileTheWireCarriesGbk) {
  Client alice;
  const auto password = e2e::Password("alice");
  ASSERT_TRUE(alice.Start(server_.port(), 1001, password.data()));
  Launch(std::string(kLoginBob) +
         "wait 'OnChatMessage kind=0(chat) from=1001 \"欢迎 bob\"' 10000\n"
         "chat 1001 你好 alice\n"
         "search 小明\n"
         "wait 'OnSearchUserListItem #1005 \"小明\"'\n"
         "wait 'OnSearchUserListEnd count=1'\n"
         "friends\n"
         "wait 'OnEnumUser #1001 \"alice\" relation=2 group=1 gs=0 online=2(online)'\n"
         "wait '= 1 friends'\n");
  ASSERT_TRUE(alice.WaitFor("OnOnlineStateChanged(1002)", Millis(10000))) << alice.events().All();
  const std::string welcome = Gbk("欢迎 bob");
  ASSERT_TRUE(alice->SendChatMessage(1002, 0, welcome.c_str(), 0, 0, 0));
  EXPECT_TRUE(alice.WaitFor("OnChatMessage(0,1002," + Escape(Gbk("你好 alice").c_str()) +
                            ",0,0,0)", Millis(10000)))
      << alice.events().All();
  const std::string output = Finish();
  EXPECT_EQ(status_, 0) << output;
}

TEST_F(CliSession, GroupNamesTypedInUtf8ReachTheServerAsGbk) {
  const std::string output = Run(
      "connect 127.0.0.1 ${KELVO_PORT}\n"
      "wait \"OnConnect 1\"\n"
      "login 1001 alice\n"
      "wait \"OnLoginResult 1\"\n"
      "group add 1 1 Work\n"
      "wait 'OnAddGroupResult 1 group #3 \"Work\" kind=1 parent=1'\n"
      "group rename 3 同事\n"
      "wait 'OnUpdateGroupResult 1 group #3 now \"同事\"'\n");
  ASSERT_EQ(status_, 0) << output;
  Client alice;
  const auto password = e2e::Password("alice");
  ASSERT_TRUE(alice.Start(server_.port(), 1001, password.data()));
  GroupRecord group{};
  ASSERT_TRUE(e2e::Eventually([&] { return alice->GetGroup(3, &group); }, Millis(5000)));
  EXPECT_EQ(std::string(group.name, strnlen(group.name, sizeof group.name)), Gbk("同事"));
}

TEST_F(CliSession, PumpModeRunsEventsOnTheMainThreadBetweenCommandsAndWhileWaiting) {
  // Events arrive only when the CLI pumps: during `wait`, and between
  // commands. The friend list follows the login result on the wire; the
  // sleep lets it arrive before the pump that runs ahead of `friends`.
  const std::string output = Run(std::string(kLoginBob) +
                                 "sleep 300\n"
                                 "friends\n"
                                 "wait 'OnEnumUser #1001 \"alice\"'\n"
                                 "wait '= 1 friends'\n"
                                 "sleep 200\n"
                                 "me\n"
                                 "wait 'me #1002'\n",
                                 {"--pump"});
  EXPECT_EQ(status_, 0) << output;
}

TEST_F(CliSession, MissedWaitStopsTheScriptWithStatus1AndSaysWhy) {
  const std::string output = Run(std::string(kLoginBob) +
                                 "wait OnLogout 200\n"
                                 "echo not reached\n");
  EXPECT_EQ(status_, 1) << output;
  EXPECT_NE(output.find("wait failed: no event containing \"OnLogout\" within 200 ms"),
            std::string::npos)
      << output;
  EXPECT_EQ(output.find("--- not reached"), std::string::npos) << output;
}

TEST_F(CliSession, AWaitIsSatisfiedOnlyOncePerEvent) {
  // One OnConnect, two waits for it: the second must not reuse the first.
  const std::string output = Run(
      "connect 127.0.0.1 ${KELVO_PORT}\n"
      "wait OnConnect\n"
      "wait OnConnect 300\n");
  EXPECT_EQ(status_, 1) << output;
}

TEST_F(CliSession, AnEventThatCameBeforeAnEarlierWaitsLineStillSatisfiesALaterWait) {
  // OnConnect is printed before `me`'s line, and the wait for that line
  // finds it already there: the earlier OnConnect must stay visible to the
  // wait after it (a script waiting for an event that raced ahead of a
  // command's answer would otherwise wait for a second one).
  const std::string output = Run(
      "connect 127.0.0.1 ${KELVO_PORT}\n"
      "sleep 300\n"
      "me\n"
      "wait 'me: no own data'\n"
      "wait OnConnect 200\n");
  EXPECT_EQ(status_, 0) << output;
  EXPECT_NE(output.find("OnConnect 1 connected"), std::string::npos) << output;
}

TEST_F(CliSession, FailuresAndRefusalsArePrintedAndTheScriptGoesOn) {
  setenv("DEAD_PORT", std::to_string(e2e::FreeLoopbackPort()).c_str(), 1);
  const std::string output = Run(
      "connect 127.0.0.1 ${DEAD_PORT}\n"
      "wait \"OnConnect 0 failed\" 10000\n"
      "chat 1002 hello\n"
      "me\n"
      "wait 'me: no own data'\n"
      "friends\n"
      "wait '= 0 friends'\n");
  EXPECT_EQ(status_, 0) << output;
  EXPECT_NE(output.find("! SendChatMessage was not sent"), std::string::npos) << output;
}

TEST_F(CliSession, BadCommandsFailTheScript) {
  for (const char* line : {"frobnicate\n", "add 1002\n", "enter 70000\n", "user ${UNSET_VAR}\n",
                           "connect 127.0.0.1 99999\n"}) {
    unsetenv("UNSET_VAR");
    const std::string output = Run(std::string(line) + "echo not reached\n");
    EXPECT_EQ(status_, 1) << line << output;
    EXPECT_EQ(output.find("--- not reached"), std::string::npos) << line << output;
  }
}

TEST_F(CliSession, WrongModulePathIsReported) {
  const std::string output = Run("quit\n", {"--lib", "/nonexistent/libkelvocore.so"});
  EXPECT_EQ(status_, 2) << output;
  EXPECT_NE(output.find("cannot load /nonexistent/libkelvocore.so"), std::string::npos) << output;
}

TEST_F(CliSession, ConnectsThroughTheProxyOption) {
  if (!e2e::ProxyProcess::Available()) {
    GTEST_SKIP() << "SKIPPED: " << e2e::ProxyProcess::kPath << " is missing: proxy case not run";
  }
  e2e::ProxyProcess proxy;
  std::string error;
  ASSERT_TRUE(proxy.Start(&error)) << error;
  setenv("PROXY_PORT", std::to_string(proxy.port()).c_str(), 1);
  const std::string output = Run(
      "connect 127.0.0.1 ${KELVO_PORT} --proxy 127.0.0.1:${PROXY_PORT}\n"
      "wait \"OnConnect 1\"\n"
      "login 1003 carol\n"
      "wait \"OnLoginResult 1\"\n"
      // The own data follows the login result; give it time to arrive.
      "sleep 500\n"
      "me\n"
      "wait 'me #1003 \"carol\"'\n");
  EXPECT_EQ(status_, 0) << output;
}

TEST_F(CliSession, TlsFlagsNeverEndInAClearTextSession) {
  // The server speaks clear text. Whether the module cannot do TLS (the CLI
  // must stop) or can (the handshake must fail), nothing logs in.
  const std::string output =
      Run(kLoginBob, {"--tls", "--tls-server-name", "im.kelvo.test"});
  EXPECT_EQ(status_, 1) << output;
  EXPECT_EQ(output.find("OnLoginResult"), std::string::npos) << output;
  EXPECT_EQ(output.find("OnConnect 1 connected"), std::string::npos) << output;

  const std::vector<std::vector<std::string>> misuses = {
      {"--tls"},
      {"--tls-server-name", "im.kelvo.test"},
      {"--tls", "--tls-server-name", "a.test", "--tls-pin", "00ff"},
      {"--tls", "--tls-server-name", "a.test", "--tls-ca", "ca.pem", "--tls-pin",
       std::string(64, '0')},
      {"--proxy-user", "u"},
  };
  for (const auto& args : misuses) {
    const std::string usage = Run("quit\n", args);
    EXPECT_EQ(status_, 2) << args[0] << usage;
  }
}

}  // namespace
}  // namespace kelvo

#else
TEST(CliSession, SkippedWithoutTheServer) {
  GTEST_SKIP() << "kelvo-server is not built (KELVO_BUILD_TOOLS=OFF): end-to-end tests skipped";
}
#endif
