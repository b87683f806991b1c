// Query processing: every received DNS message is answered from the local
// database or the cache, refused, answered with an error, handed to dynamic
// update, or handed back to the caller for forwarding. Thread-safe: runs on the
// listener thread and on every TCP connection thread at once; it takes the
// database lock per question.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "engine/engine.h"
#include "engine/record_writer.h"
#include "engine/server_settings.h"

namespace norvane {

inline constexpr size_t kUdpReplyLimit = 1500;
inline constexpr size_t kTcpReplyLimit = 1496;
inline constexpr size_t kAdditionalLimit = 1500;
// Largest DNS message a TCP length prefix can announce.
inline constexpr size_t kMaxTcpMessage = 65535;

// The reply to one request.
struct Reply {
  // The message to send first.
  std::vector<uint8_t> message;
  // TCP zone transfers only: further complete messages, each to be sent with
  // its own length prefix after `message`.
  std::vector<std::vector<uint8_t>> continuation;

  void clear() {
    message.clear();
    continuation.clear();
  }
};

// Entry point for one received message (without a TCP length prefix).
// `reply_limit` is kUdpReplyLimit or kTcpReplyLimit. Returns the length of
// reply.message to send (> 0), 0 when the request is to be forwarded unchanged,
// or -1 when nothing is to be sent (a response, or a message too short to
// carry a header).
int handle_message(Engine& engine, const RequestContext& context, Reply& reply,
                   size_t reply_limit, std::span<const uint8_t> request);

// Serves one standard query (operation code 0); same contract.
int answer_query(Engine& engine, const RequestContext& context, Reply& reply,
                 size_t reply_limit, std::span<const uint8_t> request);

// Builds the error reply for `rcode` into reply.message: the request echoed
// with QR and AA set, opcode, AA and RD kept, TC, RA and Z cleared. Counts it
// under answers for code 0, else under errors. Returns its length.
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
// the number of records it added to `count`. Database lock held.
int local_answer_a(Engine& engine, std::string_view name, Sink& sink, uint16_t& count);
int local_answer_ns(Engine& engine, std::string_view name, Sink& sink, uint16_t& count,
                    AddressTarget addresses);
int local_answer_cname(Engine& engine, std::string_view name, Sink& sink, uint16_t& count,
                       bool target_addresses);
int local_answer_mx(Engine& engine, std::string_view name, Sink& sink, uint16_t& count,
                    AddressTarget addresses);
int local_answer_ptr(Engine& engine, std::string_view name, Sink& sink, uint16_t& count);

}  // namespace norvane
