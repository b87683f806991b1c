// libFuzzer target for decode_name: arbitrary bytes as a message, decoded from
// its start and from a position chosen by the first byte, so that compression
// pointers land anywhere. Sanitizers catch reads outside the input; the check
// below catches a text that overruns its 256-byte buffer without a terminator.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/dns_message.h"

namespace {

void decode_at(const uint8_t* data, size_t size, size_t position) {
  char text[norvane::kNameBufferSize];
  // A sentinel fill makes a missing terminator visible instead of relying on
  // whatever the stack held.
  std::memset(text, 'x', sizeof(text));
  norvane::decode_name(data, size, position, text, sizeof(text));
  if (std::memchr(text, '\0', sizeof(text)) == nullptr) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  decode_at(data, size, 0);
  if (size > 0) decode_at(data, size, data[0] % size);
  return 0;
}
