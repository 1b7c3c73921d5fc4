#include "conduit_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "testing/scripted_server.h"
#include "wire_codec.h"

namespace conduit::host {
namespace {

TEST(WireCodec, WritesTheProtocolsByteImages) {
  EXPECT_EQ(to_hex(WireWriter().text("abc").bytes()), "03 00 00 00 61 62 63");
  EXPECT_EQ(to_hex(WireWriter().text("").bytes()), "00 00 00 00");
  EXPECT_EQ(to_hex(WireWriter().u64(0x0102030405060708ull).bytes()), "08 07 06 05 04 03 02 01");

  Envelope response;
  response.result = WireWriter().text("abc").take();
  EXPECT_EQ(encode(response).size(), 27u);
}

TEST(WireCodec, DecodesOnlyAWholeEnvelope) {
  Envelope request;
  request.function = 9;
  request.paramCount = 1;
  request.params = WireWriter().u32(3).take();
  Bytes bytes = encode(request);
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    EXPECT_FALSE(try_decode(Bytes(bytes.begin(), bytes.begin() + static_cast<long>(cut)))) << cut;
  }
  bytes.push_back(0xee);  // whatever follows the envelope is not part of it
  auto decoded = try_decode(bytes);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->second, bytes.size() - 1);
  EXPECT_EQ(decoded->first.function, 9u);
  EXPECT_EQ(decoded->first.params, WireWriter().u32(3).take());
}

TEST(WireCodec, RejectsDeclaredLengthBeyondBuffer) {
  Bytes lying = WireWriter().u32(0xFFFFFFFF).raw({1, 2, 3}).take();
  WireReader reader(lying);
  EXPECT_THROW(reader.text(), TruncatedInput);
  EXPECT_THROW(decode_text_list(WireWriter().u32(1000000).take()), TruncatedInput);
}

TEST(WireCodec, GuidTextUsesTheInMemoryLayout) {
  std::array<std::uint8_t, 16> guid{0x2B, 0xC4, 0xDA, 0x62, 0xC9, 0x22, 0xBA, 0x4B,
                                    0x9C, 0x5E, 0xDA, 0xB5, 0x81, 0xB1, 0x4E, 0x3E};
  EXPECT_EQ(syst::guid_text(guid), "{62DAC42B-22C9-4BBA-9C5E-DAB581B14E3E}");
}

TEST(WireCodec, HexInputAcceptsSeparatorsAndRejectsJunk) {
  EXPECT_EQ(from_hex("0x08 00:00,00"), (Bytes{8, 0, 0, 0}));
  EXPECT_THROW(from_hex("0g"), std::invalid_argument);
  EXPECT_THROW(from_hex("123"), std::invalid_argument);
}

TEST(ErrorText, IsTheLastTextOfTheResult) {
  Bytes result = WireWriter().text("partial").text("Error :: Reading from Stream Failed").take();
  EXPECT_EQ(error_text(result), "Error :: Reading from Stream Failed");
  EXPECT_EQ(error_text(Bytes{1, 2}), "01 02");
}

using conduit::testing::ScriptedServer;

void send_bytes(int connection, const Bytes& bytes) { ScriptedServer::send(connection, bytes); }

TEST(ConduitClient, ReadsAResponseThatArrivesInPieces) {
  Envelope response;
  response.function = 2;
  response.result = WireWriter().text("conduit").take();
  const Bytes bytes = encode(response);
  ScriptedServer server([&](int connection) {
    send_bytes(connection, Bytes(bytes.begin(), bytes.begin() + 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    send_bytes(connection, Bytes(bytes.begin() + 5, bytes.end()));
  });
  ConduitClient client("127.0.0.1", server.port());
  Envelope answer = client.ping();
  EXPECT_EQ(answer.function, 2u);
  EXPECT_EQ(decode_text(answer.result), "conduit");
}

// The service closes a peer it does not admit, and a request it cannot decode, without a
// word: the message names both likely causes.
TEST(ConduitClient, ACloseWithoutAnswerNamesTheAdmissionRuleAndAServiceThatIsNotConduit) {
  ScriptedServer server([](int) {});
  ConduitClient client("127.0.0.1", server.port());
  try {
    client.ping();
    ADD_FAILURE() << "no exception";
  } catch (const ConnectionError& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find("127.0.0.1:" + std::to_string(server.port()) + " closed the connection with no answer"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("only peers at 127.0.0.1 and 169.x.x.x"), std::string::npos) << text;
    EXPECT_NE(text.find("not Conduit"), std::string::npos) << text;
  }
  EXPECT_TRUE(client.peer_closed());
}

// The service resets a peer it does not admit as it accepts it: the reset may meet the
// request's send or the wait for the answer, and either says the same.
TEST(ConduitClient, AResetWithoutAnswerNamesTheSameCauses) {
  for (const bool atAccept : {false, true}) {
    ScriptedServer server(ScriptedServer::reset, atAccept);
    ConduitClient client("127.0.0.1", server.port());
    if (atAccept) {
      // The reset has arrived before anything is sent.
      for (int i = 0; i < 1500 && !client.peer_closed(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    try {
      client.ping();
      ADD_FAILURE() << "no exception";
    } catch (const ConnectionError& e) {
      const std::string text = e.what();
      EXPECT_NE(text.find("closed the connection with no answer (Connection reset by peer)"), std::string::npos)
          << text;
      EXPECT_NE(text.find("only peers at 127.0.0.1 and 169.x.x.x"), std::string::npos) << text;
    }
  }
}

TEST(ConduitClient, GivesUpAfterItsTimeOut) {
  ScriptedServer server([](int connection) {
    send_bytes(connection, {0, 0, 0});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  });
  ConduitClient client("127.0.0.1", server.port(), std::chrono::milliseconds(50));
  EXPECT_EQ(client.exchange_raw({1}).size(), 3u);
  EXPECT_NE(client.why_unanswered().find("sent an incomplete answer of 3 bytes within 50 ms"), std::string::npos)
      << client.why_unanswered();
}

TEST(ConduitClient, ConnectsFromTheSourceAddressItIsGiven) {
  std::string peer;
  {
    ScriptedServer server([&](int connection) {
      sockaddr_in address{};
      socklen_t length = sizeof address;
      ::getpeername(connection, reinterpret_cast<sockaddr*>(&address), &length);
      char text[INET_ADDRSTRLEN] = {};
      ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
      peer = text;
    });
    ConduitClient client("127.0.0.1", server.port(), std::chrono::seconds(10), "127.0.0.2");
    EXPECT_THROW(client.ping(), ConnectionError);  // the server closes without an answer
  }
  EXPECT_EQ(peer, "127.0.0.2");
  // Not an address, and an address this machine does not have (documentation range).
  EXPECT_THROW(ConduitClient("127.0.0.1", 1, std::chrono::seconds(1), "127.0.0.300"), ConnectionError);
  EXPECT_THROW(ConduitClient("127.0.0.1", 1, std::chrono::seconds(1), "192.0.2.1"), ConnectionError);
}

TEST(ConduitClient, FailsToConnectToAClosedPort) {
  std::uint16_t port;
  {
    ScriptedServer server([](int) {});
    port = server.port();
    ConduitClient unblock("127.0.0.1", port);  // lets the server thread finish
  }
  EXPECT_THROW(ConduitClient("127.0.0.1", port), ConnectionError);
}

}  // namespace
}  // namespace conduit::host
