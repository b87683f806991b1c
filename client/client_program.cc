// pallix: examines the words, opens the control channel of the server they
// name and runs one command.
#include "client/client_program.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "client/client_connection.h"
#include "client/client_words.h"
#include "control/control_channel.h"
#include "control/control_messages.h"
#include "engine/record_text.h"
#include "engine/text_helpers.h"
#include "runtime/settings.h"
#include "runtime/settings_store.h"

namespace norvane {

namespace {

constexpr std::string_view kServiceNotActive = "Service not active\n";
constexpr std::string_view kOperationFailed = "operation failed\n";
constexpr const char* kServerValue = "Server";

void print(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

void print_usage(bool administrator) { print(administrator ? kFullUsage : kShortUsage); }

// The stored default server; empty when none is stored or it is longer than
// a host pallix keeps.
std::string stored_server_host() {
  return SettingsStore::machine().store_read_text(kMainKey, kServerValue, "",
                                                  kMaxServerHostLength + 1);
}

// Stores the host word as the default server, or deletes the stored default
// when no host word was given. This touches only this machine's store, so it
// needs no server. A failure (no right to change the machine store, a host
// the store cannot hold or pallix could not read back) is reported: a default
// that silently did not change would direct later runs to the wrong server.
int set_default(const ClientInvocation& invocation) {
  SettingsStore store = SettingsStore::machine();
  int done;
  if (invocation.host_given) {
    done = invocation.host.size() <= kMaxServerHostLength
               ? store.store_write_text(kMainKey, kServerValue, invocation.host.c_str())
               : 0;
  } else {
    done = store.store_delete(kMainKey, kServerValue);
  }
  if (done == 0) {
    print(kOperationFailed);
    return 0;
  }
  return 1;
}

// Sends an add (code 11) or remove-by-name (code 18) request and prints its
// outcome. Returns the transaction's result: the reply length when done, 0
// when the server refused or failed it, -1 when the exchange failed.
int send_record_request(ClientConnection& connection, uint32_t code, const RecordWords& words) {
  std::vector<uint8_t> payload;
  if (code == kControlAddRecord) {
    AddRecordRequest request;
    request.ttl = words.ttl;
    request.datum = words.datum;
    request.owner = words.name;
    request.target = words.target;
    std::optional<std::vector<uint8_t>> encoded = encode_add_record_request(request);
    if (!encoded) {
      print(kOperationFailed);
      return 0;
    }
    payload = std::move(*encoded);
  } else {
    payload.assign(words.name.begin(), words.name.end());
    payload.push_back(0);
  }
  ClientConnection::Buffer buffer{};
  if (kControlHeaderSize + payload.size() > buffer.size()) {
    print(kOperationFailed);
    return 0;
  }
  write_le32(buffer, 0, code);
  write_le32(buffer, 4, words.type);
  std::copy(payload.begin(), payload.end(), buffer.begin() + kControlHeaderSize);
  const int result =
      connection.transact_control_message(buffer, kControlHeaderSize + payload.size());
  if (result > 0) {
    print(words.name);
    print(code == kControlAddRecord ? " added\n" : " removed\n");
  } else {
    print(kOperationFailed);
  }
  return result;
}

// Sends the record that `words` describe with `code`, or prints the usage
// when the words do not make one.
int run_record_command(ClientConnection& connection, uint32_t code, const RecordWords& words) {
  if (words.result == RecordWordsResult::kSilent) return 0;
  if (words.result == RecordWordsResult::kUsage) {
    print_usage(true);
    return 0;
  }
  return send_record_request(connection, code, words);
}

int run_add(ClientConnection& connection, const ClientInvocation& invocation) {
  return run_record_command(connection, kControlAddRecord, parse_add_words(invocation.arguments));
}

int run_remove(ClientConnection& connection, const ClientInvocation& invocation) {
  return run_record_command(connection, kControlRemoveRecords,
                            parse_remove_words(invocation.arguments));
}

// Walks the database (code 9) or the cache (code 10) from its first record.
// A handle that comes round again ends the walk: the cache moves entries it
// uses to the front, so a walk during traffic could otherwise meet the same
// entries again and again.
int run_print(ClientConnection& connection, const ClientInvocation& invocation) {
  const bool cache = lists_cache(invocation.arguments);
  const ListingSource source = cache ? ListingSource::kCache : ListingSource::kDatabase;
  const uint32_t code = cache ? kControlNextCacheEntry : kControlNextDatabaseRecord;
  const auto now = static_cast<uint32_t>(std::time(nullptr));
  std::unordered_set<uint64_t> seen;
  uint64_t handle = 0;
  std::vector<uint8_t> image;
  for (;;) {
    uint8_t handle_bytes[kHandleSize] = {};
    write_le64(handle_bytes, 0, handle);
    const std::span<const uint8_t> payload =
        handle == 0 ? std::span<const uint8_t>() : std::span<const uint8_t>(handle_bytes);
    const int fetched = connection.fetch_image(code, payload, 32, image);
    if (fetched < 0) return 0;
    if (fetched == 0) return 1;
    const std::optional<RecordImage> record = decode_record_image(image);
    if (!record) return 1;
    if (const std::optional<std::string> line = listing_line(*record, source, now)) print(*line);
    seen.insert(record->handle);
    if (record->next == 0 || seen.contains(record->next)) return 0;
    handle = record->next;
  }
}

// Codes 31 to 34: nothing is printed, whatever the server answers.
int run_route_command(ClientConnection& connection, const ClientInvocation& invocation) {
  ClientConnection::Buffer buffer{};
  size_t length = kControlHeaderSize;
  uint32_t code = kControlSetGateway;
  switch (invocation.command) {
    case ClientCommand::kGateway:
      if (!invocation.arguments.empty()) {
        // A word that is no dotted quad sends 0, which removes the stored
        // gateway on the server.
        const std::string& word = invocation.arguments[0];
        const uint32_t address =
            word.find('\0') == std::string::npos ? parse_ipv4(word.c_str()) : 0;
        write_le32(buffer, 4, 4);
        // The address travels in network order, byte for byte.
        std::memcpy(buffer.data() + kControlHeaderSize, &address, sizeof address);
        length += sizeof address;
      }
      break;
    case ClientCommand::kRemoveGateway:
      code = kControlRemoveDefaultRoute;
      break;
    case ClientCommand::kRoutes:
      code = kControlAddRoutes;
      break;
    default:
      code = kControlRemoveRoutes;
      break;
  }
  write_le32(buffer, 0, code);
  connection.transact_control_message(buffer, length);
  return 1;
}

}  // namespace

int pallix_main(int argc, char** argv) {
  if (argc < 2) {
    print(kFullUsage);
    return 0;
  }
  const std::vector<std::string> words(argv + 1, argv + argc);
  const ClientInvocation invocation = examine_words(words, stored_server_host());
  if (invocation.command == ClientCommand::kSetDefault) return set_default(invocation);

  // The host word directs the whole invocation, so the connection is opened
  // only now. Remote administration is not offered: a host other than this
  // machine cannot be reached.
  if (!names_this_machine(invocation.host)) {
    print(kServiceNotActive);
    return 0;
  }
  ClientConnection connection(control_address());
  std::vector<uint8_t> settings;
  const int fetched = connection.fetch_image(kControlGetSettings, {}, kSettingsImageSize, settings);
  if (fetched < 0) {
    print(kServiceNotActive);
    return 0;
  }
  const bool administrator = fetched == 1;

  int exit_code = 0;
  switch (invocation.command) {
    case ClientCommand::kUsage:
      print_usage(administrator);
      break;
    case ClientCommand::kAdd:
    case ClientCommand::kRemove:
      if (!administrator) {
        print_usage(false);
        break;
      }
      exit_code = invocation.command == ClientCommand::kAdd ? run_add(connection, invocation)
                                                            : run_remove(connection, invocation);
      break;
    case ClientCommand::kPrint:
      exit_code = run_print(connection, invocation);
      break;
    case ClientCommand::kSetDefault:
      break;
    case ClientCommand::kGateway:
    case ClientCommand::kRemoveGateway:
    case ClientCommand::kRoutes:
    case ClientCommand::kRemoveRoutes:
      exit_code = run_route_command(connection, invocation);
      break;
  }
  std::fflush(stdout);
  return exit_code;
}

}  // namespace norvane
