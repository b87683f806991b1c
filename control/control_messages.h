// The control channel's messages: the 8-byte header, command codes, reply
// statuses, the request payloads and the byte images that replies carry.
// Everything here is plain value code without state; safe from any thread.
//
// Layering: control/ depends on engine/ only, so the 336-byte settings image
// is not defined here. Its layout, encoder and decoder live in
// runtime/settings.h (kSettingsImageSize, encode_settings_image,
// decode_settings_image); the server and the client both link runtime and use
// those. The cache-entry image and the access-range image are the engine's
// own (engine/cache.h, engine/access_control.h); this file adds the readers a
// client needs where the engine has none.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/cache.h"
#include "engine/record_text.h"
#include "engine/zone_file.h"

namespace norvane {

// ---------------------------------------------------------------- framing

// A request is at most this long; the reply is built in a buffer of the same
// size. A longer request ends the connection.
inline constexpr size_t kControlMessageSize = 2048;
// code/status (4) and value (4), both little-endian.
inline constexpr size_t kControlHeaderSize = 8;
inline constexpr size_t kControlPayloadSize = kControlMessageSize - kControlHeaderSize;

// Where the server listens when NORVANE_CONTROL is not set: "@name" is an
// abstract UNIX socket name, anything else a filesystem path.
inline constexpr const char* kDefaultControlAddress = "@norvane_dns_server";
inline constexpr const char* kControlAddressVariable = "NORVANE_CONTROL";

// Request codes.
enum ControlCode : uint32_t {
  kControlGetSettings = 1,
  kControlSetSettings = 2,
  kControlGetZone = 3,
  kControlClearCache = 5,
  kControlGetStatistics = 6,
  kControlReloadZoneFile = 7,
  kControlSaveZoneFile = 8,
  kControlNextDatabaseRecord = 9,
  kControlNextCacheEntry = 10,
  kControlAddRecord = 11,
  kControlRemoveRecord = 12,
  kControlRemoveCacheEntry = 13,
  kControlReloadAccessList = 14,
  kControlRefreshFromPrimary = 15,
  kControlNextAccessRange = 16,
  kControlWriteSetting = 17,
  kControlRemoveRecords = 18,
  kControlListFilesFirst = 21,
  kControlListFilesNext = 22,
  kControlListFilesEnd = 23,
  kControlOpenFile = 24,
  kControlCloseFile = 25,
  kControlReadLine = 26,
  kControlSetGateway = 31,
  kControlRemoveDefaultRoute = 32,
  kControlAddRoutes = 33,
  kControlRemoveRoutes = 34,
};

// Reply statuses. Any other value is the code of a command that was
// recognised but failed.
enum ControlStatus : uint32_t {
  kControlDone = 0,
  kControlUnknownCommand = 1,
  kControlRefused = 2,
};

// Record types travel as the DNS type numbers (kTypeA and the others of
// engine/dns_message.h).

// Little-endian number access. Reads past the end of `bytes` see zeros, so a
// short request's missing fields read as 0 rather than as leftover bytes;
// writes past the end are dropped.
uint32_t read_le32(std::span<const uint8_t> bytes, size_t offset);
uint64_t read_le64(std::span<const uint8_t> bytes, size_t offset);
void write_le16(std::span<uint8_t> bytes, size_t offset, uint16_t number);
void write_le32(std::span<uint8_t> bytes, size_t offset, uint32_t number);
void write_le64(std::span<uint8_t> bytes, size_t offset, uint64_t number);

// A zero-terminated text starting at `offset` of a field of `field_size`
// bytes (clipped to `bytes`): the characters before the first zero, or
// nothing when the field holds no zero.
std::optional<std::string> read_field_text(std::span<const uint8_t> bytes, size_t offset,
                                           size_t field_size);

// One control message: code (request) or status (reply), value, payload.
struct ControlMessage {
  uint32_t code = 0;
  uint32_t value = 0;
  std::vector<uint8_t> payload;
};

// The bytes of a message: header then payload. Nothing when the payload is
// longer than kControlPayloadSize.
std::optional<std::vector<uint8_t>> encode_control_message(const ControlMessage& message);
// Reads a received message. Nothing when fewer than 4 bytes arrived (not even
// a status); a 4-byte reply reads with value 0 and no payload.
std::optional<ControlMessage> decode_control_message(std::span<const uint8_t> bytes);

// ---------------------------------------------------------------- request payloads

// Code 11 (add record), sent with value = type: TTL (4), datum (4), owner with
// its zero, target with its zero (a lone zero when there is none). Nothing
// when a name holds a zero byte or the payload would exceed
// kControlPayloadSize.
struct AddRecordRequest {
  uint32_t ttl = 0;
  // A: the IPv4 address in network order; MX: the preference; else 0.
  uint32_t datum = 0;
  std::string owner;
  std::string target;
};
std::optional<std::vector<uint8_t>> encode_add_record_request(const AddRecordRequest& request);
// Nothing when the owner or the target lacks its zero within the payload.
std::optional<AddRecordRequest> decode_add_record_request(std::span<const uint8_t> payload);

// Code 17 (write setting): three strings, each a length byte n and n bytes
// that include the terminating zero; n = 0 marks an absent string. Absent
// data deletes the value.
struct WriteSettingRequest {
  std::optional<std::string> key;
  std::optional<std::string> value_name;
  std::optional<std::string> data;
};
// Nothing when a present string holds a zero byte or is longer than 254
// characters (its length byte counts the zero too).
std::optional<std::vector<uint8_t>> encode_write_setting_request(
    const WriteSettingRequest& request);
// Nothing when a length runs past the payload or a string's last byte is not
// its zero or it holds another zero before it.
std::optional<WriteSettingRequest> decode_write_setting_request(std::span<const uint8_t> payload);

// Code 24 (open file): the file name with its zero, then the mode text with
// its zero.
struct OpenFileRequest {
  std::string name;
  std::string mode;
};
std::optional<std::vector<uint8_t>> encode_open_file_request(const OpenFileRequest& request);
std::optional<OpenFileRequest> decode_open_file_request(std::span<const uint8_t> payload);

// ---------------------------------------------------------------- images

// statistics_image: the eleven counters, 4 bytes each, in the order A, NS,
// CNAME and MX queries, zone transfers, PTR queries, queries, answers,
// forwarded queries, updates, error replies (QueryStatistics::snapshot order).
inline constexpr size_t kStatisticsCounters = 11;
inline constexpr size_t kStatisticsImageSize = 44;
static_assert(kStatisticsCounters * 4 == kStatisticsImageSize);
using StatisticsImage = std::array<uint32_t, kStatisticsCounters>;
std::array<uint8_t, kStatisticsImageSize> encode_statistics_image(const StatisticsImage& image);
// Nothing when fewer than 44 bytes are given.
std::optional<StatisticsImage> decode_statistics_image(std::span<const uint8_t> bytes);

// zone_image: the local zone's SOA state. Layout (offsets):
//   0 first record handle (8), 8 loaded_at (8), 16 refreshed_at (8),
//   24 retry_after (8) (seconds since 1970), 32 serial, 36 refresh, 40 retry,
//   44 expire, 48 minimum (4 each), 52 domain (256), 308 primary (256),
//   564 mailbox (256) (zero-terminated), 820 four bytes that carry nothing.
inline constexpr size_t kZoneImageSize = 824;
inline constexpr size_t kZoneImageTextSize = 256;
inline constexpr size_t kZoneImageDomainOffset = 52;
inline constexpr size_t kZoneImagePrimaryOffset = kZoneImageDomainOffset + kZoneImageTextSize;
inline constexpr size_t kZoneImageMailboxOffset = kZoneImagePrimaryOffset + kZoneImageTextSize;
static_assert(kZoneImageMailboxOffset + kZoneImageTextSize + 4 == kZoneImageSize);

struct ZoneImage {
  uint64_t first_record = 0;
  int64_t loaded_at = 0;
  int64_t refreshed_at = 0;
  int64_t retry_after = 0;
  // The SOA values, as a save with new values takes them. Texts of 256
  // characters or more are sent empty rather than cut into a different name.
  ZoneSoa soa;

  bool operator==(const ZoneImage& other) const;
};
std::array<uint8_t, kZoneImageSize> encode_zone_image(const ZoneImage& image);
// Nothing when fewer than 824 bytes are given or a text has no zero within
// its 256 bytes.
std::optional<ZoneImage> decode_zone_image(std::span<const uint8_t> bytes);

// zone_record_image and cache_entry_image share one shape: handle (8), next
// handle, 0 for the last (8), time (4: the record's TTL, or the entry's
// expiry in absolute seconds), datum (4), type (4), target length T (1),
// owner length N (1), owner and its zero, target and its zero; 32 + N + T
// bytes. The cache's encoder and reader (engine/cache.h) do the byte work;
// these add the checks for images that come from outside the cache.
inline constexpr size_t kRecordImageFixedSize = 30;
static_assert(kRecordImageFixedSize == kCacheEntryImageFixedSize);

// Nothing when a name is longer than 255 characters.
std::optional<std::vector<uint8_t>> encode_record_image(const RecordImage& image);
// Nothing when the bytes are shorter than the lengths they announce or a
// name lacks its zero exactly there, or holds one before it.
std::optional<RecordImage> decode_record_image(std::span<const uint8_t> bytes);

// access_range_image, 24 bytes: next handle, 0 for the last (8); rights text
// zero-terminated within 8 bytes (8); first and last address (4 each) as
// numbers with the first octet most significant, last 0 for a single
// address. The server's encoder is AccessControl::access_range_image.
inline constexpr size_t kAccessRangeImageBytes = 24;
struct AccessRangeImage {
  uint64_t next = 0;
  std::string rights;
  uint32_t first = 0;
  uint32_t last = 0;

  bool operator==(const AccessRangeImage&) const = default;
};
// Nothing when fewer than 24 bytes are given or the rights have no zero
// within their 8 bytes.
std::optional<AccessRangeImage> decode_access_range_image(std::span<const uint8_t> bytes);

// The 320-byte file record of codes 21 and 22, laid out as WIN32_FIND_DATAA:
//   0 attributes (4), 4 creation time, 12 last access time, 20 last write
//   time (8 each, 100-ns intervals since 1601-01-01 UTC), 28 size high (4),
//   32 size low (4), 36 and 40 two reserved words (4 each), 44 file name
//   (260, zero-terminated), 304 short name (14, zero-terminated), 318 two
//   bytes of padding.
inline constexpr size_t kFindRecordSize = 320;
inline constexpr size_t kFindNameOffset = 44;
inline constexpr size_t kFindNameSize = 260;
inline constexpr size_t kFindShortNameOffset = kFindNameOffset + kFindNameSize;
inline constexpr size_t kFindShortNameSize = 14;
static_assert(kFindShortNameOffset + kFindShortNameSize + 2 == kFindRecordSize);

// Attribute bits of the file record.
inline constexpr uint32_t kFileAttributeReadOnly = 0x01;
inline constexpr uint32_t kFileAttributeDirectory = 0x10;
inline constexpr uint32_t kFileAttributeNormal = 0x80;

// Seconds between 1601-01-01 and 1970-01-01 (UTC).
inline constexpr uint64_t kFileTimeEpochOffset = 11644473600ull;
// A time since 1970 in the record's 100-ns-since-1601 count.
uint64_t file_time_from_unix(int64_t seconds, int64_t nanoseconds);

struct FindRecord {
  uint32_t attributes = 0;
  uint64_t creation_time = 0;
  uint64_t access_time = 0;
  uint64_t write_time = 0;
  uint64_t size = 0;
  // At most 259 characters; the short name at most 13.
  std::string name;
  std::string short_name;

  bool operator==(const FindRecord&) const = default;
};
// Nothing when the name or short name does not fit its field with its zero.
std::optional<std::array<uint8_t, kFindRecordSize>> encode_find_record(const FindRecord& record);
// Nothing when fewer than 320 bytes are given or a name has no zero in its field.
std::optional<FindRecord> decode_find_record(std::span<const uint8_t> bytes);

// Reply sizes of the commands that answer more than a status.
inline constexpr size_t kHandleSize = 8;
// Codes 21 and 22, found: header, search handle, file record.
inline constexpr size_t kListFilesReplySize = kControlHeaderSize + kHandleSize + kFindRecordSize;
static_assert(kListFilesReplySize == 336);
// Code 24: header and the file handle.
inline constexpr size_t kOpenFileReplySize = kControlHeaderSize + kHandleSize;
// Code 26: at most this many characters of a line, the line end included.
inline constexpr size_t kMaxReadLine = kControlPayloadSize - 1;
static_assert(kMaxReadLine == 2039);

}  // namespace norvane
