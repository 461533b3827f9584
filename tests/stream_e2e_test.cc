// Two devices of ours stream files back to back: what another app still
// sees, what a damaged file and a stalled link do, and the token that takes
// the next part of a send in without a second question.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <regex>
#include <thread>

#include "protocol/extensions.h"
#include "protocol/wire.h"
#include "text/hex.h"
#include "transfer_fixture.h"

namespace burrowlink::testing {
namespace {

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  for (auto& e : std::filesystem::directory_iterator(fs_path(folder))) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

constexpr int EXTENDED = ANSWER_ACCEPT_EXTENDED;

class StreamTest : public TransferTest {
 protected:
  // `n` files of 1000 bytes, each its own, named f01.bin ..., added to
  // `args` as the tool takes them.
  void numbered_files(int n, std::vector<std::string>& args) {
    for (int i = 1; i <= n; ++i) {
      const std::string name =
          (i < 10 ? "f0" : "f") + std::to_string(i) + ".bin";
      write_whole(src(name), std::string(1000, static_cast<char>('a' + i)));
      args.push_back(tool_src(name));
    }
  }

  // One part of a send from `from_id`, made by hand: `count` files of one
  // byte, bringing `token`, announcing `total`. The answer byte (-1 for
  // none) and the token it hands out.
  std::pair<int, std::optional<std::string>> send_part(
      ToolProcess& recv, const std::string& from_id,
      const std::optional<std::string>& token, std::size_t count = 1,
      const std::string& total = "", std::uint64_t* next_files = nullptr) {
    std::string files;
    for (std::size_t i = 0; i < count; ++i) {
      files += std::string(i ? "," : "") + R"({"name":"a.txt","size":1})";
    }
    TcpStream s = peer();
    put(s, frame(R"({"from":"Peer","fromId":")" + from_id + R"(","files":[)" +
                 files + R"(],"text":null,)" +
                 R"("extensions":{"stream":{"version":1)" +
                 (token ? R"(,"token":")" + *token + "\"" : "") +
                 (total.empty() ? "" : R"(,"total":)" + total) + "}}}"));
    std::optional<std::string> next;
    const int answer = next_byte(s);
    if (answer == EXTENDED) {
      Result<std::optional<ExtensionAnswer>> got = read_extension_answer(s);
      EXPECT_TRUE(got.ok() && got->has_value());
      if (got.ok() && *got) {
        next = (*got)->token;
        if (next_files) *next_files = (*got)->next_files;
      }
      std::string data;
      for (std::size_t i = 0; i < count; ++i) data += "x" + digest("x");
      put(s, data);
      // Its lines are read as they come, or it would wait to write them.
      for (std::size_t i = 0; i < count; ++i) {
        recv.drain();
        EXPECT_EQ(1, next_byte(s));
      }
    }
    return std::make_pair(answer, next);
  }
};

// The answer byte is the shared protocol's unless the offer asked for more,
// and always under BURROWLINK_NO_EXTENSIONS.
// Which offers get the extended answer is the session's to decide; here,
// how the variable turns it off.
TEST_F(StreamTest, TheVariableDecidesWhetherOursGetsTheExtendedAnswer) {
  struct Case {
    const char* no_extensions;  // the variable's value
    int answer;
  };
  for (const Case& c :
       {Case{"1", 1}, Case{"0", EXTENDED}, Case{"", EXTENDED}}) {
    SCOPED_TRACE(c.no_extensions);
    port = free_tcp_port();
    env = {{"BURROWLINK_NO_EXTENSIONS", c.no_extensions}};
    auto recv = receiver({"--yes", "--once"});
    TcpStream s = peer();
    put(s, frame(R"({"from":"Peer","fromId":"p","files":[{"name":"a.txt",)"
                 R"("size":1}],"text":null,)"
                 R"("extensions":{"stream":{"version":1}}})"));
    ASSERT_EQ(c.answer, next_byte(s));
    if (c.answer == EXTENDED) {
      Result<std::optional<ExtensionAnswer>> got = read_extension_answer(s);
      ASSERT_OK(got);
      ASSERT_TRUE(got->has_value());
      EXPECT_EQ(STREAM_WINDOW, (*got)->stream);
      EXPECT_TRUE((*got)->token && is_token(*(*got)->token));
    }
    put(s, "x" + digest("x"));
    EXPECT_EQ(1, next_byte(s));
    s.close();
    EXPECT_EQ(0, recv->finish(10s).status);
  }
}

// Under BURROWLINK_NO_EXTENSIONS the offer is the shared protocol's, byte
// for byte: no extensions, no file times.
TEST_F(StreamTest, TheVariableMakesTheOfferTheSharedProtocols) {
  write_whole(src("a.txt"), "abc");
  write_whole(src("b.txt"), "de");
  const std::string plain =
      R"(\{"from":"Desk","fromId":"[0-9a-f-]{36}","files":\[)"
      R"(\{"name":"a\.txt","size":3\},\{"name":"b\.txt","size":2\}\],)"
      R"("text":null\})";
  for (const char* value : {"1", "yes", "0"}) {
    SCOPED_TRACE(value);
    const bool off = std::string(value) != "0";
    port = free_tcp_port();
    env = {{"BURROWLINK_NO_EXTENSIONS", value}};
    auto listener =
        platform::TcpListener::listen_v4(static_cast<std::uint16_t>(port), 1);
    ASSERT_TRUE(listener.ok());
    std::string offered;
    std::thread scripted([&] {
      Result<Offered> accepted = accept_offer(*listener, 30s);
      ASSERT_OK(accepted);
      offered = accepted->body;
      TcpStream* s = &accepted->stream;
      put(*s, std::string(1, '\x01'));
      for (const std::string data : {"abc", "de"}) {
        std::string got(data.size() + 32, '\0');
        ASSERT_OK(s->read_exact(
            {reinterpret_cast<std::uint8_t*>(got.data()), got.size()}));
        EXPECT_EQ(data + digest(data), got);
        put(*s, std::string(1, '\x01'));
      }
    });
    ToolResult sent = sender(
        {tool_src("a.txt"), tool_src("b.txt"), "--to", to(), "--name", "Desk"});
    scripted.join();
    EXPECT_EQ(0, sent.status) << sent.err;
    EXPECT_EQ(off, std::regex_match(offered, std::regex(plain))) << offered;
    EXPECT_EQ(!off, offered.find(R"("extensions":)") != std::string::npos);
  }
}

// The next part of a send comes in without a question, from the same
// address and sender, with the token the last part got, once.
TEST_F(StreamTest, TheTokenOfOnePartTakesTheNextInWithoutAQuestion) {
  // One answer only: a second question would be declined.
  auto recv = receiver({}, std::string("y\n"));
  std::uint64_t next_files = 0;
  auto part = [&](const std::string& from_id,
                  const std::optional<std::string>& token,
                  std::size_t count = 1) {
    return send_part(
        *recv, from_id, token, count,
        count == 1 && !token ? R"({"files":5000,"bytes":5000})" : "",
        &next_files);
  };
  auto [first, token] = part("p", std::nullopt);
  ASSERT_EQ(EXTENDED, first);
  ASSERT_TRUE(token.has_value());
  EXPECT_EQ(NEXT_PART_FILES, next_files);
  EXPECT_EQ(0, part("another sender", token).first);
  // The next part may be longer than any first offer.
  EXPECT_EQ(-1, part("p", std::nullopt, 1001).first) << "no answer at all";
  auto [second, next] = part("p", token, 1001);
  EXPECT_EQ(EXTENDED, second);
  EXPECT_EQ(0, part("p", token).first) << "a token is good once";
  EXPECT_EQ(-1, part("p", next, NEXT_PART_FILES + 1).first)
      << "no answer at all";
  recv->kill(SIGTERM);
  ToolResult got = recv->finish(10s);
  EXPECT_NE(std::string::npos,
            got.err.find("Accepted without asking, as the next part of a "
                         "send from Peer: 1001 file(s), 1001 B\n"))
      << got.err;
}

// A resume answer names only what the same sender sent before, and
// reads no file to do so: a file put in the folder by hand is never
// claimed, whoever asks and however well it is named, and a held file
// listed a thousand times is named once, at once.
TEST_F(StreamTest, AResumeAnswerNamesOnlyWhatTheSameSenderSent) {
  // Asked in clear, as a sender that is not ours asks.
  make_clear_only(tool(), work.file("home-r"));
  auto recv = receiver({"--yes"});
  // Big enough that reading it a thousand times could never pass for at
  // once, however busy the machine.
  const std::string big(32 << 20, 'b');
  write_whole(src("big.bin"), big);
  ToolResult sent = sender({tool_src("big.bin"), "--to", to()});
  ASSERT_EQ(0, sent.status) << sent.err;
  write_whole(inbox + "/PIN.txt", "PIN=1234\n");
  // As the sender sees it: Windows keeps times in steps of 100 ns.
  auto time_of = [](const std::string& path) {
    const std::int64_t step = tool().windows ? 100 : 1;
    return std::to_string(platform::file_status(path)->modified / step * step);
  };
  std::string id = read_whole(tool().identity_file(work.file("home-s")));
  id.erase(id.find_last_not_of("\r\n") + 1);
  const std::string pin = R"({"name":"PIN.txt","size":9,"modified":)" +
                          time_of(inbox + "/PIN.txt") + "}";
  const std::string held = R"({"name":"big.bin","size":)" +
                           std::to_string(big.size()) + R"(,"modified":)" +
                           time_of(src("big.bin")) + "}";
  auto answer = [&](const std::string& from_id, const std::string& file,
                    std::size_t copies) {
    std::string files;
    for (std::size_t i = 0; i < copies; ++i) files += (i ? "," : "") + file;
    TcpStream s = peer();
    const auto asked = std::chrono::steady_clock::now();
    put(s, frame(R"({"from":"Peer","fromId":")" + from_id + R"(","files":[)" +
                 files + R"(],"text":null,)" +
                 R"("extensions":{"stream":{"version":1},)" +
                 R"("resume":{"version":2}}})"));
    EXPECT_EQ(EXTENDED, next_byte(s));
    Result<std::optional<ExtensionAnswer>> got = read_extension_answer(s);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 10s);
    return got.ok() && *got ? (*got)->resume.value_or(std::vector<ResumeAt>{})
                            : std::vector<ResumeAt>{{99, {}}};
  };
  for (const std::string& from_id : {std::string("stranger"), id}) {
    EXPECT_EQ(std::vector<ResumeAt>{}, answer(from_id, pin, 3)) << from_id;
  }
  EXPECT_EQ(std::vector<ResumeAt>{}, answer("stranger", held, 1));
  EXPECT_EQ((std::vector<ResumeAt>{{0, {big.size()}}}), answer(id, held, 1000));

  // The sender proves the file with words that say how far it hashed,
  // then the offset and the digest; the verdict answers the proof. One
  // that does not match ends the claim: the next send sends it whole.
  auto word = [](std::uint64_t n) {
    const auto bytes = u64_bytes(n);
    return std::string(bytes.begin(), bytes.end());
  };
  struct Proof {
    std::vector<std::uint64_t> words;
    bool right;
    int verdict;  // -1: the receiver closed
  } proofs[] = {
      {{}, true, 1},         {{1, 4096}, true, 1},
      {{4096, 1}, true, -1}, {{big.size() + 1}, true, -1},
      {{}, false, 0},
  };
  for (const Proof& proof : proofs) {
    TcpStream s = peer();
    put(s, frame(R"({"from":"Peer","fromId":")" + id + R"(","files":[)" + held +
                 R"(],"text":null,"extensions":{"stream":)" +
                 R"({"version":1},"resume":{"version":2}}})"));
    ASSERT_EQ(EXTENDED, next_byte(s));
    ASSERT_TRUE(read_extension_answer(s).ok());
    std::string bytes = word(big.size());
    for (std::uint64_t w : proof.words) bytes += word(w);
    bytes += word(big.size()) +
             (proof.right ? digest(big) : std::string(DIGEST_BYTES, '\0'));
    put(s, bytes);
    EXPECT_EQ(proof.verdict, next_byte(s)) << proof.words.size();
  }
  EXPECT_EQ(std::vector<ResumeAt>{}, answer(id, held, 1));
  recv->kill(SIGTERM);
  ToolResult got = recv->finish(10s);
  EXPECT_NE(std::string::npos,
            got.out.find("Already here: " + shown("big.bin")))
      << got.out;
  EXPECT_EQ(big, read_whole(inbox + "/big.bin"));
}

// Another sender served between two parts of a send leaves the send its
// token; the question names the whole send, and the token lets in no more
// than that. A part whose token is no longer good is asked about.
TEST_F(StreamTest, EachSendKeepsItsTokenForWhatTheUserAgreedTo) {
  auto recv = receiver({}, std::string("y\ny\n"));
  auto [first, token] =
      send_part(*recv, "p", std::nullopt, 1, R"({"files":1003,"bytes":1003})");
  ASSERT_EQ(EXTENDED, first);
  ASSERT_TRUE(token.has_value());
  EXPECT_EQ(EXTENDED, send_part(*recv, "q", std::nullopt).first);
  auto [second, next] = send_part(*recv, "p", token, 1001);
  ASSERT_EQ(EXTENDED, second) << "taken without asking";
  // Past the 1003 files agreed to: asked, and the input has no answer left.
  EXPECT_EQ(0, send_part(*recv, "p", next, 2).first);
  // A part over 1,000 files whose token is spent is asked about too.
  EXPECT_EQ(0, send_part(*recv, "p", next, 1001).first);
  recv->kill(SIGTERM);
  ToolResult got = recv->finish(10s);
  EXPECT_NE(std::string::npos,
            got.err.find("Peer wants to send you 1003 file(s), 1003 B. "))
      << got.err;
  EXPECT_NE(std::string::npos,
            got.err.find("Peer wants to send you 1001 file(s), 1001 B. "))
      << got.err;
}

// A send in parts asks once, about all its files.
TEST_F(StreamTest, TheQuestionNamesAllThePartsOfASend) {
  std::filesystem::create_directories(src("many"));
  for (int i = 0; i < 1001; ++i) {
    write_whole(src("many/f" + std::to_string(i)), "z");
  }
  auto recv = receiver({}, std::string("y\n"));
  ToolProcess send(sender_options({"-r", tool_src("many"), "--to", to()}));
  EXPECT_TRUE(
      recv->wait_for_err("wants to send you 1001 file(s), 1001 B. ", 20s))
      << recv->err();
  // Its lines are read as they come, or it would wait to write them.
  EXPECT_TRUE(recv->wait_for_out("f999 from ", 30s));
  EXPECT_EQ(0, send.finish(20s).status);
  recv->kill(SIGTERM);
  recv->finish(10s);
}

// An accepted offer of a file the disk could never hold, whose sender
// sends nothing, costs no other sender its waiting prefix, and leaves no
// entry that holds nothing.
TEST_F(StreamTest, AFileThatNeverComesTakesNoRoomAndLeavesNothing) {
  const std::string store = inbox + "/.burrowlink-store";
  std::filesystem::create_directories(fs_path(store));
  std::filesystem::permissions(fs_path(store),
                               std::filesystem::perms::owner_all);
  const std::string prefix(1 << 20, 'o');
  write_whole(store + "/00000000000000aa.part", prefix);
  write_whole(store + "/00000000000000aa.json",
              R"({"sender":"p","folder":"","name":"old.bin",)"
              R"("size":2097152,"modified":1})");
  const std::string sum = digest(prefix);
  write_whole(
      store + "/00000000000000aa.sums",
      "0 1048576 " +
          text::to_hex(
              {reinterpret_cast<const std::uint8_t*>(sum.data()), sum.size()}) +
          "\n");
  // The sender leaves, or the receiver is interrupted while it waits.
  for (const bool interrupted : {false, true}) {
    SCOPED_TRACE(interrupted);
    port = free_tcp_port();
    auto recv = receiver({"--yes", "--once"});
    TcpStream s = peer();
    put(s, frame(R"({"from":"Peer","fromId":"q","files":[{"name":"huge.bin",)"
                 R"("size":4611686018427387904,"modified":1}],"text":null,)"
                 R"("extensions":{"stream":{"version":1},)"
                 R"("resume":{"version":2}}})"));
    ASSERT_EQ(EXTENDED, next_byte(s));
    ASSERT_OK(read_extension_answer(s));
    if (interrupted) {
      std::this_thread::sleep_for(300ms);
      // Wine turns only SIGINT into an interruption a program can handle.
      recv->kill(SIGINT);
    }
    s.close();
    recv->finish(10s);
    EXPECT_EQ(
        std::vector<std::string>{
            fs_path(store + "/00000000000000aa.part").string()},
        store_data());
    if (!interrupted) {
      EXPECT_EQ((std::vector<std::string>{"00000000000000aa.json",
                                          "00000000000000aa.part",
                                          "00000000000000aa.sums"}),
                names_in(store));
    }
  }
}

// A byte flipped in the middle of file 5 of 20: files 1 to 4 are kept and
// reported, file 5 is deleted, nothing after it is kept, and both sides say
// what the shared protocol has them say.
TEST_F(StreamTest, ADamagedFileEndsTheStreamOnBothSides) {
  std::vector<std::string> args;
  numbered_files(20, args);
  // The clear exchange: inside the channel no flipped byte gets through.
  make_clear_only(tool(), work.file("home-r"));
  auto recv = receiver({"--yes", "--once"});
  const int relay_port = free_tcp_port();
  std::thread relay =
      faulty_relay(relay_port, port, RelayFault{4 * (1000 + 32) + 500, false});
  args.insert(args.end(), {"--to", "127.0.0.1:" + std::to_string(relay_port),
                           "--name", "Desk"});
  ToolResult sent = sender(args);
  relay.join();
  ToolResult got = recv->finish(20s);
  EXPECT_EQ(1, sent.status);
  EXPECT_TRUE(sent.err.ends_with(
      "burrowlink: f05.bin: the receiver reported damaged data\n"))
      << sent.err;
  std::string received;
  for (const char* name : {"f01.bin", "f02.bin", "f03.bin", "f04.bin"}) {
    EXPECT_NE(std::string::npos,
              sent.err.find("Sent " + std::string(name) + " (1000 B, "))
        << sent.err;
    received += "Received " + shown(name) + " from Desk (1000 B, verified)\n";
  }
  EXPECT_EQ(std::string::npos, sent.err.find("Sent f05.bin")) << sent.err;
  EXPECT_EQ(received + "f05.bin was damaged on the way and was discarded\n",
            got.out);
  EXPECT_NE(std::string::npos,
            got.err.find("transfer failed: f06.bin: unexpected end of file\n"))
      << got.err;
  EXPECT_EQ(
      (std::vector<std::string>{"f01.bin", "f02.bin", "f03.bin", "f04.bin"}),
      names_in(inbox));
}

// A link that stops moving for longer than the time limit ends both sides
// with the system's time-out text, and leaves no partial file.
TEST_F(StreamTest, AStallLongerThanTheTimeLimitEndsBothSides) {
  write_whole(src("one.bin"), std::string(1 << 20, '1'));
  write_whole(src("two.bin"), std::string(1 << 20, '2'));
  auto recv = receiver({"--yes", "--once"});
  const int relay_port = free_tcp_port();
  std::thread relay = faulty_relay(
      relay_port, port, RelayFault{(1 << 20) + 32 + (1 << 19), true});
  ToolOptions options;
  options.args = {"send", tool_src("one.bin"), tool_src("two.bin"), "--to",
                  "127.0.0.1:" + std::to_string(relay_port)};
  options.env = {{"HOME", work.file("home-s")}, {"USERPROFILE", std::nullopt}};
  options.timeout = 100s;
  ToolResult sent = run_tool(options);
  ToolResult got = recv->finish(100s);
  relay.join();
  EXPECT_EQ(1, sent.status);
  const std::string last = sent.err.substr(sent.err.rfind("burrowlink: "));
  EXPECT_TRUE(tool().is_os_error(last.substr(0, last.size() - 1),
                                 "burrowlink: connection lost: ", EAGAIN,
                                 10060))
      << sent.err;
  const std::size_t failed = got.err.find("transfer failed: two.bin: ");
  ASSERT_NE(std::string::npos, failed) << got.err;
  const std::string line =
      got.err.substr(failed, got.err.find('\n', failed) - failed);
  EXPECT_TRUE(
      tool().is_os_error(line, "transfer failed: two.bin: ", EAGAIN, 10060))
      << line;
  // The first file may be kept, whole; the second is nowhere but in the
  // store, for the same send to go on with.
  for (const std::string& name : names_in(inbox)) {
    if (name == ".burrowlink-store") continue;
    EXPECT_EQ("one.bin", name);
    EXPECT_EQ(std::string(1 << 20, '1'), read_whole(inbox + "/one.bin"));
  }
  EXPECT_EQ(1u, store_data().size());
}

// A receiver killed at any moment leaves a whole, verified file under its
// name, or data in its store, or nothing: never a part under a final name.
TEST_F(StreamTest, AKilledReceiverNeverLeavesAPartialFileUnderItsName) {
  const std::string data(8 << 20, 'k');
  write_whole(src("k.bin"), data);
  std::mt19937 random(std::random_device{}());
  for (int round = 0; round < 6; ++round) {
    std::filesystem::remove_all(inbox);
    port = free_tcp_port();
    auto recv = receiver({"--yes"});
    Relay relay(port, {"--rate-mbit", "200"});
    ToolOptions options;
    options.args = {"send", tool_src("k.bin"), "--to",
                    "127.0.0.1:" + std::to_string(relay.port())};
    options.env = {{"HOME", work.file("home-s")},
                   {"USERPROFILE", std::nullopt}};
    ToolProcess send(options);
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 450));
    recv->kill(SIGKILL);
    recv->finish(10s);
    send.finish(70s);
    for (const std::string& name : names_in(inbox)) {
      if (name == ".burrowlink-store") continue;
      EXPECT_EQ("k.bin", name) << round;
      EXPECT_TRUE(data == read_whole(inbox + "/k.bin")) << round;
    }
  }
}

}  // namespace
}  // namespace burrowlink::testing
