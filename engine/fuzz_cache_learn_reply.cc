// libFuzzer target: replies of external servers are untrusted bytes that the
// cache reads and rewrites in place (TTLs). Nothing may be read or written
// outside the message, and the cache must stay answerable afterwards.
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/engine.h"
#include "engine/query.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static norvane::Engine* engine = [] {
    static norvane::Engine instance;
    instance.log.set_level(0);
    instance.settings.client_ttl = 60;
    instance.settings.cache_entries = 64;
    return &instance;
  }();
  // An exact-size copy so that any access past the end is caught.
  std::vector<uint8_t> message(data, data + size);
  // A fixed local domain so that the rule that keeps its names out is walked.
  engine->cache.cache_learn_reply(message, "office.lan");

  // Ask the cache for something so that whatever was learned is walked.
  static const uint8_t query[] = {0x12, 0x34, 0x01, 0x00, 0,   1, 0,   0,   0,   0,   0,   0,
                                  4,    'h',  'o',  's',  't', 7, 'e', 'x', 'a', 'm', 'p', 'l',
                                  'e',  3,    'c',  'o',  'm', 0, 0,   1,   0,   1};
  norvane::RequestContext context;
  norvane::Reply reply;
  norvane::handle_message(*engine, context, reply, norvane::kUdpReplyLimit, query);
  return 0;
}
