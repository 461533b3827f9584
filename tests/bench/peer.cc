// A near-free protocol peer for the benchmark: it moves file data with
// sendfile or splice and hashes nothing, so that a run against it measures
// one burrowlink side alone.
//   peer send HOST PORT FILE DIGEST_HEX   offers FILE, streams it, sends the
//                                         given digest, wants verdict 0x01
//   peer receive PORT                     accepts one offer of one file and
//                                         drains it, answering "kept"
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

[[noreturn]] void die(const char* what) {
  std::perror(what);
  std::exit(1);
}

void write_all(int fd, const void* data, std::size_t size) {
  auto* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(fd, p, size);
    if (n <= 0) die("write");
    p += n;
    size -= static_cast<std::size_t>(n);
  }
}

void read_all(int fd, void* data, std::size_t size) {
  auto* p = static_cast<char*>(data);
  while (size > 0) {
    ssize_t n = read(fd, p, size);
    if (n <= 0) die("read");
    p += n;
    size -= static_cast<std::size_t>(n);
  }
}

int send_file(const char* host, int port, const char* path,
              const char* digest_hex) {
  int file = open(path, O_RDONLY);
  if (file < 0) die("open");
  struct stat st {};
  fstat(file, &st);
  auto size = static_cast<std::uint64_t>(st.st_size);
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  inet_pton(AF_INET, host, &to.sin_addr);
  if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    die("connect");
  }
  int on = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  std::string body =
      "{\"from\":\"bench\",\"fromId\":\"bench\",\"files\":[{\"name\":"
      "\"big.bin\",\"size\":" +
      std::to_string(size) + "}],\"text\":null}";
  std::uint32_t length = htonl(static_cast<std::uint32_t>(body.size()));
  write_all(s, &length, 4);
  write_all(s, body.data(), body.size());
  unsigned char answer = 0;
  read_all(s, &answer, 1);
  if (answer != 1) die("declined");
  off_t offset = 0;
  while (static_cast<std::uint64_t>(offset) < size) {
    ssize_t n =
        sendfile(s, file, &offset, size - static_cast<std::uint64_t>(offset));
    if (n <= 0) die("sendfile");
  }
  unsigned char digest[32];
  for (int i = 0; i < 32; ++i) {
    unsigned value = 0;
    std::sscanf(digest_hex + 2 * i, "%2x", &value);
    digest[i] = static_cast<unsigned char>(value);
  }
  write_all(s, digest, 32);
  unsigned char verdict = 0;
  read_all(s, &verdict, 1);
  return verdict == 1 ? 0 : 2;
}

int receive_file(int port) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in here{};
  here.sin_family = AF_INET;
  here.sin_port = htons(static_cast<std::uint16_t>(port));
  if (bind(listener, reinterpret_cast<sockaddr*>(&here), sizeof here) != 0) {
    die("bind");
  }
  listen(listener, 1);
  std::printf("listening\n");
  std::fflush(stdout);
  int s = accept(listener, nullptr, nullptr);
  if (s < 0) die("accept");
  std::uint32_t length = 0;
  read_all(s, &length, 4);
  std::string body(ntohl(length), '\0');
  read_all(s, body.data(), body.size());
  std::size_t at = body.find("\"size\":");
  if (at == std::string::npos) die("offer");
  std::uint64_t size = std::strtoull(body.c_str() + at + 7, nullptr, 10);
  unsigned char yes = 1;
  write_all(s, &yes, 1);
  int pipes[2];
  if (pipe(pipes) != 0) die("pipe");
  fcntl(pipes[1], F_SETPIPE_SZ, 1 << 20);
  int sink = open("/dev/null", O_WRONLY);
  while (size > 0) {
    ssize_t n = splice(s, nullptr, pipes[1], nullptr, size, SPLICE_F_MOVE);
    if (n <= 0) die("splice in");
    size -= static_cast<std::uint64_t>(n);
    for (ssize_t left = n; left > 0;) {
      ssize_t m = splice(pipes[0], nullptr, sink, nullptr,
                         static_cast<std::size_t>(left), SPLICE_F_MOVE);
      if (m <= 0) die("splice out");
      left -= m;
    }
  }
  unsigned char digest[32];
  read_all(s, digest, 32);
  write_all(s, &yes, 1);
  close(s);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "send") == 0) {
    return send_file(argv[2], std::atoi(argv[3]), argv[4], argv[5]);
  }
  if (argc == 3 && std::strcmp(argv[1], "receive") == 0) {
    return receive_file(std::atoi(argv[2]));
  }
  std::fprintf(
      stderr,
      "usage: peer send HOST PORT FILE DIGEST_HEX | peer receive PORT\n");
  return 64;
}
