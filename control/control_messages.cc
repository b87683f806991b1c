// Encoders and decoders of the control channel's messages and images. Every
// field is written and read one at a time in little-endian order; no received
// bytes are ever cast to a struct.
#include "control/control_messages.h"

#include <algorithm>
#include <cstring>
#include <tuple>

namespace norvane {

namespace {

bool holds_zero(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// Copies `text` into a field of `size` bytes starting at `offset`, followed by
// zeros; the caller has checked that the text fits with its zero.
void put_text(std::span<uint8_t> bytes, size_t offset, std::string_view text, size_t size) {
  std::fill(bytes.begin() + offset, bytes.begin() + offset + size, uint8_t{0});
  if (!text.empty()) std::memcpy(bytes.data() + offset, text.data(), text.size());
}

// Appends `text` and its zero.
void append_text(std::vector<uint8_t>& out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
  out.push_back(0);
}

// A zero-terminated text beginning at `offset`, which must end before the
// end of `bytes`. Moves `offset` past the zero.
std::optional<std::string> take_text(std::span<const uint8_t> bytes, size_t& offset) {
  if (offset >= bytes.size()) return std::nullopt;
  auto* begin = bytes.data() + offset;
  auto* zero = static_cast<const uint8_t*>(std::memchr(begin, 0, bytes.size() - offset));
  if (zero == nullptr) return std::nullopt;
  std::string text(reinterpret_cast<const char*>(begin), static_cast<size_t>(zero - begin));
  offset += text.size() + 1;
  return text;
}

// Bytes past the end (or an offset that wraps) read as zero.
template <typename Number>
Number read_le(std::span<const uint8_t> bytes, size_t offset) {
  Number number = 0;
  for (size_t i = 0; i < sizeof(Number); ++i) {
    if (offset + i < bytes.size() && offset + i >= offset) {
      number |= static_cast<Number>(bytes[offset + i]) << (8 * i);
    }
  }
  return number;
}

// Bytes past the end are left out.
template <typename Number>
void write_le(std::span<uint8_t> bytes, size_t offset, Number number) {
  for (size_t i = 0; i < sizeof(Number); ++i) {
    if (offset + i < bytes.size()) bytes[offset + i] = static_cast<uint8_t>(number >> (8 * i));
  }
}

}  // namespace

uint32_t read_le32(std::span<const uint8_t> bytes, size_t offset) {
  return read_le<uint32_t>(bytes, offset);
}

uint64_t read_le64(std::span<const uint8_t> bytes, size_t offset) {
  return read_le<uint64_t>(bytes, offset);
}

void write_le16(std::span<uint8_t> bytes, size_t offset, uint16_t number) {
  write_le(bytes, offset, number);
}

void write_le32(std::span<uint8_t> bytes, size_t offset, uint32_t number) {
  write_le(bytes, offset, number);
}

void write_le64(std::span<uint8_t> bytes, size_t offset, uint64_t number) {
  write_le(bytes, offset, number);
}

std::optional<std::string> read_field_text(std::span<const uint8_t> bytes, size_t offset,
                                           size_t field_size) {
  if (offset >= bytes.size()) return std::nullopt;
  size_t size = std::min(field_size, bytes.size() - offset);
  auto field = bytes.subspan(offset, size);
  size_t start = 0;
  return take_text(field, start);
}

std::optional<std::vector<uint8_t>> encode_control_message(const ControlMessage& message) {
  if (message.payload.size() > kControlPayloadSize) return std::nullopt;
  std::vector<uint8_t> bytes(kControlHeaderSize + message.payload.size());
  write_le32(bytes, 0, message.code);
  write_le32(bytes, 4, message.value);
  std::copy(message.payload.begin(), message.payload.end(), bytes.begin() + kControlHeaderSize);
  return bytes;
}

std::optional<ControlMessage> decode_control_message(std::span<const uint8_t> bytes) {
  if (bytes.size() < 4) return std::nullopt;
  ControlMessage message;
  message.code = read_le32(bytes, 0);
  message.value = read_le32(bytes, 4);
  if (bytes.size() > kControlHeaderSize) {
    message.payload.assign(bytes.begin() + kControlHeaderSize, bytes.end());
  }
  return message;
}

std::optional<std::vector<uint8_t>> encode_add_record_request(const AddRecordRequest& request) {
  if (holds_zero(request.owner) || holds_zero(request.target)) return std::nullopt;
  if (8 + request.owner.size() + 1 + request.target.size() + 1 > kControlPayloadSize) {
    return std::nullopt;
  }
  std::vector<uint8_t> payload(8);
  write_le32(payload, 0, request.ttl);
  write_le32(payload, 4, request.datum);
  append_text(payload, request.owner);
  append_text(payload, request.target);
  return payload;
}

std::optional<AddRecordRequest> decode_add_record_request(std::span<const uint8_t> payload) {
  if (payload.size() < 8) return std::nullopt;
  size_t offset = 8;
  std::optional<std::string> owner = take_text(payload, offset);
  std::optional<std::string> target = owner ? take_text(payload, offset) : std::nullopt;
  if (!target) return std::nullopt;
  return AddRecordRequest{read_le32(payload, 0), read_le32(payload, 4), std::move(*owner),
                          std::move(*target)};
}

std::optional<std::vector<uint8_t>> encode_write_setting_request(
    const WriteSettingRequest& request) {
  std::vector<uint8_t> payload;
  for (const auto* part : {&request.key, &request.value_name, &request.data}) {
    if (!part->has_value()) {
      payload.push_back(0);
      continue;
    }
    const std::string& text = **part;
    if (holds_zero(text) || text.size() > 254) return std::nullopt;
    payload.push_back(static_cast<uint8_t>(text.size() + 1));
    append_text(payload, text);
  }
  return payload;
}

std::optional<WriteSettingRequest> decode_write_setting_request(std::span<const uint8_t> payload) {
  WriteSettingRequest request;
  size_t offset = 0;
  for (auto* part : {&request.key, &request.value_name, &request.data}) {
    if (offset >= payload.size()) return std::nullopt;
    size_t length = payload[offset++];
    if (length == 0) continue;
    if (length > payload.size() - offset) return std::nullopt;
    auto field = payload.subspan(offset, length);
    // The zero must be the field's last byte: a zero inside would make the
    // stored text differ from the bytes that were sent.
    if (field[length - 1] != 0) return std::nullopt;
    std::string text(reinterpret_cast<const char*>(field.data()), length - 1);
    if (holds_zero(text)) return std::nullopt;
    *part = std::move(text);
    offset += length;
  }
  return request;
}

std::optional<std::vector<uint8_t>> encode_open_file_request(const OpenFileRequest& request) {
  if (holds_zero(request.name) || holds_zero(request.mode)) return std::nullopt;
  if (request.name.size() + 1 + request.mode.size() + 1 > kControlPayloadSize) {
    return std::nullopt;
  }
  std::vector<uint8_t> payload;
  append_text(payload, request.name);
  append_text(payload, request.mode);
  return payload;
}

std::optional<OpenFileRequest> decode_open_file_request(std::span<const uint8_t> payload) {
  size_t offset = 0;
  auto name = take_text(payload, offset);
  if (!name) return std::nullopt;
  auto mode = take_text(payload, offset);
  if (!mode) return std::nullopt;
  return OpenFileRequest{std::move(*name), std::move(*mode)};
}

std::array<uint8_t, kStatisticsImageSize> encode_statistics_image(const StatisticsImage& image) {
  std::array<uint8_t, kStatisticsImageSize> bytes{};
  for (size_t i = 0; i < kStatisticsCounters; ++i) write_le32(bytes, 4 * i, image[i]);
  return bytes;
}

std::optional<StatisticsImage> decode_statistics_image(std::span<const uint8_t> bytes) {
  if (bytes.size() < kStatisticsImageSize) return std::nullopt;
  StatisticsImage image{};
  for (size_t i = 0; i < kStatisticsCounters; ++i) image[i] = read_le32(bytes, 4 * i);
  return image;
}

bool ZoneImage::operator==(const ZoneImage& other) const {
  const auto fields = [](const ZoneImage& image) {
    const ZoneSoa& soa = image.soa;
    return std::tie(image.first_record, image.loaded_at, image.refreshed_at, image.retry_after,
                    soa.serial, soa.refresh, soa.retry, soa.expire, soa.minimum, soa.domain,
                    soa.primary, soa.mailbox);
  };
  return fields(*this) == fields(other);
}

std::array<uint8_t, kZoneImageSize> encode_zone_image(const ZoneImage& image) {
  std::array<uint8_t, kZoneImageSize> bytes{};
  write_le64(bytes, 0, image.first_record);
  write_le64(bytes, 8, static_cast<uint64_t>(image.loaded_at));
  write_le64(bytes, 16, static_cast<uint64_t>(image.refreshed_at));
  write_le64(bytes, 24, static_cast<uint64_t>(image.retry_after));
  write_le32(bytes, 32, image.soa.serial);
  write_le32(bytes, 36, image.soa.refresh);
  write_le32(bytes, 40, image.soa.retry);
  write_le32(bytes, 44, image.soa.expire);
  write_le32(bytes, 48, image.soa.minimum);
  const std::string* texts[] = {&image.soa.domain, &image.soa.primary, &image.soa.mailbox};
  const size_t offsets[] = {kZoneImageDomainOffset, kZoneImagePrimaryOffset,
                            kZoneImageMailboxOffset};
  for (size_t i = 0; i < 3; ++i) {
    std::string_view text = *texts[i];
    if (text.size() >= kZoneImageTextSize || holds_zero(text)) text = {};
    put_text(bytes, offsets[i], text, kZoneImageTextSize);
  }
  return bytes;
}

std::optional<ZoneImage> decode_zone_image(std::span<const uint8_t> bytes) {
  if (bytes.size() < kZoneImageSize) return std::nullopt;
  ZoneImage image;
  image.first_record = read_le64(bytes, 0);
  image.loaded_at = static_cast<int64_t>(read_le64(bytes, 8));
  image.refreshed_at = static_cast<int64_t>(read_le64(bytes, 16));
  image.retry_after = static_cast<int64_t>(read_le64(bytes, 24));
  image.soa.serial = read_le32(bytes, 32);
  image.soa.refresh = read_le32(bytes, 36);
  image.soa.retry = read_le32(bytes, 40);
  image.soa.expire = read_le32(bytes, 44);
  image.soa.minimum = read_le32(bytes, 48);
  auto domain = read_field_text(bytes, kZoneImageDomainOffset, kZoneImageTextSize);
  auto primary = read_field_text(bytes, kZoneImagePrimaryOffset, kZoneImageTextSize);
  auto mailbox = read_field_text(bytes, kZoneImageMailboxOffset, kZoneImageTextSize);
  if (!domain || !primary || !mailbox) return std::nullopt;
  image.soa.domain = std::move(*domain);
  image.soa.primary = std::move(*primary);
  image.soa.mailbox = std::move(*mailbox);
  return image;
}

std::optional<std::vector<uint8_t>> encode_record_image(const RecordImage& image) {
  if (image.name.size() > 255 || image.target.size() > 255) return std::nullopt;
  return encode_cache_entry_image(image);
}

std::optional<RecordImage> decode_record_image(std::span<const uint8_t> bytes) {
  // The lengths are the authority; each name must end in its zero exactly
  // there (which the cache's reader checks) and hold none before it.
  std::optional<RecordImage> image = decode_cache_entry_image(bytes);
  if (!image || holds_zero(image->name) || holds_zero(image->target)) return std::nullopt;
  return image;
}

std::optional<AccessRangeImage> decode_access_range_image(std::span<const uint8_t> bytes) {
  if (bytes.size() < kAccessRangeImageBytes) return std::nullopt;
  auto rights = read_field_text(bytes, 8, 8);
  if (!rights) return std::nullopt;
  AccessRangeImage image;
  image.next = read_le64(bytes, 0);
  image.rights = std::move(*rights);
  image.first = read_le32(bytes, 16);
  image.last = read_le32(bytes, 20);
  return image;
}

uint64_t file_time_from_unix(int64_t seconds, int64_t nanoseconds) {
  // Times before 1601 cannot be expressed; they read as the earliest count.
  int64_t since_1601 = seconds + static_cast<int64_t>(kFileTimeEpochOffset);
  if (since_1601 < 0) return 0;
  return static_cast<uint64_t>(since_1601) * 10000000ull +
         static_cast<uint64_t>(std::clamp<int64_t>(nanoseconds, 0, 999999999) / 100);
}

std::optional<std::array<uint8_t, kFindRecordSize>> encode_find_record(const FindRecord& record) {
  if (record.name.size() >= kFindNameSize || holds_zero(record.name)) return std::nullopt;
  if (record.short_name.size() >= kFindShortNameSize || holds_zero(record.short_name)) {
    return std::nullopt;
  }
  std::array<uint8_t, kFindRecordSize> bytes{};
  write_le32(bytes, 0, record.attributes);
  write_le64(bytes, 4, record.creation_time);
  write_le64(bytes, 12, record.access_time);
  write_le64(bytes, 20, record.write_time);
  write_le32(bytes, 28, static_cast<uint32_t>(record.size >> 32));
  write_le32(bytes, 32, static_cast<uint32_t>(record.size));
  put_text(bytes, kFindNameOffset, record.name, kFindNameSize);
  put_text(bytes, kFindShortNameOffset, record.short_name, kFindShortNameSize);
  return bytes;
}

std::optional<FindRecord> decode_find_record(std::span<const uint8_t> bytes) {
  if (bytes.size() < kFindRecordSize) return std::nullopt;
  auto name = read_field_text(bytes, kFindNameOffset, kFindNameSize);
  auto short_name = read_field_text(bytes, kFindShortNameOffset, kFindShortNameSize);
  if (!name || !short_name) return std::nullopt;
  FindRecord record;
  record.attributes = read_le32(bytes, 0);
  record.creation_time = read_le64(bytes, 4);
  record.access_time = read_le64(bytes, 12);
  record.write_time = read_le64(bytes, 20);
  record.size = (static_cast<uint64_t>(read_le32(bytes, 28)) << 32) | read_le32(bytes, 32);
  record.name = std::move(*name);
  record.short_name = std::move(*short_name);
  return record;
}

}  // namespace norvane
