#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "feed/quillmere_client.h"
#include "tests/feed/test_hub.h"
#include "tests/support/child_process.h"
#include "tests/support/memory_logger.h"

namespace orv {
namespace {

using testing::recording_subscriber;
using testing::run_until;

// The demo hub as operators run it, with this test's client subscribed. The client keeps
// trying at its own pace until the hub listens.
class DemoFeedHub : public ::testing::Test {
 protected:
  void start(std::vector<std::string> arguments, const std::string& standard_input = "") {
    arguments.insert(arguments.begin(), {"--port", std::to_string(port)});
    hub.emplace(ORV_DEMO_FEEDHUB_EXE, arguments, std::map<std::string, std::string>{}, standard_input);
    subscription = client.subscribe({"http://127.0.0.1:" + std::to_string(port) + "/demo?x=1"}, subscriber);
  }
  bool received(std::size_t count) {
    return run_until(*loop, [&] { return subscriber->documents.size() >= count; });
  }
  void TearDown() override {
    if (!hub) return;
    // The hub is a sanitizer build too; it must end cleanly on SIGTERM.
    hub->signal(SIGTERM);
    EXPECT_EQ(hub->wait_exit(std::chrono::seconds(10)), 0);
    EXPECT_EQ(hub->standard_error().find("Sanitizer"), std::string::npos) << hub->standard_error();
    if (HasFailure()) std::cerr << hub->standard_output();
  }

  int port = testing::free_port();
  std::shared_ptr<testing::memory_logger> log = std::make_shared<testing::memory_logger>(0);
  std::shared_ptr<vorn::asyncore> loop = std::make_shared<vorn::asyncore>(log);
  quillmere_client client{loop, log};
  std::shared_ptr<recording_subscriber> subscriber = std::make_shared<recording_subscriber>();
  quillmere_subscription subscription;
  std::optional<testing::child_process> hub;
};

TEST_F(DemoFeedHub, SendsTheFilesOnSubscribingAndAgainOnTheIntervalAsTheyAreNow) {
  const auto dir = std::filesystem::temp_directory_path() / ("orv-demohub-" + std::to_string(port));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "one.xml") << "<GROUP id=\"one\"/>\n";
  std::ofstream(dir / "two.xml") << "<SECURITY id=\"a\"><NAME>x</NAME></SECURITY>";
  start({"--interval", "1", (dir / "one.xml").string(), (dir / "two.xml").string()});
  ASSERT_TRUE(received(2));
  EXPECT_EQ(subscriber->documents[0], "<GROUP id=\"one\"/>\n");
  EXPECT_EQ(subscriber->documents[1], "<SECURITY id=\"a\"><NAME>x</NAME></SECURITY>");

  // Files are read again for each sending, so edits reach subscribers.
  std::ofstream(dir / "two.xml") << "<SECURITY id=\"a\"><NAME>y</NAME></SECURITY>";
  ASSERT_TRUE(run_until(*loop, [&] {
    return subscriber->documents.back() == "<SECURITY id=\"a\"><NAME>y</NAME></SECURITY>";
  }));
  EXPECT_EQ(subscriber->documents.size() % 2, 0u);
  EXPECT_NE(hub->standard_output().find(": QuillmereID 0, path /demo?x=1\n"), std::string::npos);
  std::filesystem::remove_all(dir);
}

TEST_F(DemoFeedHub, SendsDocumentsFromStandardInputSeparatedByLinesHoldingTheSeparator) {
  start({},
        "<GROUP id=\"one\"/>\n---QuillmereSeparator---\n"
        "<SECURITY id=\"a\">\r\n<NAME>x</NAME></SECURITY>\r\n---QuillmereSeparator---\r\n"
        "\n---QuillmereSeparator---\n"  // a blank document is not sent
        "<last/>\n");                    // the end of input ends the last one
  ASSERT_TRUE(received(3));
  EXPECT_EQ(subscriber->documents,
            (std::vector<std::string>{"<GROUP id=\"one\"/>\n", "<SECURITY id=\"a\">\n<NAME>x</NAME></SECURITY>\n",
                                      "<last/>\n"}));
  // A subscriber that comes later gets the same documents.
  auto late = std::make_shared<recording_subscriber>();
  auto second = client.subscribe({"http://127.0.0.1:" + std::to_string(port) + "/"}, late);
  ASSERT_TRUE(run_until(*loop, [&] { return late->documents.size() >= 3; }));
  EXPECT_EQ(late->documents, subscriber->documents);
}

}  // namespace
}  // namespace orv
