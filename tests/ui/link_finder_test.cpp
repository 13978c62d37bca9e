// The message area's link finder, which every front end uses: what is a
// link, where it ends, and what opening it opens.
#include "ui/link_finder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using ui::FindLinks;

std::vector<std::string> LinksIn(std::string_view text) {
  std::vector<std::string> found;
  for (const auto& span : FindLinks(text)) found.emplace_back(text.substr(span.begin, span.length));
  return found;
}

TEST(MessageLinksTest, FindsWebAndMailAddresses) {
  EXPECT_EQ(LinksIn("You can download the latest version from\n\nhttp://www.tolvaro.example/download/"),
            std::vector<std::string>{"http://www.tolvaro.example/download/"});
  EXPECT_EQ(LinksIn("see https://a.example/x?y=1&z=2#part or www.b.example, or mailto:help@c.example."),
            (std::vector<std::string>{"https://a.example/x?y=1&z=2#part", "www.b.example", "mailto:help@c.example"}));
  EXPECT_EQ(LinksIn("HTTP://UPPER.EXAMPLE/ and Www.Mixed.example"),
            (std::vector<std::string>{"HTTP://UPPER.EXAMPLE/", "Www.Mixed.example"}));
}

TEST(MessageLinksTest, EndsBeforeSentencePunctuationAndUnmatchedBrackets) {
  EXPECT_EQ(LinksIn("(see http://a.example/page)."), std::vector<std::string>{"http://a.example/page"});
  EXPECT_EQ(LinksIn("http://a.example/wiki/Thing_(x)"), std::vector<std::string>{"http://a.example/wiki/Thing_(x)"});
  EXPECT_EQ(LinksIn("<http://a.example/b>"), std::vector<std::string>{"http://a.example/b"});
  EXPECT_EQ(LinksIn("\"www.a.example\"!"), std::vector<std::string>{"www.a.example"});
  EXPECT_EQ(LinksIn("http://a.example/\xC3\xA4x"), std::vector<std::string>{"http://a.example/"});
  EXPECT_EQ(LinksIn("line one http://a.example/1\r\nline two"), std::vector<std::string>{"http://a.example/1"});
}

TEST(MessageLinksTest, NoLinkInsideWordsOrWithoutAnAddress) {
  EXPECT_TRUE(LinksIn("xhttp://a.example/ awww.b.example c.www.d.example").empty());
  EXPECT_TRUE(LinksIn("http:// alone, www. alone, mailto: alone").empty());
  EXPECT_TRUE(LinksIn("ftp://a.example/ file:///etc/passwd news:x").empty());
  EXPECT_TRUE(LinksIn("").empty());
}

TEST(MessageLinksTest, OpensWebAndMailLinksAndWwwNamesAsHttp) {
  const std::pair<std::string, std::string> kCases[] = {
      {"http://a.example/x", "http://a.example/x"},
      {"HTTPS://A.example", "HTTPS://A.example"},
      {"mailto:help@c.example", "mailto:help@c.example"},
      {"www.example.com/page", "http://www.example.com/page"},
      {"http://x.example/a_(b)", "http://x.example/a_(b)"},
      {"ftp://a.example/", ""},
      {"file:///etc/passwd", ""},
      {"www.", ""},
      {"http://a.example/ x", ""},  // only a whole link opens
      {"http://a.example/.", ""},
      {"", ""},
  };
  for (const auto& [text, target] : kCases) EXPECT_EQ(ui::LinkTarget(text), target) << text;
  EXPECT_EQ(ui::LinkTexts("www.a.example then www.a.example and http://b.example"),
            (std::vector<std::string>{"www.a.example", "http://b.example"}));
}

}  // namespace
