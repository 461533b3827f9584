#include "commands/receive_terminal.h"

#include "console/console.h"
#include "console/format.h"
#include "platform/files.h"
#include "storage/names.h"

namespace burrowlink::commands {

using console::Stream;

std::string offer_listing(const Offer& offer,
                          const std::optional<SocketAddress>& from) {
  std::string text;
  std::vector<std::string> tops;
  for (std::size_t i = 0; i < offer.files.size(); ++i) {
    const FileInfo& file = offer.files[i];
    const std::vector<std::string> parts =
        file.folder ? folder_parts(*file.folder) : std::vector<std::string>{};
    if (!parts.empty() && (tops.empty() || tops.back() != parts.front())) {
      tops.push_back(parts.front());
    }
    if (i >= LISTED_FILES) continue;
    // Where the file will land, not the sender's raw path: a person who
    // approves "../../etc/passwd" should see that it lands in "etc".
    std::string shown;
    for (const std::string& part : parts) {
      shown = platform::join_path(shown, part);
    }
    shown = platform::join_path(shown, safe_file_name(file.name));
    text += "  " + console::peer(Stream::err, shown) + " (" +
            console::format_size(file.size) + ")\n";
  }
  if (offer.files.size() > LISTED_FILES) {
    text += "  \u2026 and " +
            std::to_string(offer.files.size() - LISTED_FILES) + " more\n";
  }
  if (!tops.empty()) {
    std::string names;
    for (const std::string& top : tops) {
      names += (names.empty() ? "" : ", ") + console::peer(Stream::err, top);
    }
    text += "  in the folder" + std::string(tops.size() > 1 ? "s " : " ") +
            names + "\n";
  }
  if (from) text += "  from " + format_ip(*from) + "\n";
  return text;
}

std::string reachable_text(const std::vector<Ipv4>& addresses,
                           std::uint16_t port, std::uint16_t requested) {
  std::string text;
  for (const Ipv4& address : addresses) {
    text += (text.empty() ? "Reachable at " : ", ") +
            format_address(SocketAddress::v4(address, port));
  }
  text = text.empty() ? "No network is up: only this computer can reach it\n"
                      : text + "\n";
  if (requested != 0 && requested != port) {
    text += "Port " + std::to_string(requested) +
            " was taken: senders that give an address must add :" +
            std::to_string(port) + "\n";
  }
  return text;
}

}  // namespace burrowlink::commands
