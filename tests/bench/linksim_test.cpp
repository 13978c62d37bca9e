// The link simulator passes bytes intact through its delay and its rate,
// and cuts the first connection at exactly the byte it was told.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

#include "bench/linksim.h"

namespace {

constexpr std::size_t kBody = 300 * 1024;
constexpr std::uint64_t kCut = 200 * 1024 + 7;

std::uint8_t Pattern(std::size_t i) { return static_cast<std::uint8_t>(i * 131 + i / 251); }

sockaddr_in Address(const char* host, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  inet_pton(AF_INET, host, &a.sin_addr);
  return a;
}

// Connects through the link, sends a request line and reads to the end.
std::vector<std::uint8_t> Fetch(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Address("127.0.0.21", port);
  std::vector<std::uint8_t> got;
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && write(fd, "GET\n", 4) == 4) {
    std::uint8_t piece[8192];
    ssize_t n;
    while ((n = read(fd, piece, sizeof piece)) > 0) got.insert(got.end(), piece, piece + n);
  }
  close(fd);
  return got;
}

TEST(LinkSimulator, DelaysLimitsAndCutsTheFirstConnectionAtItsByte) {
  // The upstream: answers each connection's request line with the pattern.
  int server = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Address("127.0.0.22", 0);
  socklen_t length = sizeof a;
  ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(server, 4), 0);
  getsockname(server, reinterpret_cast<sockaddr*>(&a), &length);
  std::thread upstream([server] {
    std::vector<std::uint8_t> body(kBody);
    for (std::size_t i = 0; i < kBody; ++i) body[i] = Pattern(i);
    for (int round = 0; round < 2; ++round) {
      int fd = accept(server, nullptr, nullptr);
      char request[4];
      if (fd < 0 || read(fd, request, sizeof request) != 4) break;
      for (std::size_t sent = 0; sent < kBody;) {
        ssize_t n = send(fd, body.data() + sent, kBody - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
      }
      close(fd);
    }
  });

  std::string error;
  bool help = false;
  auto options = linksim::ParseArguments({"--listen", "127.0.0.21:0", "--upstream",
                                          "127.0.0.22:" + std::to_string(ntohs(a.sin_port)), "--delay-ms", "5",
                                          "--rate", "2M", "--cut-after", std::to_string(kCut),
                                          "--cut-connections", "1", "--cut-with", "close", "--queue-bytes", "65536"},
                                         error, help);
  ASSERT_TRUE(options) << error;
  linksim::Link link(*options);
  ASSERT_TRUE(link.Listen(error)) << error;
  std::thread run([&link] { link.Run(); });

  std::vector<std::uint8_t> cut = Fetch(link.port());
  std::vector<std::uint8_t> whole = Fetch(link.port());
  link.Stop();
  run.join();
  upstream.join();
  close(server);

  ASSERT_EQ(cut.size(), kCut);
  ASSERT_EQ(whole.size(), kBody);
  for (std::size_t i = 0; i < kBody; ++i) ASSERT_EQ(whole[i], Pattern(i)) << "byte " << i;
  for (std::size_t i = 0; i < kCut; ++i) ASSERT_EQ(cut[i], Pattern(i)) << "byte " << i;
  linksim::Counts counts = link.counts();
  EXPECT_EQ(counts.serverToClient, kCut + kBody);
  EXPECT_EQ(counts.clientToServer, 8u);
  EXPECT_EQ(counts.connections, 2u);
  EXPECT_EQ(counts.cuts, 1u);
}

}  // namespace
