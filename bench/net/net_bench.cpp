// Throughput of NetSimple against a plain blocking send loop over the same kind of socket,
// both into a loopback sink, and the cost of opening, using and closing a connection.
//
// Usage: net_bench [megabytes] [rounds] [connections]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "net/net_simple.h"
#include "net/socket_layer.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace verdan;

// Accepts connections one after another and reads each to its end.
class Sink {
 public:
  Sink() {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ::listen(listen_, 128);
    socklen_t len = sizeof sa;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~Sink() {
    stop_ = true;
    thread_.join();
    ::close(listen_);
  }
  std::uint16_t port() const { return port_; }
  std::int64_t Bytes() const { return bytes_.load(); }
  int Finished() const { return finished_.load(); }

 private:
  void Run() {
    std::vector<char> buf(1 << 20);
    while (!stop_) {
      pollfd p{listen_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      int fd = ::accept(listen_, nullptr, nullptr);
      if (fd < 0) continue;
      for (;;) {
        ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0) break;
        bytes_ += n;
      }
      ::close(fd);
      ++finished_;
    }
  }
  int listen_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<std::int64_t> bytes_{0};
  std::atomic<int> finished_{0};
  std::thread thread_;
};

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

void WaitFinished(const Sink& sink, int finished) {
  auto limit = Clock::now() + std::chrono::seconds(120);
  while (sink.Finished() < finished && Clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::microseconds(200));
}

// Plain blocking send loop of 16384-byte blocks; seconds until the sink has read everything.
double PlainLoop(Sink& sink, std::int64_t total) {
  int before = sink.Finished();
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(sink.port());
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::vector<char> block(net::kMaxBinData, 'p');
  auto start = Clock::now();
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return -1;
  for (std::int64_t sent = 0; sent < total;) {
    std::size_t want =
        static_cast<std::size_t>(std::min<std::int64_t>(total - sent, net::kMaxBinData));
    std::size_t off = 0;
    while (off < want) {
      ssize_t n = ::send(fd, block.data() + off, want - off, MSG_NOSIGNAL);
      if (n <= 0) return -1;
      off += static_cast<std::size_t>(n);
    }
    sent += static_cast<std::int64_t>(want);
  }
  ::close(fd);
  WaitFinished(sink, before + 1);
  return Seconds(start, Clock::now());
}

// The same bytes through NetSimple, keeping at most `window` packets queued in the layer.
double ThroughNetSimple(net::NetDLL& layer, Sink& sink, std::int64_t total, int window) {
  int before = sink.Finished();
  platform::EventQueue owner;
  net::NetSimple obj(nullptr, &layer);
  obj.Init();
  obj.SuppressErrorMsg = 1;
  std::memset(obj.Packet.BinData, 's', sizeof obj.Packet.BinData);
  auto start = Clock::now();
  obj.Open("127.0.0.1", sink.port());
  if (obj.Error != 0) return -1;
  for (std::int64_t sent = 0; sent < total;) {
    obj.CountOutgoingPackets(net::OutgoingCount::kPackets);
    if (obj.OutgoingDLLPackets >= window) {
      platform::Event e = owner.WaitFor(std::chrono::milliseconds(1));
      if (e.code != platform::kEventNone) obj.TakeEvent(e);
      continue;
    }
    obj.Packet.BinDataLen =
        static_cast<std::int32_t>(std::min<std::int64_t>(total - sent, net::kMaxBinData));
    obj.Send();
    if (obj.Error != 0) return -1;
    sent += obj.Packet.BinDataLen;
  }
  obj.Close();
  WaitFinished(sink, before + 1);
  double s = Seconds(start, Clock::now());
  obj.Kill();
  return s;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  std::int64_t megabytes = argc > 1 ? std::atoll(argv[1]) : 200;
  int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  int connections = argc > 3 ? std::atoi(argv[3]) : 1000;
  std::int64_t total = megabytes * 1000 * 1000;
  net::NetDLL layer;
  layer.DLLStartUp("");
  Sink sink;

  std::vector<double> plain, simple, ratios;
  for (int r = 0; r < rounds; ++r) {
    double p = PlainLoop(sink, total);
    double s = ThroughNetSimple(layer, sink, total, 256);
    if (p <= 0 || s <= 0) {
      std::fprintf(stderr, "net_bench: a transfer failed\n");
      return 1;
    }
    plain.push_back(total / p / 1e6);
    simple.push_back(total / s / 1e6);
    ratios.push_back(p / s);
    std::printf("round %d: plain send loop %.0f MB/s, NetSimple %.0f MB/s, ratio %.2f\n", r + 1,
                plain.back(), simple.back(), ratios.back());
  }
  std::printf("throughput over %lld MB: plain %.0f MB/s, NetSimple %.0f MB/s (medians)\n",
              static_cast<long long>(megabytes), Median(plain), Median(simple));
  std::printf("median throughput ratio NetSimple / plain send loop: %.2f (target >= 0.5)\n",
              Median(ratios));

  // Open, use and close connections one after another.
  platform::EventQueue owner;
  net::NetSimple obj(nullptr, &layer);
  obj.Init();
  obj.SuppressErrorMsg = 1;
  int before = sink.Finished();
  auto start = Clock::now();
  int done = 0;
  for (int i = 0; i < connections; ++i) {
    obj.Open("127.0.0.1", sink.port());
    if (obj.Error != 0) break;
    obj.Packet.BinDataLen = 5;
    std::memcpy(obj.Packet.BinData, "NOOP\n", 5);
    obj.Send();
    obj.Close();
    // Until the type-6 answer has been handled and the server's close has arrived.
    auto limit = Clock::now() + std::chrono::seconds(10);
    while ((obj.BetweenPhaseOneAnTwo_ || sink.Finished() < before + i + 1) &&
           Clock::now() < limit) {
      platform::Event e = owner.WaitFor(std::chrono::milliseconds(1));
      if (e.code != platform::kEventNone) obj.TakeEvent(e);
    }
    ++done;
  }
  double per = Seconds(start, Clock::now()) / std::max(done, 1);
  std::printf("%d connections opened, used and closed: %.3f ms per connection\n", done, per * 1000);
  obj.Kill();
  layer.DLLShutDown();
  return done == connections ? 0 : 1;
}
