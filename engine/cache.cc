// The cache. It holds nothing yet, so every writer finds nothing.
#include "engine/cache.h"

namespace norvane {

uint16_t Cache::cache_answer_a(std::string_view, Sink&) { return 0; }
uint16_t Cache::cache_answer_ns(std::string_view, Sink&) { return 0; }
uint16_t Cache::cache_answer_cname(std::string_view, Sink&, bool) { return 0; }
uint16_t Cache::cache_answer_ptr(std::string_view, Sink&) { return 0; }
uint16_t Cache::cache_answer_mx(std::string_view, Sink&) { return 0; }

}  // namespace norvane
