#pragma once

// Files and folders: reading what is sent, receiving into a folder held
// open (with the file in progress deleted on an interruption), paths, name
// limits and free space.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "platform/handle.h"

namespace burrowlink::platform {

enum class FileType { regular, directory, other };

struct FileStatus {
  FileType type = FileType::other;
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // nanoseconds since 1970 (UTC)
  // When its data or metadata last changed, in the system's own count; no
  // program can set it, so an unchanged value means an unchanged file.
  std::int64_t changed = 0;
  // What the system knows it by: device (volume) and file number.
  std::uint64_t device = 0, number = 0;
};

// What the system knows a file or folder by: device (volume) and number.
struct FileIdentity {
  std::uint64_t device = 0, number = 0;
  bool operator==(const FileIdentity&) const = default;
};

// An open file, closed when it goes out of scope.
class File {
 public:
  File() = default;

  // Opens an existing file for reading.
  static Result<File> open_read(const std::string& path);

  // Reads up to `buffer.size()` bytes; 0 at the end of the file.
  Result<std::size_t> read(Bytes buffer);
  // Reads on from byte `offset`.
  Status seek(std::uint64_t offset);
  // What the open file is now, whatever its name meanwhile.
  Result<FileStatus> status() const;
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
  // when anything but a real folder is there, the folder held back
  // included, and not_found when nothing is.
  Result<Directory> open_folder(std::string_view name) const;
  // Creates folder `name` in this one; kind already_exists when anything,
  // a device name or the name held back included, is there.
  Status make_folder(std::string_view name) const;
  // Creates file `name` in this one for writing; kind already_exists when
  // anything, a dangling link, a device name or the name held back
  // included, is there.
  // REQUIRES: this Directory outlives the file.
  Result<IncomingFile> create_file(std::string_view name) const;
  // Opens file `name` in this one to write on at its end, never through a
  // link, as `create_file` would have made it; fails while it is in use.
  Result<IncomingFile> reopen_file(std::string_view name) const;
  // Opens folder `name` in this one for this user alone, making it when it
  // is missing: hidden, and closed to others where the system allows.
  // Refused (kind not_a_folder) when it is a link, or another user's.
  Result<Directory> open_private_folder(std::string_view name) const;
  // Opens file `name` in this one to read, never through a link.
  Result<File> open_file(std::string_view name) const;
  // The first `most` bytes or so of file `name` in this one, never through
  // a link; nullopt when it cannot be opened.
  std::optional<std::string> read_small(std::string_view name,
                                        std::size_t most) const;
  // What `name` in this one is, a link not followed.
  Result<FileStatus> status(std::string_view name) const;
  // True while a file made or reopened as an IncomingFile, `name` in this
  // one, is open in any process: each is locked until it is closed, so that
  // another receiver on the same folder leaves it alone.
  bool in_use(std::string_view name) const;
  // Deletes file `name`, or empty folder `name`, in this one.
  Status remove(std::string_view name) const;
  Status remove_folder(std::string_view name) const;
  // Creates file `name` in this one, for this user alone, holding `data`;
  // kind already_exists when anything is there.
  Status write_new(std::string_view name, std::string_view data) const;
  // Makes the bytes of file `name` in this one durable, never through a
  // link.
  Status sync_file(std::string_view name) const;
  // Appends `data` to file `name` in this one, never through a link,
  // making it for this user alone when it is missing.
  Status append(std::string_view name, std::string_view data) const;

  // Keeps `name` for the program's own folder: to what peers name, it is
  // taken as a device name is, in every spelling that could name the same
  // entry (case, trailing dots and spaces, as on Windows and on the
  // case-insensitive file systems Linux mounts), and a folder opened by any
  // other name that is the same folder (a short name) is refused too.
  // `open_private_folder`, `status` and `remove_folder` still reach it.
  void hold_back(std::string_view name) { m_held_back = name; }
  // True when `name` spells the name held back.
  bool holds_back(std::string_view name) const;
  // What the system knows this folder by, and entry `name` in it (a link
  // not followed).
  Result<FileIdentity> identity() const;
  Result<FileIdentity> identity(std::string_view name) const;
  // What a file must share with this folder to be renamed into it: its
  // volume on Windows, its mount on Linux (a bind mount is another one).
  Result<std::uint64_t> volume() const;

  // The folder's path as given, with the names below it joined on.
  const std::string& path() const { return m_path; }
  // The longest name the folder takes, in the units `name_units` counts.
  std::size_t name_limit() const { return m_name_limit; }

 private:
  friend class IncomingFile;
  // Opens folder `name` in this one as `open_folder` does, held back or not.
  Result<Directory> open_child(std::string_view name) const;
  // The IncomingFile for `handle`, open on `name` in this folder; the file
  // in progress from now on. Deletes it on failure when it was `made`.
  Result<IncomingFile> incoming(std::intptr_t handle, std::string_view name,
                                bool made) const;
  Handle m_handle;
  std::string m_path;
  // For a private folder: the folder it is in (on Linux) and its name
  // there, so that an interruption that empties it removes it too.
  Handle m_parent;
  std::string m_name;
  std::size_t m_name_limit = 255;
  std::string m_held_back;
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
  // Deletes the file, unless something else has taken its place, and closes
  // it. True when it deleted the file; nothing once kept or discarded.
  bool discard();
  // Closes the file, every byte written, and renames it to `name` in
  // `folder`, replacing nothing: kind already_exists when the name is
  // taken, and the file stays where it was for another name. Other
  // failures delete it.
  Status place(const Directory& folder, std::string_view name);
  // Cuts the file to `size` bytes; writing goes on at its end.
  Status truncate(std::uint64_t size);
  // Sets its modification time, in nanoseconds since 1970 (UTC).
  Status set_modified(std::int64_t nanoseconds);
  // From now on an interruption leaves the file where it is, its bytes
  // made durable, rather than deleting it.
  void keep_when_interrupted();
  // Makes its bytes durable and closes it where it is.
  Status suspend();
  // Makes its bytes so far durable; writing goes on.
  Status sync();

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
// window) first deletes the IncomingFile in progress and writes the
// interrupt notice (terminal.h), then ends the process as the interruption
// would have.
void discard_incoming_on_interrupt();

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
// The full path of what is at `path`, "." and ".." taken as the system
// takes them: on Linux after every link, on Windows by the path's text.
Result<std::string> full_path(const std::string& path);
// Fails, with the reason, when this user may not read the file at `path`:
// on Linux the permission check alone, which opens nothing; on Windows an
// open that is closed again.
Status check_readable(const std::string& path);
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

}  // namespace burrowlink::platform
