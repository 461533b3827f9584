// A TCP relay that plays a slow link for tests and benchmarks: every byte is
// delivered D ms after it was read, and each direction is capped at R Mbit/s.
//   relay --listen [ADDR:]PORT --to IP:PORT [--delay-ms D] [--rate-mbit R]
//         [--count FILE] [--record FILE] [--drop-after N] [--flip-at OFFSET]
//         [--stall-after N] [--verbose]
// "Up" is the direction from the accepted side to the target. One thread
// polls every socket, so the timestamps of reads stay exact.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace {

using Nanos = std::int64_t;
constexpr Nanos kNever = std::numeric_limits<Nanos>::max();
constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();
// An error or hang-up counts as writable: the send that follows reports it.
constexpr short kWritable = POLLOUT | POLLERR | POLLHUP;

Nanos now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return Nanos{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

struct Options {
  std::string listen_host = "127.0.0.1";
  std::string listen_port;
  std::string to_host;
  std::string to_port;
  double delay_ms = 0;
  double rate_mbit = 0;  // 0: no cap
  std::string count_path;
  std::string record_path;  // every byte carried, both ways, as read
  std::uint64_t drop_after = kNoLimit;
  std::uint64_t stall_after = kNoLimit;
  std::uint64_t flip_at = kNoLimit;
  bool verbose = false;
};

[[noreturn]] void usage(const char* why) {
  std::fprintf(stderr,
               "relay: %s\n"
               "usage: relay --listen [ADDR:]PORT --to IP:PORT [--delay-ms D]"
               " [--rate-mbit R]\n"
               "             [--count FILE] [--record FILE] [--drop-after N] "
               "[--flip-at "
               "OFFSET] [--stall-after N]\n"
               "             [--verbose]\n",
               why);
  std::exit(2);
}

// "PORT", "ADDR:PORT" or "[V6]:PORT".
void split_address(const std::string& text, std::string& host,
                   std::string& port) {
  auto colon = text.rfind(':');
  if (colon == std::string::npos) {
    port = text;
    return;
  }
  host = text.substr(0, colon);
  port = text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
}

double parse_number(const char* text) {
  char* end = nullptr;
  double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(value >= 0)) usage("bad number");
  return value;
}

std::uint64_t parse_count(const char* text) {
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || text[0] == '-') {
    usage("bad byte count");
  }
  return value;
}

Options parse(int argc, char** argv) {
  Options o;
  bool have_listen = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--verbose") {
      o.verbose = true;
      continue;
    }
    if (i + 1 >= argc) usage(("missing value after " + arg).c_str());
    const char* value = argv[++i];
    if (arg == "--listen") {
      split_address(value, o.listen_host, o.listen_port);
      have_listen = true;
    } else if (arg == "--to") {
      split_address(value, o.to_host, o.to_port);
    } else if (arg == "--delay-ms") {
      o.delay_ms = parse_number(value);
    } else if (arg == "--rate-mbit") {
      o.rate_mbit = parse_number(value);
    } else if (arg == "--count") {
      o.count_path = value;
    } else if (arg == "--record") {
      o.record_path = value;
    } else if (arg == "--drop-after") {
      o.drop_after = parse_count(value);
    } else if (arg == "--stall-after") {
      o.stall_after = parse_count(value);
    } else if (arg == "--flip-at") {
      o.flip_at = parse_count(value);
    } else {
      usage(("unknown option " + arg).c_str());
    }
  }
  if (!have_listen || o.to_host.empty() || o.to_port.empty()) {
    usage("--listen and --to IP:PORT are required");
  }
  if (o.drop_after != kNoLimit && o.stall_after != kNoLimit) {
    usage("--drop-after and --stall-after exclude each other");
  }
  return o;
}

addrinfo* resolve(const std::string& host, const std::string& port,
                  bool passive) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
  addrinfo* found = nullptr;
  int err = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (err != 0) {
    std::fprintf(stderr, "relay: %s:%s: %s\n", host.c_str(), port.c_str(),
                 gai_strerror(err));
    std::exit(2);
  }
  return found;
}

void set_nodelay(int fd) {
  // The relay must not add Nagle's wait to a small message.
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// A closing socket sends a reset, not an orderly end.
void close_with_reset(int fd) {
  if (fd < 0) return;
  linger hard{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(fd);
}

struct Chunk {
  Nanos due;          // when its bytes may leave
  std::uint64_t end;  // stream offset just past its last byte
};

// One direction: a ring buffer of what was read and not yet delivered, with
// the time each read's bytes fall due.
struct Direction {
  int from = -1;
  int to = -1;
  std::unique_ptr<char[]> ring;
  std::uint64_t capacity = 0;
  std::uint64_t read = 0;  // bytes taken from `from`
  std::uint64_t sent = 0;  // bytes handed to `to`
  std::deque<Chunk> chunks;
  bool eof = false;
  Nanos eof_due = 0;
  bool fin_sent = false;
  bool blocked = false;  // `to` is connecting or its buffer was full
  double tokens = 0;
  Nanos refilled = 0;
  bool paced = false;              // bytes were due and waited for tokens
  std::uint64_t limit = kNoLimit;  // a fault's cut-off
  std::uint64_t flip_at = kNoLimit;

  bool can_read() const { return !eof && read - sent < capacity && from >= 0; }
  char* at(std::uint64_t offset) const {
    return ring.get() + offset % capacity;
  }
  // The ring's bytes [begin, begin + size) as at most two pieces.
  int pieces(std::uint64_t begin, std::uint64_t size, iovec* iov) const {
    std::uint64_t first = std::min(size, capacity - begin % capacity);
    iov[0] = {at(begin), first};
    iov[1] = {ring.get(), size - first};
    return size > first ? 2 : 1;
  }
};

enum class State { kOpen, kStalled, kDropping, kDone };

struct Connection {
  unsigned id = 0;
  int client = -1;
  int server = -1;
  bool connecting = true;
  Direction up;    // client to server
  Direction down;  // server to client
  State state = State::kOpen;
  Nanos drop_deadline = 0;
};

class Relay {
 public:
  explicit Relay(const Options& o) : o_(o) {
    delay_ = static_cast<Nanos>(o.delay_ms * 1e6);
    rate_ = o.rate_mbit * 1e6 / 8 / 1e9;  // bytes per nanosecond
    // Pace in steps of a quarter millisecond's bytes; a link that was idle
    // may send two milliseconds' worth at once.
    quantum_ = static_cast<std::uint64_t>(
        std::clamp(rate_ * 250'000, 1024.0, 256.0 * 1024));
    burst_ = std::max(rate_ * 2'000'000, 64.0 * 1024);
    catch_up_ = std::max(rate_ * 20'000'000, burst_);
    // A bandwidth-delay product, plus room for what waits on the rate.
    capacity_ =
        rate_ > 0
            ? static_cast<std::uint64_t>(rate_ * static_cast<double>(delay_)) +
                  (256 << 10)
            : std::uint64_t{4} << 20;
  }

  void listen_on() {
    addrinfo* ai = resolve(o_.listen_host, o_.listen_port, true);
    listener_ = socket(ai->ai_family, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int on = 1;
    if (listener_ < 0 ||
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(listener_, ai->ai_addr, ai->ai_addrlen) != 0 ||
        listen(listener_, 64) != 0) {
      std::perror("relay: listen");
      std::exit(1);
    }
    freeaddrinfo(ai);
    // Kept as a plain address: the relay ends on a signal, and nothing
    // allocated may be left then.
    addrinfo* target = resolve(o_.to_host, o_.to_port, false);
    std::memcpy(&target_, target->ai_addr, target->ai_addrlen);
    target_length_ = target->ai_addrlen;
    freeaddrinfo(target);
    if (o_.listen_port == "0") {
      sockaddr_storage here{};
      socklen_t size = sizeof here;
      getsockname(listener_, reinterpret_cast<sockaddr*>(&here), &size);
      auto port = here.ss_family == AF_INET6
                      ? reinterpret_cast<sockaddr_in6*>(&here)->sin6_port
                      : reinterpret_cast<sockaddr_in*>(&here)->sin_port;
      std::printf("listening on %u\n", ntohs(port));
      std::fflush(stdout);
    }
    if (!o_.record_path.empty()) {
      record_fd_ = open(o_.record_path.c_str(),
                        O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (record_fd_ < 0) {
        std::perror(o_.record_path.c_str());
        std::exit(1);
      }
    }
    if (!o_.count_path.empty()) {
      count_fd_ =
          open(o_.count_path.c_str(),
               O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
      if (count_fd_ < 0) {
        std::perror(o_.count_path.c_str());
        std::exit(1);
      }
    }
  }

  void run(const sigset_t& unblocked) {
    std::vector<pollfd> fds;
    while (!g_stop) {
      Nanos now = now_ns();
      Nanos wake = kNever;
      for (auto& c : connections_) service(*c, now, wake);
      std::erase_if(connections_,
                    [](const auto& c) { return c->state == State::kDone; });

      fds.clear();
      fds.push_back({listener_, POLLIN, 0});
      for (auto& c : connections_) {
        fds.push_back({c->client, events_of(*c, c->client), 0});
        fds.push_back({c->server, events_of(*c, c->server), 0});
      }
      // A socket with nothing to wait for stays out, so that a hang-up it
      // reports cannot spin the loop.
      for (auto& p : fds) {
        if (p.events == 0) p.fd = -1;
      }
      timespec timeout{};
      timespec* limit = nullptr;
      if (wake != kNever) {
        Nanos left = std::max<Nanos>(wake - now_ns(), 0);
        timeout = {static_cast<time_t>(left / 1'000'000'000),
                   static_cast<long>(left % 1'000'000'000)};
        limit = &timeout;
      }
      int n = ppoll(fds.data(), fds.size(), limit, &unblocked);
      if (n < 0) {
        if (errno == EINTR) continue;
        std::perror("relay: ppoll");
        std::exit(1);
      }
      if (n == 0) continue;
      std::size_t polled = connections_.size();
      for (std::size_t i = 0; i < polled; ++i) {
        on_events(*connections_[i], fds[1 + 2 * i], fds[2 + 2 * i]);
      }
      if (fds[0].revents != 0) accept_all();
    }
    for (auto& c : connections_) {
      if (c->state != State::kDone) finish(*c, "stopped", false);
    }
  }

 private:
  short events_of(const Connection& c, int fd) const {
    if (c.state != State::kOpen) return 0;
    if (fd == c.server && c.connecting) return POLLOUT;
    const Direction& in = fd == c.client ? c.up : c.down;
    const Direction& out = fd == c.client ? c.down : c.up;
    short events = 0;
    if (in.can_read()) events |= POLLIN;
    if (out.blocked && !out.fin_sent) events |= POLLOUT;
    return events;
  }

  void accept_all() {
    for (;;) {
      int fd =
          accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      auto c = std::make_unique<Connection>();
      c->id = ++accepted_;
      c->client = fd;
      set_nodelay(fd);
      c->server = socket(target_.ss_family,
                         SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      set_nodelay(c->server);
      Nanos now = now_ns();
      setup(c->up, fd, c->server, now);
      c->up.blocked = true;
      setup(c->down, c->server, fd, now);
      c->down.from = -1;  // nothing to read from the target until it answers
      c->down.blocked = false;
      c->up.limit = std::min(o_.drop_after, o_.stall_after);
      if (c->id == 1) c->up.flip_at = o_.flip_at;
      if (o_.verbose) std::fprintf(stderr, "relay: connection %u\n", c->id);
      if (connect(c->server, reinterpret_cast<const sockaddr*>(&target_),
                  target_length_) == 0) {
        connected(*c);
      } else if (errno != EINPROGRESS) {
        std::fprintf(stderr, "relay: connect: %s\n", std::strerror(errno));
        finish(*c, "connect failed", true);
        continue;
      }
      connections_.push_back(std::move(c));
    }
  }

  void setup(Direction& d, int from, int to, Nanos now) const {
    d.from = from;
    d.to = to;
    d.capacity = capacity_;
    // Untouched pages cost nothing: a quiet direction stays small.
    d.ring.reset(new char[capacity_]);
    d.tokens = burst_;
    d.refilled = now;
  }

  void connected(Connection& c) {
    c.connecting = false;
    c.up.blocked = false;
    c.down.blocked = false;
    c.down.from = c.server;
  }

  void on_events(Connection& c, const pollfd& client, const pollfd& server) {
    if (c.state != State::kOpen) return;
    if (c.connecting) {
      if (server.revents == 0) return;
      int err = 0;
      socklen_t size = sizeof err;
      getsockopt(c.server, SOL_SOCKET, SO_ERROR, &err, &size);
      if (err != 0) {
        std::fprintf(stderr, "relay: connect: %s\n", std::strerror(err));
        finish(c, "connect failed", true);
        return;
      }
      connected(c);
    } else if (server.revents != 0) {
      if ((server.events & POLLOUT) && (server.revents & kWritable)) {
        c.up.blocked = false;
      }
      if ((server.events & POLLIN) && !take(c, c.down)) return;
    }
    if (client.revents != 0) {
      if ((client.events & POLLOUT) && (client.revents & kWritable)) {
        c.down.blocked = false;
      }
      if (client.events & POLLIN) take(c, c.up);
    }
  }

  // Reads what the ring has room for; false when the connection ended.
  bool take(Connection& c, Direction& d) {
    iovec iov[2];
    std::uint64_t room = d.capacity - (d.read - d.sent);
    int count = d.pieces(d.read, room, iov);
    ssize_t n = readv(d.from, iov, count);
    Nanos now = now_ns();
    if (n > 0) {
      auto got = static_cast<std::uint64_t>(n);
      if (record_fd_ >= 0) {
        iovec read_now[2];
        int parts = d.pieces(d.read, got, read_now);
        if (writev(record_fd_, read_now, parts) != n) {
          std::perror("relay: record");
        }
      }
      if (d.flip_at >= d.read && d.flip_at < d.read + got) {
        *d.at(d.flip_at) ^= 0x01;
      }
      d.read += got;
      d.chunks.push_back({now + delay_, d.read});
    } else if (n == 0) {
      d.eof = true;
      d.eof_due = now + delay_;
    } else if (errno != EAGAIN && errno != EINTR) {
      finish(c, "read error", true);
      return false;
    }
    return true;
  }

  void service(Connection& c, Nanos now, Nanos& wake) {
    if (c.state == State::kDropping) {
      // The bytes before the cut reach the target before the reset does.
      int unacked = 0;
      ioctl(c.server, SIOCOUTQ, &unacked);
      if (unacked == 0 || now >= c.drop_deadline) {
        finish(c, "dropped", true);
      } else {
        wake = std::min(wake, now + 200'000);
      }
      return;
    }
    if (c.state != State::kOpen) return;
    if (!pump(c.up, now, wake) || !pump(c.down, now, wake)) {
      finish(c, "write error", true);
      return;
    }
    if (c.up.limit != kNoLimit && c.up.sent >= c.up.limit) {
      if (o_.drop_after != kNoLimit) {
        c.state = State::kDropping;
        c.drop_deadline = now + 100'000'000;
        wake = std::min(wake, now);
      } else {
        c.state = State::kStalled;
        if (o_.verbose) std::fprintf(stderr, "relay: %u stalled\n", c.id);
      }
      return;
    }
    if (c.up.fin_sent && c.down.fin_sent) finish(c, "closed", false);
  }

  // A direction that waited for tokens was busy all along: if this process
  // woke late, it catches up on what the link would have carried.
  void refill(Direction& d, Nanos now) const {
    d.tokens =
        std::min(d.paced ? catch_up_ : burst_,
                 d.tokens + static_cast<double>(now - d.refilled) * rate_);
    d.refilled = now;
  }

  // Delivers what is due and what the rate allows; false on a broken socket.
  bool pump(Direction& d, Nanos now, Nanos& wake) {
    if (d.fin_sent || d.blocked) return true;
    while (!d.chunks.empty() && d.chunks.front().end <= d.sent) {
      d.chunks.pop_front();
    }
    std::uint64_t due = d.sent;
    Nanos next_due = kNever;
    for (const Chunk& chunk : d.chunks) {
      if (chunk.due > now) {
        next_due = chunk.due;
        break;
      }
      due = chunk.end;
    }
    due = std::min(due, d.limit);
    if (due > d.sent) {
      std::uint64_t allowed = due - d.sent;
      if (rate_ > 0) {
        refill(d, now);
        allowed = std::min(allowed, static_cast<std::uint64_t>(d.tokens));
      }
      // Few large sends rather than many small ones, but never hold back
      // a message smaller than a step.
      if (allowed >= std::min(due - d.sent, quantum_)) {
        iovec iov[2];
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen =
            static_cast<std::size_t>(d.pieces(d.sent, allowed, iov));
        ssize_t n = sendmsg(d.to, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
          if (errno != EAGAIN && errno != EINTR) return false;
          d.blocked = true;
          d.paced = false;
          return true;
        }
        d.sent += static_cast<std::uint64_t>(n);
        d.tokens -= static_cast<double>(n);
        if (static_cast<std::uint64_t>(n) < allowed) {
          d.blocked = true;
          d.paced = false;
          return true;
        }
      }
      d.paced = due > d.sent;
      if (d.paced) {
        double want = static_cast<double>(std::min(due - d.sent, quantum_));
        wake = std::min(
            wake, now + static_cast<Nanos>((want - d.tokens) / rate_ + 1));
      }
    }
    if (d.sent < d.limit) wake = std::min(wake, next_due);
    if (d.eof && d.sent == d.read) {
      if (now < d.eof_due) {
        wake = std::min(wake, d.eof_due);
      } else {
        if (shutdown(d.to, SHUT_WR) != 0) return false;
        d.fin_sent = true;
      }
    }
    return true;
  }

  void finish(Connection& c, const char* reason, bool reset) {
    if (reset) {
      close_with_reset(c.client);
      close_with_reset(c.server);
    } else {
      close(c.client);
      close(c.server);
    }
    c.state = State::kDone;
    if (count_fd_ >= 0) {
      char line[96];
      int n = std::snprintf(line, sizeof line, "%u %llu %llu\n", c.id,
                            static_cast<unsigned long long>(c.up.sent),
                            static_cast<unsigned long long>(c.down.sent));
      if (write(count_fd_, line, static_cast<std::size_t>(n)) != n) {
        std::perror("relay: count");
      }
    }
    if (o_.verbose) {
      std::fprintf(stderr, "relay: %u %s: %llu bytes up, %llu down\n", c.id,
                   reason, static_cast<unsigned long long>(c.up.sent),
                   static_cast<unsigned long long>(c.down.sent));
    }
  }

  const Options& o_;
  Nanos delay_ = 0;
  double rate_ = 0;
  std::uint64_t quantum_ = 0;
  double burst_ = 0;
  double catch_up_ = 0;
  std::uint64_t capacity_ = 0;
  int listener_ = -1;
  int count_fd_ = -1;
  int record_fd_ = -1;
  sockaddr_storage target_{};
  socklen_t target_length_ = 0;
  unsigned accepted_ = 0;
  std::vector<std::unique_ptr<Connection>> connections_;
};

}  // namespace

int main(int argc, char** argv) {
  Options options = parse(argc, argv);
  // Timers as exact as the kernel gives them: a 1-byte message waits D, not
  // D plus the default 50 us of slack.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::signal(SIGPIPE, SIG_IGN);
  // SIGTERM and SIGINT arrive only inside ppoll, so no wake-up is lost.
  sigset_t stops;
  sigset_t unblocked;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigprocmask(SIG_BLOCK, &stops, &unblocked);
  sigdelset(&unblocked, SIGTERM);
  sigdelset(&unblocked, SIGINT);
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  Relay relay(options);
  relay.listen_on();
  relay.run(unblocked);
  return 0;
}
