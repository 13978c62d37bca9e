// The HTTP client where Linux's sockets behave in ways the tests can rely
// on: a socket closed with unread data resets the connection (Wine's do not).
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "engine/http_client.h"
#include "platform/sockets.h"

namespace {

using engine::HttpClient;
using engine::SharedWord;

// A connection reset in the middle of a body that nothing else frames is a
// failed transfer, not its end. The server closes without reading the
// request, so the system answers with a reset.
TEST(HttpClientResetTest, ResetMidBodyFails) {
  auto listener = platform::TcpListener::Listen(0x7F000002u, 80);
  ASSERT_TRUE(listener.IsOpen());
  std::thread server([&] {
    platform::TcpConnection c = listener.Accept(5000);
    std::string head = "HTTP/1.1 200 OK\r\n\r\n" + std::string(3000, 'p');
    c.SendAll(head.data(), head.size(), 5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    c.Close();
  });
  HttpClient client;
  SharedWord total{0}, control{engine::kRun};
  std::int32_t length = 0;
  ASSERT_TRUE(client.Connect("http://127.0.0.2/reset"));
  EXPECT_EQ(client.Get(total, length, control), nullptr);
  server.join();
}

}  // namespace
