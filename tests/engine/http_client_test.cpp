// The HTTP client against a real server on 127.0.0.2:80 that records the
// bytes it receives and answers from a script.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "build_config.h"
#include "engine/http_client.h"
#include "tests/support/loopback_server.h"

namespace {

using engine::HttpClient;
using engine::SharedWord;
using testsupport::HttpResponse;
using testsupport::LoopbackServer;

// The host of the built-in server, which every request names.
std::string BuiltInHost() {
  std::string s = HARBINOR_DEFAULT_SERVER;
  s = s.substr(7);
  return s.substr(0, s.find('/'));
}

std::string ExpectedRequest(const std::string& path) {
  return "GET " + path + " HTTP/1.1\r\nHost: " + BuiltInHost() + "\r\nAccept: */*\r\nConnection: Close\r\n\r\n";
}

// Collects a streamed body.
struct Collect : engine::BodyReceiver {
  std::string bytes;
  bool Begin(const engine::ResponseHead&, std::optional<std::uint64_t>) override { return true; }
  bool Take(const std::uint8_t* data, std::size_t size) override {
    bytes.append(reinterpret_cast<const char*>(data), size);
    return true;
  }
};

class HttpClientTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.listening()) << "cannot listen on 127.0.0.2:80 (not root?)"; }

  std::string Url(const std::string& path) { return "http://" + server_.host() + path; }

  // One whole transfer; the counters are left in the fields.
  const std::uint8_t* Transfer(HttpClient& client, const std::string& path) {
    if (!client.Connect(Url(path))) return nullptr;
    return client.Get(total_, length_, control_);
  }

  // The body that a Get returned, with the length the Get left behind.
  std::string Body(const std::uint8_t* body) const {
    return body ? std::string(reinterpret_cast<const char*>(body), static_cast<std::size_t>(length_)) : "(none)";
  }

  LoopbackServer server_{2};
  SharedWord total_{0};
  SharedWord control_{engine::kRun};
  std::int32_t length_ = 0;
};

TEST_F(HttpClientTest, RequestBytesAndNameRewriting) {
  struct Case {
    std::string path;
    std::string sent;
  } cases[] = {
      {"/tlv5.update/tlv5.php", "/tlv5.update/tlv5.php"},
      {"/tlv5.update/dvd/My Editor.exe", "/tlv5.update/dvd/My%20Editor.ex_"},
      {"/tlv5.update/dvd/PLAYER.EXE", "/tlv5.update/dvd/PLAYER.EXE"},
      {"/tlv5.update/dvd/codec.dll", "/tlv5.update/dvd/codec.dl_"},
      {"/tlv5.update/dvd/Language/Deutsch.ini", "/tlv5.update/dvd/Language/Deutsch.ini"},
      {"/a b/x.exe.dll", "/a%20b/x.ex_.dl_"},
      {"/dvd/setup.exe/readme.txt", "/dvd/setup.ex_/readme.txt"},
  };
  for (const Case& c : cases) {
    server_.Enqueue(testsupport::RespondOk("@TLV-DVD Update@\r\n"));
    HttpClient client;
    ASSERT_NE(Transfer(client, c.path), nullptr) << c.path;
    EXPECT_EQ(client.path, c.path) << "the kept path is not rewritten";
  }
  auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), std::size(cases));
  for (std::size_t i = 0; i < requests.size(); ++i) EXPECT_EQ(requests[i], ExpectedRequest(cases[i].sent));
}

TEST_F(HttpClientTest, UrlForms) {
  for (std::string url : {"HTTP://" + server_.host() + "/a", "hTtP://" + server_.host() + "/a", server_.host() + "/a"}) {
    server_.Enqueue(testsupport::RespondOk("ok"));
    HttpClient client;
    ASSERT_TRUE(client.Connect(url)) << url;
    EXPECT_EQ(Body(client.Get(total_, length_, control_)), "ok") << url;
  }
  HttpClient client;
  EXPECT_FALSE(client.Connect(server_.host() + ":80/a")) << "there is no port syntax";
  EXPECT_FALSE(client.Connect("http://" + server_.host())) << "no path";
  EXPECT_FALSE(client.Connect(""));
  EXPECT_FALSE(client.Connect("http://" + std::string(128, 'h') + "/a"));
  EXPECT_FALSE(client.Connect("http://127.0.0.9/a")) << "nobody listens there";
  EXPECT_EQ(client.Get(total_, length_, control_), nullptr) << "no connection";
}

TEST_F(HttpClientTest, ErrorPageIsABodyAndCountersLoseTheHeader) {
  std::string page = "<html><body>404 Not Found</body></html>";
  std::string response = HttpResponse("404 Not Found", page);
  server_.Enqueue(testsupport::Respond(response));
  total_ = 1000;
  HttpClient client;
  const std::uint8_t* body = Transfer(client, "/dvd/missing.txt");
  EXPECT_EQ(Body(body), page);
  EXPECT_EQ(length_, static_cast<std::int32_t>(page.size()));
  EXPECT_EQ(total_.load(), 1000 + static_cast<std::int32_t>(page.size())) << "the running total is not reset";
  ASSERT_GE(client.response.size(), response.size() + 2);
  EXPECT_EQ(client.response.data()[response.size()], 0);
  EXPECT_EQ(client.response.data()[response.size() + 1], 0);
}

TEST_F(HttpClientTest, HeaderThenCloseGivesAnEmptyBody) {
  server_.Enqueue(testsupport::Respond("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"));
  HttpClient client;
  const std::uint8_t* body = Transfer(client, "/x");
  ASSERT_NE(body, nullptr);
  EXPECT_EQ(length_, 0);
  EXPECT_EQ(body[0], 0) << "the body points at the appended zero bytes";
}

TEST_F(HttpClientTest, ResponseWithoutBlankLineFails) {
  std::string response = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n";
  server_.Enqueue(testsupport::Respond(response));
  HttpClient client;
  EXPECT_EQ(Transfer(client, "/x"), nullptr);
  EXPECT_EQ(length_, static_cast<std::int32_t>(response.size())) << "the counters keep every received byte";
  EXPECT_EQ(total_.load(), static_cast<std::int32_t>(response.size()));
}

TEST_F(HttpClientTest, ListRequestBodyStartsAtTheMarker) {
  std::string document = "@TLV-DVD Update@\r\nNew things\r\n@TLV-DVD Update@\r\n";
  server_.Enqueue(testsupport::Respond("HTTP/1.1 200 OK\r\nX-Note: header text\r\n\r\n<pre>" + document));
  HttpClient client;
  EXPECT_EQ(Body(Transfer(client, "/tlv5.update/tlv5.php")), document);

  // Without the marker the list request fails, even with a proper body.
  server_.Enqueue(testsupport::RespondOk("<html>maintenance</html>"));
  EXPECT_EQ(Transfer(client, "/tlv5.update/tlv5.php"), nullptr);
  // A zero byte ends the search.
  server_.Enqueue(testsupport::Respond(std::string("HTTP/1.1 200 OK\r\n\r\n\0", 20) + document));
  EXPECT_EQ(Transfer(client, "/tlv5.update/tlv5.php"), nullptr);
  // Letter case counts in the name that makes a list request.
  server_.Enqueue(testsupport::RespondOk("@TLV-DVD Update@ in a page"));
  EXPECT_EQ(Body(Transfer(client, "/tlv5.update/TLV5.PHP")), "@TLV-DVD Update@ in a page");
}

TEST_F(HttpClientTest, SlowAndCutResponses) {
  std::string body(3000, 'b');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 26);
  std::string response = HttpResponse("200 OK", body);

  // One byte at a time arrives whole.
  server_.Enqueue(testsupport::RespondSlowly(HttpResponse("200 OK", body.substr(0, 150)), 1));
  server_.SetDefault(testsupport::Respond(""));
  HttpClient client;
  EXPECT_EQ(Body(Transfer(client, "/slow")), body.substr(0, 150));

  // Closed before the end that its Content-Length announced: no body at all.
  server_.Enqueue(testsupport::RespondCutShort(response, response.size() - 1000));
  EXPECT_EQ(Body(Transfer(client, "/cut")), "(none)");
}

// Where the body ends is what the header block says, whatever the letter
// case of its names; a body that does not end as framed is a failed transfer.
TEST_F(HttpClientTest, BodyFraming) {
  const std::string list = "@TLV-DVD Update@\r\nintro\r\n@TLV-DVD Update@\r\n";
  struct Case {
    std::string path, head, rest, body;  // body "(none)": the transfer fails
  } cases[] = {
      {"/a", "content-LENGTH:  3 ", "abcdef", "abc"},
      {"/a", "Content-Length: 3\r\nContent-Length: 4", "abcd", "(none)"},
      {"/a", "Content-Length: 3x", "abc", "(none)"},
      {"/a", "Transfer-Encoding: chunked", "4;name=x\r\nWiki\r\nA\r\npedia, the\r\n0\r\nX-Sum: 1\r\n\r\nafter",
       "Wikipedia, the"},
      {"/a", "transfer-encoding:Chunked\r\nContent-Length: 1", "1\r\nz\r\n00\r\n\r\n", "z"},
      {"/tlv5.php", "Transfer-Encoding: chunked", "5\r\n<pre>\r\n2b\r\n" + list + "\r\n0\r\n\r\n", list},
      {"/a", "Transfer-Encoding: chunked", "4\r\nWiki\r\n5\r\npedia\r\n", "(none)"},
      {"/a", "Transfer-Encoding: chunked", "4\r\nWikipedia\r\n0\r\n\r\n", "(none)"},
      {"/a", "Transfer-Encoding: chunked", "x\r\nab\r\n0\r\n\r\n", "(none)"},
      {"/a", "Transfer-Encoding: chunked", "4\nWiki\n0\n\n", "(none)"},
      {"/a", "Transfer-Encoding: gzip", "abc", "(none)"},
  };
  // A streamed file body ends where the whole one does.
  for (const Case& c : cases) {
    for (bool streamed : {false, true}) {
      if (streamed && c.path == "/tlv5.php") continue;
      server_.Enqueue(testsupport::Respond("HTTP/1.1 200 OK\r\n" + c.head + "\r\n\r\n" + c.rest));
      HttpClient client;
      total_ = 0;
      std::string body = "(none)";
      Collect collect;
      if (!streamed) {
        body = Body(Transfer(client, c.path));
      } else if (client.Connect(Url(c.path)) &&
                 client.GetStreamed(total_, length_, control_, collect) == HttpClient::StreamResult::kComplete) {
        body = collect.bytes;
      }
      EXPECT_EQ(body, c.body) << c.head << " | " << c.rest << (streamed ? " (streamed)" : "");
      if (c.body != "(none)") {
        EXPECT_EQ(total_.load(), static_cast<std::int32_t>(c.body.size())) << c.rest;
        EXPECT_EQ(length_, static_cast<std::int32_t>(c.body.size())) << c.rest;
      }
    }
  }
}

// A body whole by its framing ends the transfer though the server keeps the
// connection open (any wait for its close fails at the short time-out), and
// interim responses before the real one are skipped; 101 is a final one.
TEST_F(HttpClientTest, FramedBodyEndsTheTransferOnAnOpenConnection) {
  struct Case {
    std::string response, body;
    int status;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", "hello", 200},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nhe\r\n3\r\nllo\r\n0\r\nX: 1\r\n\r\n", "hello", 200},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\nX: y\r\n\r\n"
       "HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\ngone",
       "gone", 404},
      {"HTTP/1.1 101 Switching Protocols\r\nContent-Length: 2\r\n\r\nok", "ok", 101},
  };
  for (const Case& c : cases) {
    for (bool streamed : {false, true}) {
      server_.Enqueue(testsupport::RespondThenStall(c.response, 30000));
      HttpClient client;
      client.receiveTimeoutMs = 5000;
      total_ = 0;
      Collect collect;
      std::string body = "(none)";
      if (!streamed) {
        body = Body(Transfer(client, "/held"));
      } else if (client.Connect(Url("/held")) &&
                 client.GetStreamed(total_, length_, control_, collect) == HttpClient::StreamResult::kComplete) {
        body = collect.bytes;
      }
      SCOPED_TRACE(c.response + (streamed ? " (streamed)" : ""));
      EXPECT_EQ(body, c.body) << client.failure;
      EXPECT_EQ(length_, static_cast<std::int32_t>(c.body.size()));
      EXPECT_EQ(total_.load(), static_cast<std::int32_t>(c.body.size()));
      EXPECT_EQ(client.lastHead.status, c.status);
      EXPECT_FALSE(client.connection.IsOpen()) << "the held connection is let go";
      EXPECT_EQ(client.unexpectedStatus.find(" " + std::to_string(c.status) + " ") == 8, c.status != 200);
    }
  }
}

// The cap counts body bytes, not chunk framing: a 2 MiB list in chunks of
// five bytes carries as many framing bytes again, and still arrives.
TEST_F(HttpClientTest, ListInSmallChunksFitsTheCap) {
  std::string list = "@TLV-DVD Update@\r\n" + std::string((2u << 20) - 20, 'l');
  std::string chunked;
  for (std::size_t at = 0; at < list.size(); at += 5) chunked += "5\r\n" + list.substr(at, 5) + "\r\n";
  chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked + "0\r\n\r\n";
  server_.Enqueue(testsupport::Respond(chunked));
  HttpClient client;
  EXPECT_TRUE(Body(Transfer(client, "/tlv5.php")) == list) << client.failure;
}

// Framing that never ends: one endless chunk extension, endless trailer
// lines, and one-byte chunks each with a long extension. Each fails within
// its bound, whatever the server would go on sending.
TEST_F(HttpClientTest, EndlessChunkFramingFailsWithinItsBound) {
  struct Case {
    std::string start, repeat;
  } cases[] = {
      {"1;", std::string(1000, 'e')},
      {"0\r\n", "X-Pad: y\r\n"},
      {"", "1;" + std::string(4000, 'e') + "\r\nz\r\n"},
  };
  for (const Case& c : cases) {
    for (bool streamed : {false, true}) {
      // About 2 MB, unless the client goes away first.
      server_.Enqueue([start = c.start, repeat = c.repeat](testsupport::ServerSession& s) {
        bool open = s.Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + start);
        for (std::size_t sent = 0; open && sent < 2000000; sent += repeat.size()) open = s.Send(repeat);
      });
      HttpClient client;
      client.maxResponseBytes = 10000;
      client.receiveTimeoutMs = 5000;
      total_ = 0;
      Collect collect;
      ASSERT_TRUE(client.Connect(Url("/endless")));
      bool ok = streamed ? client.GetStreamed(total_, length_, control_, collect) == HttpClient::StreamResult::kComplete
                         : client.Get(total_, length_, control_) != nullptr;
      SCOPED_TRACE(c.start + c.repeat.substr(0, 12) + (streamed ? " (streamed)" : ""));
      EXPECT_FALSE(ok);
      // The framing bound (about 84 KB here) and at most a receive block.
      EXPECT_LT(total_.load(), 400000);
      EXPECT_LT(client.response.capacity(), 400000u);
    }
  }
}

// A size line (with its extensions) and a trailer line may each be
// kMaxChunkLineBytes long, counted up to and with their CR.
TEST(ChunkedDecoderTest, LinesAreBounded) {
  const std::size_t most = engine::kMaxChunkLineBytes;
  struct Case {
    std::size_t sizeLine, trailerLine;
    bool complete;
  } cases[] = {{most, most, true}, {most + 1, most, false}, {most, most + 1, false}};
  for (const Case& c : cases) {
    std::string body = "1;" + std::string(c.sizeLine - 3, 'e') + "\r\nz\r\n0\r\nX:" +
                       std::string(c.trailerLine - 3, 't') + "\r\n\r\n";
    engine::ChunkedDecoder decoder;
    decoder.Feed(reinterpret_cast<const std::uint8_t*>(body.data()), body.size(), nullptr);
    EXPECT_EQ(decoder.state() == engine::ChunkedDecoder::State::kComplete, c.complete) << c.sizeLine << c.trailerLine;
    if (c.complete) EXPECT_EQ(decoder.framingBytes(), body.size() - 1);
  }
}

// What the final response's header block says for a later request.
TEST(ResponseReaderTest, HeadFields) {
  Collect collect;
  engine::ResponseReader reader(collect);
  std::string response =
      "HTTP/1.1 100 Continue\r\nETag: \"interim\"\r\n\r\n"
      "HTTP/1.1 206 Partial Content\r\netag:  \"v1\" \r\nCONTENT-RANGE: bytes 5-9/10\r\n"
      "Last-Modified: Wed, 09 Dec 2026 9:00\r\nConnection: keep-alive, Close\r\n"
      "Content-Length: 5\r\n\r\nworld";
  // Fed a byte at a time, as the slowest network would hand it on.
  for (char ch : response) ASSERT_TRUE(reader.Feed(reinterpret_cast<const std::uint8_t*>(&ch), 1));
  EXPECT_TRUE(reader.complete());
  EXPECT_EQ(collect.bytes, "world");
  EXPECT_TRUE(reader.head() == (engine::ResponseHead{206, "bytes 5-9/10", "\"v1\"", "Wed, 09 Dec 2026 9:00", true}));

  // Two different values are none known; "closed" is no "close".
  engine::ResponseReader second(collect);
  std::string conflicting = "HTTP/1.1 200 OK\r\nETag: \"a\"\r\nETag: \"b\"\r\nConnection: closed\r\n\r\n";
  ASSERT_TRUE(second.Feed(reinterpret_cast<const std::uint8_t*>(conflicting.data()), conflicting.size()));
  EXPECT_FALSE(second.complete()) << "only the end of the connection ends this body";
  EXPECT_TRUE(second.head() == (engine::ResponseHead{200, {}, {}, {}, false, true})) << "an HTTP/1.1 server keeps it";
}

// A silent server, and one that trickles a byte now and then, each well
// within the receive time-out but far below 1024 bytes per window.
TEST_F(HttpClientTest, SilentAndTricklingServersTimeOut) {
  for (bool trickle : {false, true}) {
    server_.Enqueue(trickle ? testsupport::RespondSlowly("HTTP/1.1 200 OK\r\n\r\n" + std::string(400, 't'), 20)
                            : testsupport::RespondThenStall("HTTP/1.1 200 OK\r\n\r\npart", 5000));
    HttpClient client;
    client.receiveTimeoutMs = trickle ? 5000 : 300;
    client.stallWindowMs = trickle ? 400 : engine::kStallWindowMs;
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Transfer(client, "/stall"), nullptr) << (trickle ? "trickle" : "silent");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  }
}

TEST_F(HttpClientTest, StopUnblocksAWaitingReceive) {
  server_.Enqueue(testsupport::RespondThenStall("HTTP/1.1 200 OK\r\n\r\npartial", 10000));
  HttpClient client;
  ASSERT_TRUE(client.Connect(Url("/stall")));
  auto result = std::async(std::launch::async, [&] { return client.Get(total_, length_, control_); });
  ASSERT_TRUE(server_.WaitForRequests(1, 2000));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  control_ = engine::kStop;
  ASSERT_EQ(result.wait_for(std::chrono::seconds(2)), std::future_status::ready) << "stop did not end the wait";
  EXPECT_EQ(Body(result.get()), "partial") << "what arrived before the stop is kept";
}

TEST_F(HttpClientTest, StopDuringTransferEndsAfterTheCurrentChunk) {
  std::string head = "HTTP/1.1 200 OK\r\n\r\n";
  std::string body(4096 - head.size(), 'z');
  server_.Enqueue(testsupport::RespondThenStall(head + body, 10000));
  HttpClient client;
  ASSERT_TRUE(client.Connect(Url("/big")));
  auto result = std::async(std::launch::async, [&] { return client.Get(total_, length_, control_); });
  ASSERT_TRUE([&] {
    for (int i = 0; i < 200 && total_.load() < 4096; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return total_.load() == 4096;
  }());
  control_ = engine::kStop;
  ASSERT_EQ(result.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_EQ(Body(result.get()), body);
}

TEST_F(HttpClientTest, HoldDelaysTheRequestAndStopBeforeSendingSendsNothing) {
  server_.Enqueue(testsupport::RespondOk("held"));
  HttpClient client;
  ASSERT_TRUE(client.Connect(Url("/held")));
  control_ = engine::kHold;
  auto result = std::async(std::launch::async, [&] { return client.Get(total_, length_, control_); });
  EXPECT_EQ(result.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout) << "hold was not honoured";
  control_ = engine::kRun;
  ASSERT_EQ(result.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_EQ(Body(result.get()), "held");
  ASSERT_TRUE(server_.WaitForRequests(1, 2000));
  EXPECT_EQ(server_.Requests()[0], ExpectedRequest("/held"));

  server_.ClearRequests();
  ASSERT_TRUE(client.Connect(Url("/stopped")));
  control_ = engine::kStop;
  EXPECT_EQ(client.Get(total_, length_, control_), nullptr);
  client.Close();
  ASSERT_TRUE(server_.WaitForRequests(1, 3000));
  EXPECT_EQ(server_.Requests()[0], "") << "a stop before sending must send nothing";
}

TEST_F(HttpClientTest, ResponseCapStopsAnEndlessServer) {
  server_.Enqueue(testsupport::RespondOk(std::string(50000, 'x')));
  HttpClient client;
  client.maxResponseBytes = 20000;
  EXPECT_EQ(Transfer(client, "/huge"), nullptr);
  EXPECT_LE(client.response.capacity(), 40000u);
}

TEST_F(HttpClientTest, SecondTransferOnOneObjectStartsClean) {
  server_.Enqueue(testsupport::RespondOk("first body, rather long"));
  server_.Enqueue(testsupport::RespondOk("second"));
  HttpClient client;
  EXPECT_EQ(Body(Transfer(client, "/one")), "first body, rather long");
  EXPECT_EQ(Body(Transfer(client, "/two")), "second");
  EXPECT_EQ(client.path, "/two");
  client.Close();
  EXPECT_EQ(client.path, "");
  EXPECT_EQ(client.response.size(), 0u);
  EXPECT_FALSE(client.connection.IsOpen());
}

TEST(BodyLocatorTest, Rules) {
  auto locate = [](std::string s, bool list) {
    auto at = engine::LocateBody(reinterpret_cast<const std::uint8_t*>(s.data()), s.size(), list);
    return at ? static_cast<int>(*at) : -1;
  };
  EXPECT_EQ(locate("H\r\n\r\nbody", false), 5);
  EXPECT_EQ(locate("H\r\n\r\n\r\n\r\n", false), 5);
  EXPECT_EQ(locate("H\r\n\r", false), -1);
  EXPECT_EQ(locate("H\n\nbody", false), -1);
  EXPECT_EQ(locate(std::string("H\0\r\n\r\n", 6), false), -1);
  EXPECT_EQ(locate("xx@TLV-DVD Update@", true), 2);
  EXPECT_EQ(locate("xx@TLV-DVD Update", true), -1);
  EXPECT_EQ(locate("", false), -1);
  EXPECT_FALSE(engine::LocateBody(nullptr, 0, false));
}

}  // namespace
