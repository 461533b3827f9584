#include "protocol/receive_session.h"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>

#include "identity/identity.h"
#include "protocol/extensions.h"
#include "protocol/held_files.h"
#include "protocol/offer.h"
#include "protocol/receiver.h"
#include "protocol/wire.h"
#include "storage/store.h"
#include "text/unicode.h"

namespace burrowlink {

namespace {

using Clock = std::chrono::steady_clock;

// One connection: the receive folder and its store, opened for it alone,
// since other receivers may change them between two connections.
class ReceiveSession {
 public:
  ReceiveSession(platform::Connection& stream, const ReceiverSettings& settings,
                 Continuations& continuations, ReceiverEvents& events,
                 const Authenticated* secured = nullptr)
      : m_stream(stream),
        m_secured(secured),
        m_settings(settings),
        m_continuations(continuations),
        m_events(events),
        m_root(open_receive_folder(settings.folder)),
        m_store(m_root.ok() ? *m_root : m_nowhere) {}

  // `first`: the offer's first byte, read already within the offer's
  // time, which the rest is read under too.
  Status serve(std::uint8_t first);
  // The offer asked for the secure channel, and was answered with the
  // preamble: the handshake follows on the same connection.
  bool channel_asked() const { return m_channel_asked; }

 private:
  Result<bool> decide(const Incoming& incoming);
  // Declines the offer and fails with `why`.
  Status refuse(std::string why);
  // A clear offer that claims `from_id`, a device pinned here.
  std::optional<secure::Key> pinned_key(const Offer& offer) const;
  Status answer(bool accepted, const HeldFiles& held);
  Status receive_files(const Offer& offer, const HeldFiles& held);
  void await_next_part(const Offer& offer);

  platform::Connection& m_stream;
  const Authenticated* m_secured;
  const ReceiverSettings& m_settings;
  Continuations& m_continuations;
  ReceiverEvents& m_events;
  Result<platform::Directory> m_root;
  // Without a receive folder, a store of none: it opens nothing, and each
  // file fails with the path it would have had.
  platform::Directory m_nowhere;
  Store m_store;
  std::optional<SocketAddress> m_from;
  bool m_channel_asked = false;
  // A sender of ours that streams: files back to back, and the parts of a
  // long send accepted once.
  bool m_streams = false;
  // One that resumes goes on with what earlier transfers left here.
  bool m_resumes = false;
  // The part of a send this offer continues, taken without asking.
  std::optional<Continuation> m_continued;
  // The token handed out for the send's next part.
  std::optional<std::string> m_token;
};

Status ReceiveSession::serve(std::uint8_t first) {
  Result<Offer> read = read_offer(m_stream, first);
  if (!read.ok()) return std::move(read).error();
  const Offer& offer = read.value();
  if (m_secured) RETURN_IF_ERROR(check_claimed_id(*m_secured, offer.from_id));
  // Asks whether this receiver takes the channel: it answers with the
  // preamble; others close such an offer unanswered.
  const bool asks_channel = !m_secured && !offer.text && offer.files.empty() &&
                            offer.extensions && offer.extensions->secure > 0;
  if (asks_channel && m_settings.extensions && m_settings.device) {
    m_channel_asked = true;
    return m_stream.write_all(secure::PREAMBLE);
  }
  if (asks_channel) m_events.probed();
  const std::string_view claimed =
      text::first_scalars(offer.from, DEVICE_NAME_MAX);
  if (!m_secured && m_settings.verify && (offer.text || !offer.files.empty())) {
    return refuse("refused an offer in clear from " + std::string(claimed) +
                  ": with --verify, offers come over the secure channel only");
  }
  const std::optional<secure::Key> pinned = pinned_key(offer);
  if (pinned && !m_settings.allow_clear) {
    return refuse(clear_from_secure_device_text(claimed, *pinned));
  }
  m_streams = m_settings.extensions && !offer.text && offer.extensions &&
              offer.extensions->stream >= 1;
  if (Result<SocketAddress> from = m_stream.socket().peer_address();
      from.ok()) {
    m_from = *from;
  }
  if (m_streams && m_from) {
    m_continued = m_continuations.take(offer, *m_from, Clock::now());
  }
  // Offers that no sender of ours makes get no answer at all. The next
  // part of a send may be longer than a first offer, also when its token
  // is no longer good: then it is asked about, so that its sender hears.
  const bool next_part = m_streams && offer.extensions->token;
  const std::size_t file_limit = next_part ? NEXT_PART_FILES : MAX_OFFER_FILES;
  if (!offer.text && (offer.files.empty() || offer.files.size() > file_limit)) {
    return {};
  }
  // What no resume can use goes before anything is looked up or added.
  if (!offer.text && m_store.open(false).ok()) {
    m_store.prune(WallClock::now(), false);
  }
  m_resumes = m_streams && offer.extensions->resume >= 1 && offer.from_id;
  HeldFiles held;
  if (m_resumes) held = find_held_files(offer, m_store);
  const Incoming incoming{offer,
                          m_secured ? m_secured->name : std::string(claimed),
                          m_from,
                          held_bytes(held),
                          m_stream.socket(),
                          m_secured,
                          pinned.has_value()};
  Result<bool> accepted = decide(incoming);
  if (!accepted.ok()) return std::move(accepted).error();
  RETURN_IF_ERROR(answer(*accepted, held));
  if (!*accepted) return {};
  if (offer.text) {
    m_events.note(incoming);
    return {};
  }
  RETURN_IF_ERROR(receive_files(offer, held));
  await_next_part(offer);
  return {};
}

std::optional<secure::Key> ReceiveSession::pinned_key(
    const Offer& offer) const {
  // An offer that lists nothing gets no answer anyway.
  if (m_secured || !m_settings.device || !offer.from_id ||
      (!offer.text && offer.files.empty())) {
    return std::nullopt;
  }
  const KnownDevices known =
      KnownDevices::load(m_settings.device->known_folder);
  const KnownDevice* pinned = known.find(*offer.from_id);
  if (!pinned) return std::nullopt;
  return pinned->key;
}

Status ReceiveSession::refuse(std::string why) {
  const std::uint8_t byte = ANSWER_DECLINE;
  (void)m_stream.write_all({&byte, 1});
  return Error{std::move(why), ErrorKind::invalid_data};
}

Result<bool> ReceiveSession::decide(const Incoming& incoming) {
  m_events.offered(incoming);
  // Neither --yes nor a token takes an offer that claims a device met
  // securely: the user decides.
  if (!incoming.claims_secure_device) {
    if (m_continued) {
      if (!m_settings.auto_accept) m_events.continued(incoming);
      return true;
    }
    if (m_settings.auto_accept) return true;
  }
  switch (m_events.ask(incoming)) {
    case Decision::accept:
      return true;
    case Decision::decline:
      return false;
    case Decision::sender_left:
      return Error{sender_left_text(incoming.sender)};
  }
  return false;
}

Status ReceiveSession::answer(bool accepted, const HeldFiles& held) {
  if (accepted && m_streams) {
    // Verdicts of one byte must not wait for Nagle's algorithm; without
    // it they only come later.
    (void)m_stream.socket().set_no_delay();
    m_token = new_token();
    ExtensionAnswer extended{STREAM_WINDOW, m_token, NEXT_PART_FILES};
    if (m_resumes) extended.resume = resume_list(held);
    return write_extension_answer(m_stream, extended);
  }
  const std::uint8_t byte = accepted ? ANSWER_ACCEPT : ANSWER_DECLINE;
  return m_stream.write_all({&byte, 1});
}

Status ReceiveSession::receive_files(const Offer& offer,
                                     const HeldFiles& held) {
  RETURN_IF_ERROR(m_stream.set_read_timeout(FILE_PHASE_TIMEOUT));
  FilePhaseOptions options;
  if (m_streams) {
    options.pace = Pace::streamed;
    options.dates = true;
  }
  if (m_resumes) {
    options.held = &held;
    options.resume_as = offer.from_id;
  }
  FilePhase phase(m_stream, m_root, m_settings.folder, m_store, m_events,
                  std::move(options));
  return phase.receive_all(offer.files);
}

// What the user agreed to, less what has come, is what the token lets in.
void ReceiveSession::await_next_part(const Offer& offer) {
  if (!m_token || !m_from) return;
  const SendTotal agreed =
      m_continued ? SendTotal{m_continued->files, m_continued->bytes}
                  : announced_total(offer);
  const Clock::time_point now = Clock::now();
  m_continuations.add(
      {*m_token, *m_from, offer.from_id, now + CONTINUATION_LIMIT,
       agreed.files - offer.files.size(), agreed.bytes - offered_bytes(offer)},
      now);
}

// The offer's first byte, or the preamble's, within the offer's time.
Result<std::uint8_t> read_first_byte(platform::Connection& stream) {
  RETURN_IF_ERROR(stream.set_read_timeout(OFFER_READ_TIMEOUT));
  std::uint8_t first = 0;
  RETURN_IF_ERROR(stream.read_exact({&first, 1}));
  return first;
}

// The rest of a connection that began with the preamble: the handshake,
// then the session inside the channel.
Status serve_secure(platform::TcpStream& tcp, const ReceiverSettings& settings,
                    Continuations& continuations, ReceiverEvents& events) {
  Result<Nonce> nonce = draw_nonce();
  if (!nonce.ok()) return std::move(nonce).error();
  DeviceCard card = card_of(*settings.device);
  card.verify = settings.verify;
  card.commit = commitment_to(*nonce);
  const std::string card_text = device_card(card);
  std::optional<Admission> admitted;
  bool compare = false;
  Result<secure::SecureChannel> channel = secure::respond(
      tcp, settings.device->key,
      {reinterpret_cast<const std::uint8_t*>(card_text.data()),
       card_text.size()},
      [&](const secure::Peer& handshake_peer) -> Status {
        Result<Admission> admission = admit_peer(
            *settings.device, handshake_peer, std::nullopt, std::nullopt);
        if (!admission.ok()) return std::move(admission).error();
        admitted.emplace(std::move(admission).value());
        compare = settings.verify || admitted->card.verify;
        if (!compare) pin(*admitted, false);
        return {};
      });
  if (!channel.ok()) return std::move(channel).error();
  if (compare) {
    RETURN_IF_ERROR(compare_codes(*channel, *admitted, secure::Role::responder,
                                  *nonce, [&](std::string_view code) {
                                    return events.confirm_code(
                                        admitted->peer, code, settings.verify);
                                  }));
  }
  Result<std::uint8_t> first = read_first_byte(*channel);
  if (!first.ok()) return std::move(first).error();
  ReceiveSession session(*channel, settings, continuations, events,
                         &admitted->peer);
  return session.serve(*first);
}

}  // namespace

std::string clear_from_secure_device_text(std::string_view name,
                                          const secure::Key& pinned) {
  return "refused an offer in clear from " + std::string(name) +
         ", which claims to be a device that connected securely before "
         "(key " +
         fingerprint(pinned) +
         "); to be asked about such offers, receive with --allow-clear";
}

Status serve_connection(platform::TcpStream& stream,
                        const ReceiverSettings& settings,
                        Continuations& continuations, ReceiverEvents& events) {
  Result<std::uint8_t> first = read_first_byte(stream);
  if (!first.ok()) return std::move(first).error();
  if (*first == secure::PREAMBLE[0] && settings.extensions && settings.device) {
    std::array<std::uint8_t, secure::PREAMBLE.size() - 1> rest{};
    RETURN_IF_ERROR(stream.read_exact(rest));
    if (std::equal(rest.begin(), rest.end(), secure::PREAMBLE.begin() + 1)) {
      return serve_secure(stream, settings, continuations, events);
    }
    // Any offer's length that starts so is past the limit.
    return Error{std::string(MESSAGE_TOO_LARGE_TEXT), ErrorKind::invalid_data};
  }
  bool channel_asked = false;
  {
    ReceiveSession session(stream, settings, continuations, events);
    RETURN_IF_ERROR(session.serve(*first));
    channel_asked = session.channel_asked();
  }
  if (!channel_asked) return {};
  return serve_secure(stream, settings, continuations, events);
}

}  // namespace burrowlink
