// The published SHA-256 examples, fed whole and in uneven pieces.
#include "app/sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string hex(const std::array<uint8_t, 32>& digest) {
  std::string text;
  char two[3];
  for (uint8_t byte : digest) {
    std::snprintf(two, sizeof two, "%02x", byte);
    text += two;
  }
  return text;
}

TEST(Sha256, PublishedExamplesWholeAndInPieces) {
  struct Case {
    std::string message;
    const char* digest;
  };
  const Case cases[] = {
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(c.message.data());
    EXPECT_EQ(sha256_hex(bytes, c.message.size()), c.digest) << c.message.substr(0, 20);
    Sha256 pieces;
    for (size_t at = 0, step = 1; at < c.message.size(); at += step, step = step * 3 % 97 + 1) {
      pieces.update(bytes + at, std::min(step, c.message.size() - at));
    }
    EXPECT_EQ(hex(pieces.digest()), c.digest) << c.message.substr(0, 20);
  }
}

}  // namespace
