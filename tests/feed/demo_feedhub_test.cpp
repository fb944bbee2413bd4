#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "feed/quillmere_client.h"
#include "tests/feed/child_process.h"
#include "tests/feed/test_hub.h"
#include "tests/support/memory_logger.h"

namespace orv {
namespace {

using testing::free_port;
using testing::read_file;
using testing::recording_subscriber;
using testing::run_until;

void write_file(const std::filesystem::path& path, const std::string& text) { std::ofstream(path) << text; }

// The demo hub as operators run it, with this test's client subscribed. The client keeps
// trying at its own pace until the hub listens.
class DemoFeedHub : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(dir); }
  void TearDown() override {
    subscription.reset();
    hub.reset();
    // The hub is a sanitizer build too; it must end cleanly on SIGTERM.
    const auto output = read_file(dir / "hub.out");
    EXPECT_EQ(output.find("Sanitizer"), std::string::npos) << output;
    std::filesystem::remove_all(dir);
  }

  void start(std::vector<std::string> arguments, const std::filesystem::path& input = "/dev/null") {
    arguments.insert(arguments.begin(), {ORV_DEMO_FEEDHUB_EXECUTABLE, "--port", std::to_string(port)});
    hub.emplace(arguments, std::vector<std::string>{}, dir / "hub.out", input);
    subscription = client.subscribe({"http://127.0.0.1:" + std::to_string(port) + "/demo?x=1"}, subscriber);
  }
  bool received(std::size_t count) {
    return run_until(*loop, [&] { return subscriber->documents.size() >= count; });
  }

  std::filesystem::path dir = std::filesystem::temp_directory_path() / ("orv-demohub-" + std::to_string(::getpid()));
  unsigned short port = free_port();
  std::shared_ptr<testing::memory_logger> log = std::make_shared<testing::memory_logger>(0);
  std::shared_ptr<vorn::asyncore> loop = std::make_shared<vorn::asyncore>(log);
  quillmere_client client{loop, log};
  std::shared_ptr<recording_subscriber> subscriber = std::make_shared<recording_subscriber>();
  quillmere_subscription subscription;
  std::optional<testing::child_process> hub;
};

TEST_F(DemoFeedHub, SendsTheFilesOnSubscribingAndAgainOnTheIntervalAsTheyAreNow) {
  write_file(dir / "one.xml", "<GROUP id=\"one\"/>\n");
  write_file(dir / "two.xml", "<SECURITY id=\"a\"><NAME>x</NAME></SECURITY>");
  start({"--interval", "1", (dir / "one.xml").string(), (dir / "two.xml").string()});
  ASSERT_TRUE(received(2)) << read_file(dir / "hub.out");
  EXPECT_EQ(subscriber->documents[0], "<GROUP id=\"one\"/>\n");
  EXPECT_EQ(subscriber->documents[1], "<SECURITY id=\"a\"><NAME>x</NAME></SECURITY>");

  // Files are read again for each sending, so edits reach subscribers.
  write_file(dir / "two.xml", "<SECURITY id=\"a\"><NAME>y</NAME></SECURITY>");
  ASSERT_TRUE(run_until(*loop, [&] {
    return subscriber->documents.back() == "<SECURITY id=\"a\"><NAME>y</NAME></SECURITY>";
  }));
  EXPECT_EQ(subscriber->documents.size() % 2, 0u);
  EXPECT_NE(read_file(dir / "hub.out").find(": QuillmereID 0, path /demo?x=1\n"), std::string::npos);
}

TEST_F(DemoFeedHub, SendsDocumentsFromStandardInputSeparatedByLinesHoldingTheSeparator) {
  write_file(dir / "input",
             "<GROUP id=\"one\"/>\n---QuillmereSeparator---\n"
             "<SECURITY id=\"a\">\r\n<NAME>x</NAME></SECURITY>\r\n---QuillmereSeparator---\r\n"
             "\n---QuillmereSeparator---\n"  // a blank document is not sent
             "<last/>\n");                    // the end of input ends the last one
  start({}, dir / "input");
  ASSERT_TRUE(received(3)) << read_file(dir / "hub.out");
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
