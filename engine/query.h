// Query processing: every received DNS message is answered from the local
// database or the cache, refused, answered with an error, handed to dynamic
// update, or handed back to the caller for forwarding. Thread-safe: runs on the
// listener thread and on every TCP connection thread at once; it takes the
// database lock per question.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "engine/engine.h"
#include "engine/record_writer.h"
#include "engine/server_settings.h"

namespace norvane {

// Largest DNS message a TCP length prefix can announce.
inline constexpr size_t kMaxTcpMessage = 65535;
// Largest record a reply can hold: an SOA whose three names have 255
// characters each. SOA records are written without a limit test, so the
// limits leave room for one.
inline constexpr size_t kLargestRecord = 801;
inline constexpr size_t kUdpReplyLimit = 1500;
// Over TCP a reply may fill a whole message (RFC 1035 section 4.2.2), so a
// large set of records arrives whole instead of cut at the UDP size.
inline constexpr size_t kTcpReplyLimit = kMaxTcpMessage - kLargestRecord;
inline constexpr size_t kAdditionalLimit = 1500;
// Most CNAME records followed from one name inside the local database.
inline constexpr size_t kMaxCnameLinks = 8;

// The reply to one request.
struct Reply {
  // The message to send first.
  std::vector<uint8_t> message;
  // TCP zone transfers only: further complete messages, each to be sent with
  // its own length prefix after `message`.
  std::vector<std::vector<uint8_t>> continuation;
  // TCP only, set by the connection: when present, a zone transfer hands it
  // each complete message as soon as the next one begins, in order, rather
  // than keeping them in `continuation`; `message` is then the last one.
  // Returns false when the connection failed. Kept across clear().
  std::function<bool(std::span<const uint8_t>)> stream;
  // Set by a dynamic update whose changes were queued to the zone writer:
  // the reply may leave only once a save that holds them has finished
  // (LocalZone::request_save), with SERVFAIL when it failed. The caller
  // clears it before each request.
  bool awaits_save = false;

  void clear() {
    message.clear();
    continuation.clear();
    awaits_save = false;
  }
};

// Entry point for one received message (without a TCP length prefix).
// `reply_limit` is kUdpReplyLimit or kTcpReplyLimit. Returns the length of
// reply.message to send (> 0), 0 when the request is to be forwarded unchanged,
// or -1 when nothing is to be sent (a response, or a message too short to
// carry a header).
int handle_message(Engine& engine, const RequestContext& context, Reply& reply, size_t reply_limit,
                   std::span<const uint8_t> request);

// Serves one standard query (operation code 0); same contract.
int answer_query(Engine& engine, const RequestContext& context, Reply& reply, size_t reply_limit,
                 std::span<const uint8_t> request);

// Builds the error reply for `rcode` into reply.message: the request's header
// and the questions that can be read (no other section, no trailing bytes, so
// never an OPT record: RFC 6891 section 7), QDCOUNT the questions kept, with
// QR and AA set, opcode, AA and RD kept, TC, RA and Z cleared. Counts it
// under answers for code 0, else under errors. Returns its length, or -1 for
// a request shorter than a header.
int error_reply(Engine& engine, uint16_t rcode, Reply& reply, std::span<const uint8_t> request);

// Where the address records that follow NS and MX records go: nowhere (the
// default), into the additional section, or into the same section as the
// records they follow (pass that sink and its counter).
struct AddressTarget {
  Sink* sink = nullptr;
  uint16_t* count = nullptr;
};

// The local answer writers. `name` is the question name (lower case, no
// trailing dot). Records go to `sink` and are added to `count`; each returns
// the number of records it added to `count`. Database lock held by `zone`.
int local_answer_a(Engine& engine, const LocalZone::Guard& zone, std::string_view name, Sink& sink,
                   uint16_t& count);
int local_answer_ns(Engine& engine, const LocalZone::Guard& zone, std::string_view name, Sink& sink,
                    uint16_t& count, AddressTarget addresses);
// With `target_addresses`, a chain of CNAME records inside the database is
// followed to its end, at most kMaxCnameLinks records and stopping before a
// target already written, and the end's A records follow in the same section.
int local_answer_cname(Engine& engine, const LocalZone::Guard& zone, std::string_view name,
                       Sink& sink, uint16_t& count, bool target_addresses);
int local_answer_mx(Engine& engine, const LocalZone::Guard& zone, std::string_view name, Sink& sink,
                    uint16_t& count, AddressTarget addresses);
int local_answer_ptr(Engine& engine, const LocalZone::Guard& zone, std::string_view name,
                     Sink& sink, uint16_t& count);

}  // namespace norvane
