// Query processing: dispatch of received messages, answers from the local
// database and the cache, and zone transfers.
#include "engine/query.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>

#include "engine/dns_message.h"
#include "engine/dynamic_update.h"
#include "engine/names.h"
#include "engine/text_helpers.h"
#include "engine/wire_reader.h"
#include "engine/zone_copy.h"
#include "engine/zone_file.h"

namespace norvane {
namespace {

// A reply under construction. The answer, authority and additional sections
// are built apart and joined at the end, so that the message carries its
// records in section order whatever order the steps wrote them in. For the
// limit test, the answer and authority sections both count as lying behind
// the header and the echoed questions. A record of either that does not fit
// sets `truncated`; additional records are dropped without it.
struct ReplyState {
  ReplyState(std::vector<uint8_t>& message, size_t reply_limit)
      : base(message), limit(reply_limit) {
    answers.clear();
    authority.clear();
    additional.clear();
  }

  Sink answer_sink() { return Sink(answers, base.size() + authority.size(), limit, &truncated); }
  Sink authority_sink() { return Sink(authority, base.size() + answers.size(), limit, &truncated); }
  Sink additional_sink() { return Sink(additional, 0, kAdditionalLimit); }

  std::vector<uint8_t>& base;
  size_t limit;
  // Reused per thread: a reply allocates nothing once the buffers have grown.
  static thread_local std::vector<uint8_t> answers;
  static thread_local std::vector<uint8_t> authority;
  static thread_local std::vector<uint8_t> additional;
  uint16_t ancount = 0;
  uint16_t nscount = 0;
  uint16_t arcount = 0;
  bool truncated = false;
};

thread_local std::vector<uint8_t> ReplyState::answers;
thread_local std::vector<uint8_t> ReplyState::authority;
thread_local std::vector<uint8_t> ReplyState::additional;

const char* address_text(uint32_t address, char* buffer) { return format_ipv4(address, buffer); }

bool owner_within(std::string_view owner, std::string_view name) {
  if (owner.size() < name.size() || !owner.ends_with(name)) return false;
  return owner.size() == name.size() || name.empty() ||
         owner[owner.size() - name.size() - 1] == '.';
}

// Writes the domain's SOA record when `name` lies in the zone: as an answer
// when `name` is the domain itself (then the domain's NS records and their
// addresses go to `additional` when given, and 1 is returned), as authority
// when an authority section is wanted for a name below the domain (returns
// 0). Written without a limit check. Database lock held.
int local_answer_soa(Engine& engine, const LocalZone::Guard& zone, std::string_view name,
                     ReplyState& state, bool authority_wanted, bool additional_wanted) {
  if (!zone.zone_of_name(name)) return 0;
  const bool is_domain = zone.is_domain(name);
  if (!is_domain && !authority_wanted) return 0;
  Sink sink = is_domain ? state.answer_sink() : state.authority_sink();
  sink.put_soa(zone.domain(), zone.refresh(), zone.primary(), zone.mailbox(), zone.serial(),
               zone.refresh(), zone.retry(), zone.expire(), zone.minimum());
  if (engine.log.enabled(1)) {
    engine.log.write(1, "local %s %u IN SOA %s %s %u %u %u %u %u\n",
                     EscapedName(zone.domain()).c_str(), zone.refresh(),
                     EscapedName(zone.primary()).c_str(), EscapedName(zone.mailbox()).c_str(),
                     zone.serial(), zone.refresh(), zone.retry(), zone.expire(), zone.minimum());
  }
  if (!is_domain) {
    ++state.nscount;
    return 0;
  }
  ++state.ancount;
  if (additional_wanted) {
    Sink extra = state.additional_sink();
    // The question name, not the domain's text: the records are indexed
    // in lower case and the domain keeps the case it was written in.
    local_answer_ns(engine, zone, name, extra, state.arcount, {&extra, &state.arcount});
  }
  return 1;
}

int finish_reply(Engine& engine, const RequestContext& context, Reply& reply, ReplyState& state,
                 const DnsHeader& request, bool local, bool name_missing);

// Starts `out` with the request's header and as many of its questions as can
// be read and echoed byte for byte, copied as they are. A question name whose
// compression pointer lands in the header cannot be echoed, as the reply's
// header bytes differ. A reply carries nothing else of the request a reply carries nothing else of
// the request (RFC 1035 section 4.1.1; trailing bytes or records copied from a query would be read
// as answers by the client). QDCOUNT becomes the number of questions copied and the other counts 0.
// Returns that number; `out` stays empty when the request is shorter than a header.
int echo_questions(std::span<const uint8_t> request, std::vector<uint8_t>& out) {
  out.clear();
  DnsHeader header;
  if (!DnsHeader::read(request, header)) return 0;
  WireReader reader(request, DnsHeader::kSize);
  size_t end = reader.position();
  int copied = 0;
  while (copied < header.qdcount) {
    const auto question = reader.read_question();
    if (!question || question->name.points_into_header) break;
    end = reader.position();
    ++copied;
  }
  out.assign(request.begin(), request.begin() + static_cast<std::ptrdiff_t>(end));
  header.qdcount = static_cast<uint16_t>(copied);
  header.ancount = header.nscount = header.arcount = 0;
  header.write(out.data());
  return copied;
}

// Hands `write` the records of `type` that `name` owns or, when it owns
// none, those of the wildcards that match it: a wildcard stands in only for
// names without records of that type of their own. `write` returns false
// once the answer is full.
template <typename Write>
void write_own_or_wildcard(const LocalZone::Guard& zone, std::string_view name, uint32_t type,
                           Write& write) {
  bool own = false;
  for (const ZoneRecord& record : zone.live().owned_by(name)) {
    if (record.type != type) continue;
    own = true;
    if (!write(record)) return;
  }
  if (own) return;
  bool full = false;
  zone.live().for_each_wildcard_match(name, [&](const ZoneRecord& record) {
    if (full || record.type != type) return;
    if (!write(record)) full = true;
  });
}

}  // namespace

int local_answer_a(Engine& engine, const LocalZone::Guard& zone, std::string_view name, Sink& sink,
                   uint16_t& count) {
  const uint16_t before = count;
  char address[kIpv4TextSize];
  auto write = [&](const ZoneRecord& record) {
    if (!sink.put_a(name, record.ttl, record.datum)) return false;
    ++count;
    if (engine.log.enabled(1)) {
      engine.log.write(1, "local %s %u IN A %s\n", EscapedName(name).c_str(), record.ttl,
                       address_text(record.datum, address));
    }
    return true;
  };
  write_own_or_wildcard(zone, name, kTypeA, write);
  return count - before;
}

int local_answer_ns(Engine& engine, const LocalZone::Guard& zone, std::string_view name, Sink& sink,
                    uint16_t& count, AddressTarget addresses) {
  const uint16_t before = count;
  for (const ZoneRecord& record : zone.live().owned_by(name)) {
    if (record.type != kTypeNs) continue;
    if (!sink.put_name(name, kTypeNs, record.ttl, record.target)) break;
    ++count;
    if (engine.log.enabled(1)) {
      engine.log.write(1, "local %s %u IN NS %s\n", EscapedName(name).c_str(), record.ttl,
                       EscapedName(record.target).c_str());
    }
    if (addresses.sink != nullptr) {
      local_answer_a(engine, zone, record.target, *addresses.sink, *addresses.count);
    }
  }
  return count - before;
}

int local_answer_cname(Engine& engine, const LocalZone::Guard& zone, std::string_view name,
                       Sink& sink, uint16_t& count, bool target_addresses) {
  const uint16_t before = count;
  std::optional<ZoneRecord> record = zone.find_zone_record(zone.live(), name, kTypeCname);
  if (!record) return 0;
  // The owners written so far, to stop on a chain that comes back to one.
  std::array<std::string_view, kMaxCnameLinks> owners;
  size_t links = 0;
  std::string_view owner = name;
  for (;;) {
    if (!sink.put_name(owner, kTypeCname, record->ttl, record->target)) break;
    ++count;
    owners[links++] = owner;
    if (engine.log.enabled(1)) {
      engine.log.write(1, "local %s %u IN CNAME %s\n", EscapedName(owner).c_str(), record->ttl,
                       EscapedName(record->target).c_str());
    }
    if (!target_addresses) break;
    // A resolver that gets the alias alone has to ask again for each link;
    // glibc's stub gives up instead (RFC 1034 section 4.3.2 step 3a: the
    // server restarts at the canonical name). Targets outside the database
    // are left to the client.
    const std::string_view target = record->target;
    const std::optional<ZoneRecord> next = zone.find_zone_record(zone.live(), target, kTypeCname);
    if (!next) {
      local_answer_a(engine, zone, target, sink, count);
      break;
    }
    if (links == owners.size() ||
        std::find(owners.begin(), owners.begin() + static_cast<std::ptrdiff_t>(links), target) !=
            owners.begin() + static_cast<std::ptrdiff_t>(links))
      break;
    owner = target;
    record = next;
  }
  return count - before;
}

int local_answer_mx(Engine& engine, const LocalZone::Guard& zone, std::string_view name, Sink& sink,
                    uint16_t& count, AddressTarget addresses) {
  const uint16_t before = count;
  auto write = [&](const ZoneRecord& record) {
    if (!sink.put_mx(name, record.ttl, static_cast<uint16_t>(record.datum), record.target))
      return false;
    ++count;
    if (engine.log.enabled(1)) {
      engine.log.write(1, "local %s %u IN MX %u %s\n", EscapedName(name).c_str(), record.ttl,
                       record.datum, EscapedName(record.target).c_str());
    }
    if (addresses.sink != nullptr) {
      local_answer_a(engine, zone, record.target, *addresses.sink, *addresses.count);
    }
    return true;
  };
  write_own_or_wildcard(zone, name, kTypeMx, write);
  return count - before;
}

int local_answer_ptr(Engine& engine, const LocalZone::Guard& zone, std::string_view name,
                     Sink& sink, uint16_t& count) {
  const uint32_t address = reverse_name_address(name);
  if (address == 0) return 0;
  const std::optional<ZoneRecord> record = zone.find_address_record(address);
  if (!record || !sink.put_name(name, kTypePtr, record->ttl, record->owner)) return 0;
  ++count;
  if (engine.log.enabled(1)) {
    engine.log.write(1, "local %s %u IN PTR %s\n", EscapedName(name).c_str(), record->ttl,
                     EscapedName(record->owner).c_str());
  }
  return 1;
}

int error_reply(Engine& engine, uint16_t rcode, Reply& reply, std::span<const uint8_t> request) {
  reply.continuation.clear();
  echo_questions(request, reply.message);
  if (reply.message.size() < DnsHeader::kSize) return -1;
  const uint16_t flags = read_u16(reply.message.data() + 2);
  write_u16(reply.message.data() + 2,
            static_cast<uint16_t>((flags & (kFlagOpcode | kFlagAa | kFlagRd)) | kFlagQr | kFlagAa |
                                  rcode));
  QueryStatistics::count(rcode == kRcodeNoError ? engine.statistics.answers
                                                : engine.statistics.errors);
  return static_cast<int>(reply.message.size());
}

namespace {

// Serves an AXFR question (access already granted, database lock held by the
// caller through `zone`, which this function releases). The reply holds the
// header and this question alone. Over UDP a zone that does not fit carries
// only the opening SOA, with TC set so that the client asks again over TCP;
// over TCP a zone larger than one message is split into several, each of at
// most 65535 bytes, the SOA opening the first and closing the last (RFC 5936
// section 2.2). `name` is the owner of an NS record, so a valid text name.
int zone_transfer(Engine& engine, const RequestContext& context, Reply& reply, ReplyState& state,
                  const DnsHeader& request, std::string_view name, uint16_t question_class,
                  bool local, LocalZone::Guard& zone) {
  const bool tcp = context.tcp();
  std::vector<uint8_t>& base = state.base;
  base.resize(DnsHeader::kSize);
  append_name(base, name);
  append_u16(base, kTypeAxfr);
  append_u16(base, question_class);
  DnsHeader header = request;
  header.qdcount = 1;
  header.write(base.data());
  state.answers.clear();
  state.authority.clear();
  state.additional.clear();
  state.ancount = state.nscount = state.arcount = 0;

  if (tcp) state.limit = std::numeric_limits<size_t>::max();
  local_answer_soa(engine, zone, name, state, false, false);
  // The opening SOA, repeated as the closing one.
  const size_t soa_end = state.answers.size();
  const ZoneSoa soa = ZoneCopy::current_soa(zone);
  // The records are copied under the lock and encoded after it is
  // released, so a transfer of a large zone holds up no query for longer
  // than the copy takes. The NS records of the apex open the transfer; of
  // the rest, A, CNAME and MX records at or below the apex follow.
  // Over UDP a zone of more records than can fit gets the opening SOA alone
  // at once (every record takes at least 16 bytes), before any copy.
  if (!tcp && zone.live().size() * 16 > state.limit) {
    zone.unlock();
    state.truncated = true;
    return finish_reply(engine, context, reply, state, request, local, false);
  }
  // The apex's NS records open the transfer; they are picked through the
  // owner index rather than by a pass over the whole copy. Their names stay
  // readable after the unlock: the copy holds the storage they lie in.
  std::vector<ZoneRecord> apex_ns;
  for (const ZoneRecord& record : zone.live().owned_by(name))
    if (record.type == kTypeNs) apex_ns.push_back(record);
  const ZoneCopy copy = ZoneCopy::capture(zone);
  zone.unlock();
  auto transferred = [name](const ZoneRecord& record) {
    if (record.type == kTypeNs) return record.owner == name;
    return (record.type == kTypeA || record.type == kTypeCname || record.type == kTypeMx) &&
           owner_within(record.owner, name);
  };

  size_t needed = 2 * (base.size() + state.answers.size()) - name.size();
  if (!tcp) {
    for (const ZoneRecord& record : copy.records())
      if (transferred(record)) needed += record.owner.size() + record.target.size() + 16;
  }
  if (!tcp && needed > state.limit) {
    state.truncated = true;
    return finish_reply(engine, context, reply, state, request, local, false);
  }

  // The opening SOA, kept to close the transfer as well.
  const std::vector<uint8_t> soa_record(
      state.answers.begin(), state.answers.begin() + static_cast<std::ptrdiff_t>(soa_end));
  // Flags of a transfer in several messages; later messages carry no
  // question.
  uint16_t flags = static_cast<uint16_t>((request.flags & (kFlagOpcode | kFlagRd)) | kFlagQr);
  if (local) flags |= kFlagAa;
  if (request.flags & kFlagRd) flags |= kFlagRa;
  auto write_header = [&](std::vector<uint8_t>& message, uint16_t count, bool first) {
    DnsHeader out{};
    out.id = request.id;
    out.flags = flags;
    out.qdcount = first ? 1 : 0;
    out.ancount = count;
    out.write(message.data());
  };
  // Over TCP full messages leave at once when the connection takes them, so
  // the client reads while the rest is encoded.
  size_t handed_off = 0;
  bool stream_failed = false;
  TransferWriter::HandOff hand_off;
  if (tcp && reply.stream) {
    hand_off = [&](std::vector<uint8_t>& message, uint16_t count) {
      write_header(message, count, handed_off == 0);
      ++handed_off;
      if (!stream_failed && !reply.stream(message)) stream_failed = true;
      return true;
    };
  }
  std::vector<std::vector<uint8_t>> messages;
  TransferWriter writer(messages, base, name, std::move(hand_off));
  if (!soa_record.empty()) writer.put_raw(soa_record);
  // The text of every record is only made when its log line is wanted.
  const bool logged = engine.log.enabled(1);
  for (const ZoneRecord& record : apex_ns) {
    const std::string_view target = record.target;
    writer.put_name(name, kTypeNs, record.ttl, target);
    if (logged) {
      engine.log.write(1, "local %s %u IN NS %s\n", EscapedName(name).c_str(), record.ttl,
                       EscapedName(target).c_str());
    }
  }
  char address[kIpv4TextSize];
  for (const ZoneRecord& record : copy.records()) {
    if (record.type == kTypeNs || !transferred(record)) continue;
    const std::string_view owner = record.owner;
    switch (record.type) {
      case kTypeA:
        writer.put_a(owner, record.ttl, record.datum);
        break;
      case kTypeCname:
        writer.put_name(owner, kTypeCname, record.ttl, record.target);
        break;
      case kTypeMx:
        writer.put_mx(owner, record.ttl, static_cast<uint16_t>(record.datum), record.target);
        break;
      default:
        continue;
    }
    if (!logged) continue;
    const EscapedName logged_owner(owner);
    const EscapedName logged_target(record.target);
    if (record.type == kTypeA)
      engine.log.write(1, "local %s %u IN A %s\n", logged_owner.c_str(), record.ttl,
                       address_text(record.datum, address));
    else if (record.type == kTypeCname)
      engine.log.write(1, "local %s %u IN CNAME %s\n", logged_owner.c_str(), record.ttl,
                       logged_target.c_str());
    else
      engine.log.write(1, "local %s %u IN MX %u %s\n", logged_owner.c_str(), record.ttl,
                       record.datum, logged_target.c_str());
  }
  if (!soa_record.empty()) {
    writer.put_raw(soa_record);
    engine.log.write(1, "local %s %u IN SOA %s %s %u %u %u %u %u\n", soa.domain.c_str(),
                     soa.refresh, soa.primary.c_str(), soa.mailbox.c_str(), soa.serial, soa.refresh,
                     soa.retry, soa.expire, soa.minimum);
  }

  // Everything fits one message: the common case, finished like any reply.
  // Over UDP the size was checked above without compression, so it fits.
  if (stream_failed) return -1;
  if (messages.size() == 1 && handed_off == 0) {
    state.answers.assign(messages.front().begin() + static_cast<std::ptrdiff_t>(base.size()),
                         messages.front().end());
    state.ancount = writer.counts().front();
    return finish_reply(engine, context, reply, state, request, local, false);
  }

  for (size_t i = 0; i < messages.size(); ++i)
    write_header(messages[i], writer.counts()[i], handed_off + i == 0);
  QueryStatistics::count(engine.statistics.answers);
  reply.message = std::move(messages.front());
  reply.continuation.assign(std::make_move_iterator(messages.begin() + 1),
                            std::make_move_iterator(messages.end()));
  return static_cast<int>(reply.message.size());
}

int finish_reply(Engine& engine, const RequestContext& context, Reply& reply, ReplyState& state,
                 const DnsHeader& request, bool local, bool name_missing) {
  std::vector<uint8_t>& message = state.base;
  const size_t main_size = message.size() + state.answers.size() + state.authority.size();
  if (state.arcount == 0 || main_size + state.additional.size() >= state.limit) {
    state.additional.clear();
    state.arcount = 0;
  }
  message.insert(message.end(), state.answers.begin(), state.answers.end());
  message.insert(message.end(), state.authority.begin(), state.authority.end());
  message.insert(message.end(), state.additional.begin(), state.additional.end());
  if (message.size() > kMaxTcpMessage) {
    // Only a request of nearly 64 KB of questions gets here; its reply could
    // not be framed over TCP.
    std::vector<uint8_t> copy(message.begin(), message.begin() + DnsHeader::kSize);
    std::fill(copy.begin() + 4, copy.end(), 0);
    return error_reply(engine, kRcodeFormErr, reply, copy);
  }

  uint16_t flags = static_cast<uint16_t>((request.flags & (kFlagOpcode | kFlagRd)) | kFlagQr);
  // RFC 2181 section 9: a reply that lost answer or authority records says
  // so, and the client asks again over TCP rather than keep a partial set.
  if (state.truncated) flags |= kFlagTc;
  write_u16(message.data() + 6, state.ancount);
  write_u16(message.data() + 8, state.nscount);
  write_u16(message.data() + 10, state.arcount);
  if (local) {
    flags |= kFlagAa;
  } else if (state.ancount == 0 && state.nscount == 0 && state.arcount == 0) {
    if (context.server_address != 0) {
      QueryStatistics::count(engine.statistics.forwarded);
      return 0;
    }
    engine.log.write(2, "no server\n");
    write_u16(message.data() + 2, static_cast<uint16_t>(flags | kRcodeServFail));
    return static_cast<int>(message.size());
  }
  if (request.flags & kFlagRd) flags |= kFlagRa;
  // A name that exists without records of the asked type is NODATA, not a
  // name error: an NXDOMAIN would make resolvers drop the name for every
  // type (RFC 2308 section 2.2).
  if (state.ancount == 0 && name_missing) flags |= kRcodeNxDomain;
  write_u16(message.data() + 2, flags);
  QueryStatistics::count(engine.statistics.answers);
  return static_cast<int>(message.size());
}

}  // namespace

int answer_query(Engine& engine, const RequestContext& context, Reply& reply, size_t reply_limit,
                 std::span<const uint8_t> request) {
  DnsHeader header;
  if (!DnsHeader::read(request, header)) return -1;
  if (header.ancount != 0 || header.nscount != 0 || header.arcount != 0)
    return error_reply(engine, kRcodeFormErr, reply, request);

  reply.continuation.clear();
  const int readable = echo_questions(request, reply.message);
  ReplyState state(reply.message, reply_limit);
  QueryStatistics& stats = engine.statistics;
  const int questions = readable < 3 ? readable : 3;
  // The client's text is only made when a line needs it.
  char client[kIpv4TextSize] = {};
  if (engine.log.enabled(1)) format_ipv4(context.client_ipv4(), client);

  bool local = false;
  // Set when a question's name does not exist in the local database.
  bool name_missing = false;
  WireReader reader(request, DnsHeader::kSize);
  for (int i = 0; i < questions; ++i) {
    // The questions counted readable were read once already by echo_questions.
    const auto question = reader.read_question();
    if (!question) break;
    const uint16_t type = question->type;
    const uint16_t question_class = question->question_class;
    const char* name_text = question->name.text.c_str();
    // Taken as a C string: a zero byte inside a label ends the name.
    const std::string_view name(name_text);
    if (engine.log.enabled(1)) {
      engine.log.write(1, context.tcp() ? "query (%s tcp) %s %s %s\n" : "query (%s udp) %s %s %s\n",
                       client, EscapedName(question->name.text).c_str(),
                       class_mnemonic(question_class), type_mnemonic(type));
    }
    if (question_class != kClassIn) continue;

    LocalZone::Guard zone = engine.zone.hold();
    const bool inside = zone.in_local_domain(name) != 0;
    if (inside) local = true;
    QueryStatistics::count(stats.queries);
    engine.log.write(2, "local query %u\n", local ? 1u : 0u);

    const uint16_t answers_before = state.ancount;
    Sink answers = state.answer_sink();
    Sink additional = state.additional_sink();
    const AddressTarget extra{&additional, &state.arcount};
    // The cache writers get a fresh sink: an authority record written by an
    // earlier step moves the position their limit test sees.
    auto from_cache = [&](auto&& writer) {
      Sink sink = state.answer_sink();
      const uint16_t n = writer(sink);
      state.ancount = static_cast<uint16_t>(state.ancount + n);
      return n;
    };
    Cache& cache = engine.cache;
    switch (type) {
      case kTypeA:
        QueryStatistics::count(stats.a_queries);
        if (local_answer_a(engine, zone, name, answers, state.ancount)) break;
        if (local_answer_cname(engine, zone, name, answers, state.ancount, true)) break;
        if (from_cache([&](Sink& s) { return cache.cache_answer_a(name, s); })) break;
        from_cache([&](Sink& s) { return cache.cache_answer_cname(name, s, true); });
        break;
      case kTypeNs:
        QueryStatistics::count(stats.ns_queries);
        if (local_answer_ns(engine, zone, name, answers, state.ancount, extra)) break;
        if (local_answer_soa(engine, zone, name, state, true, true)) break;
        from_cache([&](Sink& s) { return cache.cache_answer_ns(name, s); });
        break;
      case kTypeCname:
        QueryStatistics::count(stats.cname_queries);
        if (local_answer_cname(engine, zone, name, answers, state.ancount, true)) break;
        from_cache([&](Sink& s) { return cache.cache_answer_cname(name, s, false); });
        break;
      case kTypeSoa:
        local_answer_soa(engine, zone, name, state, true, true);
        break;
      case kTypePtr:
        QueryStatistics::count(stats.ptr_queries);
        if (local_answer_ptr(engine, zone, name, answers, state.ancount)) break;
        from_cache([&](Sink& s) { return cache.cache_answer_ptr(name, s); });
        break;
      case kTypeMx:
        QueryStatistics::count(stats.mx_queries);
        if (local_answer_mx(engine, zone, name, answers, state.ancount, extra)) break;
        from_cache([&](Sink& s) { return cache.cache_answer_mx(name, s); });
        break;
      case kTypeAxfr: {
        QueryStatistics::count(stats.zone_transfers);
        if (!engine.access.access_allowed(context.client_ipv4(), 'Z')) {
          zone.unlock();
          engine.log.write(1, "query refused from %s\n", client);
          return error_reply(engine, kRcodeRefused, reply, request);
        }
        const bool apex = zone.find_zone_record(zone.live(), name, kTypeNs).has_value();
        if (i == questions - 1 && apex) {
          return zone_transfer(engine, context, reply, state, header, name, question_class, local,
                               zone);
        }
        // Not a zone apex: the negative answer of any other question, a
        // name error for a name that does not exist (RFC 2308 section 2.1).
        if (!(inside && zone.name_exists(name))) name_missing = true;
        zone.unlock();
        return finish_reply(engine, context, reply, state, header, local, name_missing);
      }
      case kTypeAny: {
        int wrote = local_answer_ns(engine, zone, name, answers, state.ancount, extra);
        wrote += local_answer_a(engine, zone, name, answers, state.ancount);
        wrote += local_answer_cname(engine, zone, name, answers, state.ancount, true);
        wrote += local_answer_mx(engine, zone, name, answers, state.ancount, extra);
        if (wrote != 0) break;
        from_cache([&](Sink& s) { return cache.cache_answer_ns(name, s); });
        from_cache([&](Sink& s) { return cache.cache_answer_a(name, s); });
        from_cache([&](Sink& s) { return cache.cache_answer_cname(name, s, true); });
        from_cache([&](Sink& s) { return cache.cache_answer_mx(name, s); });
        break;
      }
      default:
        break;
    }
    if (state.ancount == answers_before && !(inside && zone.name_exists(name))) name_missing = true;
  }
  return finish_reply(engine, context, reply, state, header, local, name_missing);
}

int handle_message(Engine& engine, const RequestContext& context, Reply& reply, size_t reply_limit,
                   std::span<const uint8_t> request) {
  DnsHeader header;
  // Too short to carry a header: there is nothing to answer to.
  if (!DnsHeader::read(request, header)) return -1;
  engine.log.write(3, "packet id %x flags %x counter %u %u %u %u\n", unsigned{header.id},
                   unsigned{header.flags}, unsigned{header.qdcount}, unsigned{header.ancount},
                   unsigned{header.nscount}, unsigned{header.arcount});
  if (header.flags & kFlagQr) return -1;
  char client[kIpv4TextSize];
  const uint32_t address = context.client_ipv4();
  if (header.opcode() == kOpcodeQuery) {
    if (engine.access.access_allowed(address, 'Q'))
      return answer_query(engine, context, reply, reply_limit, request);
    engine.log.write(1, "%s query refused\n", format_ipv4(address, client));
    return error_reply(engine, kRcodeRefused, reply, request);
  }
  if (header.opcode() == kOpcodeUpdate && engine.settings.primary.load() == 0) {
    if (engine.access.access_allowed(address, 'U'))
      return update_apply(engine, context, reply, request);
    engine.log.write(1, "%s update refused\n", format_ipv4(address, client));
    return error_reply(engine, kRcodeRefused, reply, request);
  }
  return error_reply(engine, kRcodeNotImp, reply, request);
}

}  // namespace norvane
