#pragma once

// The one place that talks to the operating system. Everything above it is
// portable; a second backend sits beside platform_posix.cc.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/result.h"

namespace burrowlink::platform {

using Bytes = std::span<std::uint8_t>;
using ConstBytes = std::span<const std::uint8_t>;
using Ipv4 = std::array<std::uint8_t, 4>;
using Ipv6 = std::array<std::uint8_t, 16>;

// Text of a stream that ended before a fixed number of bytes arrived.
inline constexpr std::string_view FILL_BUFFER_TEXT =
    "failed to fill whole buffer";

// --- Process -------------------------------------------------------------

// Makes writes to closed pipes and sockets fail instead of killing us, and
// starts what the system's sockets need.
void prepare_process();

// The program's arguments without its own name, as UTF-8. An argument that
// is no valid text on the system (bytes that are not UTF-8, a lone UTF-16
// surrogate) comes out as bytes that are not valid UTF-8 either.
std::vector<std::string> program_arguments(int argc, char** argv);

// The files that argument `position` of `program_arguments` names. Windows
// shells leave wildcards to the program: there an argument written without
// quotes whose last part holds * or ? is expanded as the C runtimes expand
// one, sorted; when nothing matches, or anywhere else, it names itself
// (the list is never empty).
std::vector<std::string> expand_file_argument(std::size_t position,
                                              std::string argument);

// Prints "burrowlink: {message}" on standard error and exits with a failure
// status of its own (70), for faults the tool cannot go on after.
[[noreturn]] void fatal(std::string_view message);

// --- Environment and random source ---------------------------------------

// The value of an environment variable; nullopt when it is unset. Not valid
// UTF-8 when the system's value is not valid text.
std::optional<std::string> get_env(const std::string& name);

// Fills `out` from the system's cryptographic random source.
Status random_bytes(Bytes out);

// --- Console -------------------------------------------------------------

enum class Stream { out, err };

// Writes all of `text` unbuffered. Returns false when the write failed.
bool write_console(Stream stream, std::string_view text);

// True when `stream` is a terminal rather than a pipe or a file.
bool is_terminal(Stream stream);

// The width of the terminal behind `stream` in columns; 80 when unknown.
std::size_t terminal_width(Stream stream);

// One line of standard input, line end included; nullopt at the end of the
// input or on a read failure.
std::optional<std::string> read_input_line();

// True when standard input is a terminal (a console on Windows).
bool input_is_terminal();
// True when standard input can give no answer now: closed, the null
// device, or a terminal whose foreground job is another one (reading it
// would stop this program).
bool input_is_closed();
// Drops whatever was typed at the terminal and not yet read, so that a key
// pressed earlier cannot answer a question asked now. Nothing elsewhere.
void discard_typed_input();

// An OS handle (file descriptor or socket), closed when it goes out of scope.
class Handle {
 public:
  Handle() = default;
  explicit Handle(std::intptr_t value) : m_value(value) {}
  Handle(Handle&& other) noexcept : m_value(std::exchange(other.m_value, -1)) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      reset();
      m_value = std::exchange(other.m_value, -1);
    }
    return *this;
  }
  ~Handle() { reset(); }

  std::intptr_t get() const { return m_value; }
  // Closes the handle now, if it is open.
  void reset();
  // Gives up ownership without closing.
  void release() { m_value = -1; }

 private:
  std::intptr_t m_value = -1;
};

// --- Files ---------------------------------------------------------------

// An open file, closed when it goes out of scope.
class File {
 public:
  File() = default;

  // Opens an existing file for reading.
  static Result<File> open_read(const std::string& path);

  // Reads up to `buffer.size()` bytes; 0 at the end of the file.
  Result<std::size_t> read(Bytes buffer);
  // Writes every byte of `data`.
  Status write_all(ConstBytes data);
  // Closes the file; a failure is a delayed write error.
  Status close();

 private:
  friend class Directory;
  friend class IncomingFile;
  explicit File(std::intptr_t handle) : m_handle(handle) {}
  Handle m_handle;
};

class IncomingFile;

// A folder held open, in which files and folders are made by name, so that
// nothing on the way can be swapped for a link meanwhile.
class Directory {
 public:
  Directory() = default;

  // Opens the folder at `path` ("" is the current folder), links followed:
  // it is the one the user named.
  static Result<Directory> open(const std::string& path);
  // Opens folder `name` in this one. Never follows a link: kind not_a_folder
  // when anything but a real folder is there, not_found when nothing is.
  Result<Directory> open_folder(std::string_view name) const;
  // Creates folder `name` in this one; kind already_exists when anything,
  // a device name included, is there.
  Status make_folder(std::string_view name) const;
  // Creates file `name` in this one for writing; kind already_exists when
  // anything, a dangling link or a device name included, is there.
  // REQUIRES: this Directory outlives the file.
  Result<IncomingFile> create_file(std::string_view name) const;

  // The folder's path as given, with the names below it joined on.
  const std::string& path() const { return m_path; }
  // The longest name the folder takes, in the units `name_units` counts.
  std::size_t name_limit() const { return m_name_limit; }

 private:
  friend class IncomingFile;
  Handle m_handle;
  std::string m_path;
  std::size_t m_name_limit = 255;
};

// A file being received into a Directory, created by `create_file`: written,
// then kept or discarded. One that is neither when it goes out of scope is
// discarded, and so is the one in progress when the process is interrupted
// (`discard_incoming_on_interrupt`).
class IncomingFile {
 public:
  IncomingFile(IncomingFile&& other) noexcept;
  IncomingFile& operator=(IncomingFile&&) = delete;
  ~IncomingFile() { (void)discard(); }

  Status write_all(ConstBytes data) { return m_file.write_all(data); }
  // Closes the file once it is confirmed to be still in its place, every
  // byte written. Otherwise fails, and deletes it where it can tell the
  // file is still its own.
  Status keep();
  // Deletes the file, unless something else has taken its place, and closes
  // it. True when it deleted the file; nothing once kept or discarded.
  bool discard();

 private:
  friend class Directory;
  IncomingFile(File file, const Directory& folder, std::string_view name,
               std::uint64_t device, std::uint64_t number);
  File m_file;
  const Directory* m_folder = nullptr;
  std::string m_name;
  // What the system knows the file by: device (volume) and file number.
  std::uint64_t m_device = 0, m_number = 0;
};

// From now on, an interruption (Ctrl+C, SIGTERM, SIGHUP, a closed console
// window) first deletes the IncomingFile in progress, then ends the process
// as the interruption would have.
void discard_incoming_on_interrupt();

enum class FileType { regular, directory, other };

struct FileStatus {
  FileType type = FileType::other;
  std::uint64_t size = 0;
};

// Metadata of `path`, following links.
Result<FileStatus> file_status(const std::string& path);

// One entry of a folder, as `read_folder` lists it.
struct FolderEntry {
  std::string name;   // the system's bytes (on Windows, UTF-8)
  bool link = false;  // a symbolic link or other reparse point
  // What the entry names, links followed; the error when that cannot be
  // read (a dangling link).
  Result<FileStatus> status = FileStatus{};
};
// The entries of the folder at `path` but "." and "..", in no set order.
Result<std::vector<FolderEntry>> read_folder(const std::string& path);
// True when anything is at `path` (links followed); false also when the test
// itself fails.
bool path_exists(const std::string& path);
// Creates one folder. Kinds: already_exists (also for a folder that is
// there already), not_found (a parent is missing).
Status make_directory(const std::string& path);
bool is_directory(const std::string& path);
Status remove_file(const std::string& path);
// Whole-file read and create-or-truncate write.
Result<std::string> read_file(const std::string& path);
Status write_file(const std::string& path, std::string_view data);

// `folder` and `name` joined by the platform's separator; an empty folder
// gives `name`. On Windows a folder ending in either separator, or a bare
// drive such as "C:", takes the name directly.
std::string join_path(std::string_view folder, std::string_view name);
// The folder one level up: "a/b" gives "a", "/a" gives "/", "a" gives "";
// a root gives itself.
std::string parent_path(std::string_view path);
// The longest file name that `folder` takes, in the units `name_units`
// counts (bytes on POSIX, UTF-16 units on Windows); 255 when unknown.
std::size_t name_limit(const std::string& folder);
// The length of the UTF-8 name `name` in the system's own units.
std::size_t name_units(std::string_view name);
// The bytes that an unprivileged user may still write to the file system
// holding `folder`.
Result<std::uint64_t> free_space(const std::string& folder);
// True where the file system drops trailing dots and spaces from names
// (Windows): a name ending in either would be stored under another name.
bool drops_trailing_dots_and_spaces();
// True where a path that starts with two forward slashes names a network
// share (Windows); elsewhere "//" is the root.
bool two_slashes_start_a_share();

// --- Addresses -----------------------------------------------------------

// An IPv4 or IPv6 address with a port.
struct SocketAddress {
  bool is_v6 = false;
  Ipv6 ip{};  // IPv4 uses the first four bytes
  std::uint16_t port = 0;
  std::uint32_t flow_info = 0;
  std::uint32_t scope_id = 0;

  static SocketAddress v4(Ipv4 ip, std::uint16_t port);
  static SocketAddress v6(const Ipv6& ip, std::uint16_t port,
                          std::uint32_t scope_id = 0);
  Ipv4 ipv4() const { return {ip[0], ip[1], ip[2], ip[3]}; }
  bool operator==(const SocketAddress&) const = default;
};

// "192.168.1.20:45455", or "[fe80::1%3]:5000" (RFC 5952 text, scope when not
// zero).
std::string format_address(const SocketAddress& address);
// Four dotted decimal parts of 1-3 digits, each 0-255 without a leading
// zero.
std::optional<Ipv4> parse_ipv4(std::string_view text);
// Parses RFC 4291 IPv6 text (no brackets, no scope).
std::optional<Ipv6> parse_ipv6(std::string_view text);

// --- Sockets -------------------------------------------------------------

// What a receive waits for.
enum class Expect {
  data,   // whatever has arrived
  reply,  // a short reply that the peer sends as soon as it has read ours
  all,    // bulk data that fills the buffer: where the system takes it
          // whole within the time-out, one wake-up, not one per packet
};

class TcpStream;

// One line of standard input as `read_input_line` reads it, unless the peer
// of `watched` closes the connection first (then `peer_left` and no line).
// Waits for both without spinning.
struct InputLine {
  std::optional<std::string> line;
  bool peer_left = false;
};
InputLine read_input_line_while_open(const TcpStream& watched);

// A connected TCP stream, closed when it goes out of scope.
class TcpStream {
 public:
  TcpStream() = default;

  // Connects within `limit`; kind timed_out with "connection timed out"
  // when no answer comes in time.
  static Result<TcpStream> connect(const SocketAddress& to,
                                   std::chrono::milliseconds limit);
  // Two connected local streams, for tests.
  static Result<std::pair<TcpStream, TcpStream>> pair();

  Status set_no_delay();
  // Bounds each single receive / send call.
  Status set_read_timeout(std::chrono::milliseconds timeout);
  Status set_write_timeout(std::chrono::milliseconds timeout);
  // Receives of a reply poll for up to `spin` before they sleep: a peer that
  // answers within it is met without the cost of waking this thread up.
  // After SPIN_MISSES polls in a row found nothing (a link slower than this
  // CPU) the stream stops polling for good.
  void set_spin(std::chrono::microseconds spin) {
    m_spin = spin;
    m_spin_misses = 0;
  }
  bool spinning() const { return m_spin.count() > 0; }
  static constexpr int SPIN_MISSES = 3;

  // Receives what one call delivers, at most `buffer.size()`; 0 when the
  // peer closed. `expect` reply: a short answer is due, worth a poll; all:
  // may wait until the buffer is full, unless the stream ends, fails or the
  // time-out passes first (then with what it has).
  Result<std::size_t> read_some(Bytes buffer, Expect expect = Expect::data);
  // Fails with FILL_BUFFER_TEXT (kind unexpected_eof) when the peer closes
  // first.
  Status read_exact(Bytes buffer, Expect expect = Expect::data);
  // `more`: further bytes follow at once, so they may share a segment.
  // `written`, when given, receives how many bytes went out, also on failure.
  Status write_all(ConstBytes data, bool more = false,
                   std::size_t* written = nullptr);
  void close();

 private:
  friend class TcpListener;
  friend InputLine read_input_line_while_open(const TcpStream& watched);
  explicit TcpStream(std::intptr_t handle) : m_handle(handle) {}
  Handle m_handle;
  std::chrono::microseconds m_spin{0};
  int m_spin_misses = 0;
};

// A listening TCP socket on every local IPv4 interface.
class TcpListener {
 public:
  TcpListener() = default;

  // Listens on 0.0.0.0:`port` (0: the system picks one).
  static Result<TcpListener> listen_v4(std::uint16_t port, int backlog);
  Result<std::uint16_t> local_port() const;
  Result<TcpStream> accept();
  void close();

 private:
  explicit TcpListener(std::intptr_t handle) : m_handle(handle) {}
  Handle m_handle;
};

// An IPv4 UDP socket, closed when it goes out of scope.
class UdpSocket {
 public:
  UdpSocket() = default;

  // Binds to `ip`:`port` without any address-reuse option.
  static Result<UdpSocket> bind_v4(Ipv4 ip, std::uint16_t port);
  Status enable_broadcast();
  Status set_read_timeout(std::chrono::milliseconds timeout);
  Status send_to(ConstBytes payload, const SocketAddress& to);

  struct Datagram {
    std::size_t size = 0;
    bool truncated = false;  // longer than the buffer; its bytes are partial
    SocketAddress from;
  };
  // Receives one datagram into `buffer`.
  Result<Datagram> receive_from(Bytes buffer);

 private:
  explicit UdpSocket(std::intptr_t handle) : m_handle(handle) {}
  Handle m_handle;
};

// Every local IPv4 address on an interface that is up and running, with
// its directed broadcast address, in the system's order, duplicates kept;
// loopback (127/8) and link-local (169.254/16) left out.
struct Ipv4Interface {
  Ipv4 address{};
  Ipv4 broadcast{};
};
Result<std::vector<Ipv4Interface>> ipv4_interfaces();
// The broadcast addresses of `ipv4_interfaces`, in its order.
Result<std::vector<Ipv4>> ipv4_broadcast_addresses();

// The computer's own name (gethostname; the computer name on Windows);
// nullopt when it has none.
std::optional<std::string> host_name();

}  // namespace burrowlink::platform
