// A stand-in feed hub for trying subscriptions: pushes documents from files (again on an
// interval) or typed on standard input to every subscriber, each followed by the separator.

#include <unistd.h>

#include <utility>  // before Asio, whose coroutine header needs it under C++20

#include <boost/asio.hpp>
#include <boost/program_options.hpp>
#include <chrono>
#include <deque>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "feed/quillmere_client.h"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

constexpr std::size_t max_request_bytes = 8192;
// A subscriber this far behind is not reading; it is dropped rather than buffered for.
constexpr std::size_t max_unsent_bytes = std::size_t{64} << 20;
// Documents kept from standard input for subscribers that arrive later.
constexpr std::size_t max_history_bytes = std::size_t{16} << 20;
constexpr std::size_t max_document_bytes = std::size_t{16} << 20;

const std::string response_header = "HTTP/1.0 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\n\r\n";

std::string framed(const std::string& document) { return document + std::string(orv::quillmere_separator); }

class hub;

class subscriber_session : public std::enable_shared_from_this<subscriber_session> {
 public:
  subscriber_session(tcp::socket socket, hub& owner)
      : socket_(std::move(socket)), hub_(owner), peer_(describe(socket_)) {}

  void start();
  void send(const std::string& bytes);
  bool ready() const { return ready_; }
  const std::string& peer() const { return peer_; }

 private:
  static std::string describe(const tcp::socket& socket) {
    boost::system::error_code ec;
    const auto at = socket.remote_endpoint(ec);
    return ec ? "unknown peer" : at.address().to_string() + ":" + std::to_string(at.port());
  }
  void on_request(const boost::system::error_code& ec);
  void watch_for_close();
  void write_next();
  void leave(const std::string& why);

  tcp::socket socket_;
  hub& hub_;
  std::string peer_;
  std::string request_;
  std::deque<std::string> unsent_;
  std::size_t unsent_bytes_ = 0;
  bool writing_ = false;
  bool ready_ = false;
  bool gone_ = false;
  char scratch_[512];
};

class hub {
 public:
  hub(asio::io_context& io, unsigned short port, std::vector<std::string> files, int interval)
      : io_(io), acceptor_(io, tcp::endpoint(tcp::v4(), port)), timer_(io), files_(std::move(files)),
        interval_(interval) {
    std::cout << "Listening on port " << acceptor_.local_endpoint().port() << std::endl;
    accept_next();
    if (!files_.empty() && interval_ > 0) schedule_resend();
  }

  // What a new subscriber gets after the response header.
  std::string current_documents() {
    std::string out;
    if (files_.empty()) {
      for (const auto& document : history_) out += framed(document);
      return out;
    }
    for (const auto& file : files_) {
      std::ifstream in(file, std::ios::binary);
      std::ostringstream text;
      if (!(in && text << in.rdbuf())) {
        std::cerr << "Can't read " << file << std::endl;
        continue;
      }
      out += framed(text.str());
    }
    return out;
  }

  void publish(const std::string& document) {
    history_.push_back(document);
    history_bytes_ += document.size();
    while (history_bytes_ > max_history_bytes && history_.size() > 1) {
      history_bytes_ -= history_.front().size();
      history_.pop_front();
    }
    broadcast(framed(document));
  }

  void joined(const std::shared_ptr<subscriber_session>& s) { sessions_.insert(s); }
  void left(const std::shared_ptr<subscriber_session>& s) { sessions_.erase(s); }

 private:
  void accept_next() {
    acceptor_.async_accept([this](const boost::system::error_code& ec, tcp::socket socket) {
      if (ec) {
        std::cerr << "Accept failed: " << ec.message() << std::endl;
        // Running out of descriptors repeats at once; try again a little later.
        auto retry = std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds(250));
        retry->async_wait([this, retry](const boost::system::error_code&) { accept_next(); });
        return;
      }
      std::make_shared<subscriber_session>(std::move(socket), *this)->start();
      accept_next();
    });
  }

  void broadcast(const std::string& bytes) {
    int sent = 0;
    for (const auto& s : std::set(sessions_)) {
      if (!s->ready()) continue;
      s->send(bytes);
      ++sent;
    }
    std::cout << "Sent " << bytes.size() << " bytes to " << sent << " subscriber(s)" << std::endl;
  }

  void schedule_resend() {
    timer_.expires_after(std::chrono::seconds(interval_));
    timer_.async_wait([this](const boost::system::error_code& ec) {
      if (ec) return;
      broadcast(current_documents());
      schedule_resend();
    });
  }

  asio::io_context& io_;
  tcp::acceptor acceptor_;
  asio::steady_timer timer_;
  std::vector<std::string> files_;
  int interval_;
  std::set<std::shared_ptr<subscriber_session>> sessions_;
  std::deque<std::string> history_;
  std::size_t history_bytes_ = 0;
};

void subscriber_session::start() {
  std::cout << "Subscriber " << peer_ << " connected" << std::endl;
  hub_.joined(shared_from_this());
  asio::async_read_until(socket_, asio::dynamic_buffer(request_, max_request_bytes), "\r\n\r\n",
                         [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                           self->on_request(ec);
                         });
}

void subscriber_session::on_request(const boost::system::error_code& ec) {
  if (ec) {
    leave(ec == asio::error::not_found ? "request too long" : ec.message());
    return;
  }
  std::string id = "(none)";
  std::string path = "(none)";
  std::istringstream lines(request_);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("QuillmereID: ", 0) == 0) id = line.substr(13);
    if (line.rfind("GET ", 0) == 0) path = line.substr(4, line.rfind(' ') > 4 ? line.rfind(' ') - 4 : std::string::npos);
  }
  std::cout << "Subscriber " << peer_ << ": QuillmereID " << id << ", path " << path << std::endl;
  ready_ = true;
  send(response_header + hub_.current_documents());
  watch_for_close();
}

// Subscribers send nothing after the request; a read that ends means they hung up.
void subscriber_session::watch_for_close() {
  socket_.async_read_some(asio::buffer(scratch_),
                          [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                            if (ec)
                              self->leave(ec == asio::error::eof ? "hung up" : ec.message());
                            else
                              self->watch_for_close();
                          });
}

void subscriber_session::send(const std::string& bytes) {
  if (gone_ || bytes.empty()) return;
  if (unsent_bytes_ + bytes.size() > max_unsent_bytes) {
    leave("not reading");
    return;
  }
  unsent_.push_back(bytes);
  unsent_bytes_ += bytes.size();
  if (!writing_) write_next();
}

void subscriber_session::write_next() {
  writing_ = true;
  asio::async_write(socket_, asio::buffer(unsent_.front()),
                    [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                      self->writing_ = false;
                      if (self->gone_) return;
                      if (ec) {
                        self->leave(ec.message());
                        return;
                      }
                      self->unsent_bytes_ -= self->unsent_.front().size();
                      self->unsent_.pop_front();
                      if (!self->unsent_.empty()) self->write_next();
                    });
}

void subscriber_session::leave(const std::string& why) {
  if (gone_) return;
  gone_ = true;
  std::cout << "Subscriber " << peer_ << " left: " << why << std::endl;
  boost::system::error_code ignored;
  socket_.close(ignored);
  unsent_.clear();
  hub_.left(shared_from_this());
}

// Documents typed or piped on standard input, each ended by a line holding only the separator.
class document_reader {
 public:
  explicit document_reader(hub& target) : hub_(target) {}

  void take_line(std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == orv::quillmere_separator) {
      finish();
      return;
    }
    if (pending_.size() + line.size() + 1 > max_document_bytes) overflow();
    if (overflowed_) return;
    pending_ += line;
    pending_ += '\n';
  }

  // The rest of the document, up to its separator, is skipped.
  void overflow() {
    if (!overflowed_) std::cerr << "Document longer than " << max_document_bytes << " bytes dropped" << std::endl;
    overflowed_ = true;
    pending_.clear();
  }

  // The end of input also ends the document being typed.
  void finish() {
    if (!overflowed_ && pending_.find_first_not_of(" \t\r\n") != std::string::npos) hub_.publish(pending_);
    pending_.clear();
    overflowed_ = false;
  }

 private:
  hub& hub_;
  std::string pending_;
  bool overflowed_ = false;
};

class stdin_lines {
 public:
  stdin_lines(asio::io_context& io, document_reader& reader) : input_(io), reader_(reader) {}

  // False when standard input can't be watched (a regular file): read it at once instead.
  bool start() {
    const int fd = ::dup(STDIN_FILENO);
    if (fd < 0) return false;
    boost::system::error_code ec;
    input_.assign(fd, ec);
    if (ec) {
      ::close(fd);
      return false;
    }
    read_next();
    return true;
  }

 private:
  void read_next() {
    asio::async_read_until(input_, asio::dynamic_buffer(buffer_, max_document_bytes), '\n',
                           [this](const boost::system::error_code& ec, std::size_t n) {
                             if (ec) {
                               if (ec == asio::error::not_found) {  // a line past the cap
                                 buffer_.clear();
                                 reader_.overflow();
                                 read_next();
                                 return;
                               }
                               if (!buffer_.empty()) reader_.take_line(std::move(buffer_));
                               reader_.finish();
                               std::cout << "End of standard input; still serving" << std::endl;
                               return;
                             }
                             reader_.take_line(buffer_.substr(0, n - 1));
                             buffer_.erase(0, n);
                             read_next();
                           });
  }

  asio::posix::stream_descriptor input_;
  document_reader& reader_;
  std::string buffer_;
};

}  // namespace

int main(int argc, char* argv[]) {
  namespace po = boost::program_options;
  po::options_description options("orv_demo_feedhub [options] [document files]");
  options.add_options()("help,h", "show this help")(
      "port,p", po::value<unsigned short>()->default_value(6310), "TCP port to listen on (0: any free port)")(
      "interval,i", po::value<int>()->default_value(0),
      "seconds between re-sending the files to every subscriber (0: only when one subscribes)")(
      "document", po::value<std::vector<std::string>>(), "document file; without any, documents come from stdin");
  po::positional_options_description positional;
  positional.add("document", -1);

  po::variables_map vm;
  try {
    po::store(po::command_line_parser(argc, argv).options(options).positional(positional).run(), vm);
    po::notify(vm);
  } catch (const po::error& e) {
    std::cerr << e.what() << "\n" << options << std::endl;
    return 2;
  }
  if (vm.count("help")) {
    std::cout << options << "\nWithout files, type documents on standard input, each ended by a line holding only "
              << orv::quillmere_separator << "\n";
    return 0;
  }
  const auto files = vm.count("document") ? vm["document"].as<std::vector<std::string>>() : std::vector<std::string>();
  const int interval = vm["interval"].as<int>();
  if (interval < 0) {
    std::cerr << "--interval must not be negative" << std::endl;
    return 2;
  }

  try {
    asio::io_context io;
    hub feed_hub(io, vm["port"].as<unsigned short>(), files, interval);
    document_reader reader(feed_hub);
    stdin_lines input(io, reader);
    if (files.empty() && !input.start()) {
      for (std::string line; std::getline(std::cin, line);) reader.take_line(line);
      reader.finish();
    }
    asio::signal_set stop(io, SIGINT, SIGTERM);
    stop.async_wait([&io](const boost::system::error_code&, int) { io.stop(); });
    io.run();
  } catch (const std::exception& e) {
    std::cerr << "orv_demo_feedhub: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
