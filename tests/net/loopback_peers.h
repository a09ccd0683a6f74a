// TCP peers on 127.0.0.1 for the network tests, each on a thread of its own: an echo
// server, a slow reader, a server that speaks and closes first, and a silent one. Every
// wait is bounded.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/peer_socket.h"

namespace verdan::testing {

// A listening socket on a free loopback port.
inline int ListenLoopback(std::uint16_t& port, int backlog = 64, int receiveBuffer = 0) {
  int fd = PeerSocket();
#ifndef _WIN32
  PeerSetOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);  // on Windows it would let another take the port
#endif
  if (receiveBuffer > 0) PeerSetOption(fd, SOL_SOCKET, SO_RCVBUF, receiveBuffer);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  ::listen(fd, backlog);
  PeerLen len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  port = ntohs(sa.sin_port);
  return fd;
}

// A port on which nobody listens.
inline std::uint16_t RefusingPort() {
  std::uint16_t port = 0;
  int fd = ListenLoopback(port);
  ClosePeer(fd);
  return port;
}

// Accepts connections and runs `serve` for each on the server thread, one after another,
// until stopped. Everything the peers received is kept per connection.
class LoopbackServer {
 public:
  using Serve = std::function<void(int fd, std::string& received, const std::atomic<bool>& stop)>;
  explicit LoopbackServer(Serve serve, int receiveBuffer = 0) : serve_(std::move(serve)) {
    listen_ = ListenLoopback(port_, 64, receiveBuffer);
    thread_ = std::thread([this] { Run(); });
  }
  ~LoopbackServer() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listen_ >= 0) ClosePeer(listen_);
    listen_ = -1;
  }
  std::uint16_t port() const { return port_; }
  std::vector<std::string> Received() const {
    std::lock_guard lock(mutex_);
    return received_;
  }
  int Accepted() const { return accepted_.load(); }

  // Serves by echoing everything back until the client closes.
  static void Echo(int fd, std::string& received, const std::atomic<bool>& stop) {
    char buf[65536];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!stop && std::chrono::steady_clock::now() < deadline) {
      if (!WaitReadable(fd, 50)) continue;
      long n = PeerRecv(fd, buf, sizeof buf);
      if (n <= 0) return;
      received.append(buf, static_cast<std::size_t>(n));
      std::size_t off = 0;
      while (off < static_cast<std::size_t>(n)) {
        long w = PeerSend(fd, buf + off, static_cast<std::size_t>(n) - off);
        if (w <= 0) return;
        off += static_cast<std::size_t>(w);
      }
    }
  }

  // Reads everything until the client closes, then closes too.
  static void Sink(int fd, std::string& received, const std::atomic<bool>& stop) {
    char buf[65536];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!stop && std::chrono::steady_clock::now() < deadline) {
      if (!WaitReadable(fd, 50)) continue;
      long n = PeerRecv(fd, buf, sizeof buf);
      if (n <= 0) return;
      received.append(buf, static_cast<std::size_t>(n));
    }
  }

 private:
  void Run() {
    while (!stop_) {
      if (!WaitReadable(listen_, 20)) continue;
      int fd = PeerAccept(listen_);
      if (fd < 0) continue;
      ++accepted_;
      std::string received;
      serve_(fd, received, stop_);
      ClosePeer(fd);
      std::lock_guard lock(mutex_);
      received_.push_back(std::move(received));
    }
  }

  Serve serve_;
  int listen_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> received_;
};

}  // namespace verdan::testing
