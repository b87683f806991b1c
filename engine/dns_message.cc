// DNS wire format: header, name conversions and type texts.
#include "engine/dns_message.h"

#include <cstdio>
#include <cstring>

#include "engine/names.h"

namespace norvane {

bool DnsHeader::read(std::span<const uint8_t> message, DnsHeader& out) {
  if (message.size() < kSize) return false;
  const uint8_t* p = message.data();
  out.id = read_u16(p);
  out.flags = read_u16(p + 2);
  out.qdcount = read_u16(p + 4);
  out.ancount = read_u16(p + 6);
  out.nscount = read_u16(p + 8);
  out.arcount = read_u16(p + 10);
  return true;
}

void DnsHeader::write(uint8_t* out) const {
  write_u16(out, id);
  write_u16(out + 2, flags);
  write_u16(out + 4, qdcount);
  write_u16(out + 6, ancount);
  write_u16(out + 8, nscount);
  write_u16(out + 10, arcount);
}

size_t decode_name(const uint8_t* message, size_t message_length, size_t position, char* text,
                   size_t capacity) {
  // Zero the start so that both the whole text and the text from its second
  // character on read as empty for the root name.
  std::memset(text, 0, capacity < 4 ? capacity : 4);
  if (capacity == 0) return position + 1;
  size_t out = 0;
  size_t resume = 0;
  bool jumped = false;
  // Start of the run of labels being read; a pointer must land before it.
  size_t run_start = position;
  size_t at = position;
  for (;;) {
    if (at >= message_length) {
      // The name runs off the end of the message: it ends here, and the
      // caller sees a position outside the message.
      if (!jumped) resume = message_length + 1;
      break;
    }
    const uint8_t length = message[at];
    if (length == 0) {
      if (!jumped) resume = at + 1;
      break;
    }
    if (out >= capacity - 1) {
      // Output full: still report the position after the whole stored name.
      if (!jumped) {
        size_t skip = at;
        while (skip < message_length && message[skip] != 0 && message[skip] < 0x40)
          skip += 1 + message[skip];
        if (skip >= message_length)
          resume = message_length + 1;
        else
          resume = skip + (message[skip] == 0 ? 1 : 2);
      }
      break;
    }
    if (length >= 0x40) {
      if (at + 1 >= message_length) {
        if (!jumped) resume = message_length + 1;
        break;
      }
      const size_t offset = (static_cast<size_t>(length & 0x3F) << 8) | message[at + 1];
      if (!jumped) {
        resume = at + 2;
        jumped = true;
      }
      // Only backward jumps: every jump lands strictly before the run that
      // held the pointer, so the chain is finite.
      if (offset >= run_start || offset >= message_length) break;
      at = offset;
      run_start = offset;
      continue;
    }
    text[out++] = '.';
    size_t taken = 0;
    for (; taken < length && out < capacity - 1; ++taken) {
      if (at + 1 + taken >= message_length) break;
      char c = static_cast<char>(message[at + 1 + taken]);
      text[out++] = lower_ascii(c);
    }
    if (taken < length && at + 1 + taken >= message_length) {
      if (!jumped) resume = message_length + 1;
      break;
    }
    at += 1 + length;
  }
  text[out < capacity ? out : capacity - 1] = '\0';
  return resume;
}

uint8_t* encode_name(uint8_t* out, const char* name, size_t length) {
  if (length == 0) {
    // The root is the empty label alone.
    *out = 0;
    return out + 1;
  }
  uint8_t* count = out;
  uint8_t* p = out + 1;
  uint8_t run = 0;
  for (size_t i = 0; i < length; ++i) {
    if (name[i] == '.') {
      *count = run;
      count = p++;
      run = 0;
    } else {
      *p++ = static_cast<uint8_t>(name[i]);
      ++run;
    }
  }
  *count = run;
  *p = 0;
  return out + length + 2;
}

void append_name(std::vector<uint8_t>& out, std::string_view name) {
  const size_t start = out.size();
  out.resize(start + name.size() + 2);
  uint8_t* end = encode_name(out.data() + start, name.data(), name.size());
  out.resize(static_cast<size_t>(end - out.data()));
}

const char* type_mnemonic(uint32_t code) {
  switch (code) {
    case kTypeA:
      return "A";
    case kTypeNs:
      return "NS";
    case kTypeCname:
      return "CNAME";
    case kTypeSoa:
      return "SOA";
    case kTypePtr:
      return "PTR";
    case kTypeMx:
      return "MX";
    case kTypeAxfr:
      return "AXFR";
    case kTypeAny:
      return "ANY";
    default:
      break;
  }
  thread_local char buffer[24];
  std::snprintf(buffer, sizeof buffer, "Type %u", code);
  return buffer;
}

const char* class_mnemonic(uint32_t code) {
  if (code == kClassIn) return "IN";
  thread_local char buffer[24];
  std::snprintf(buffer, sizeof buffer, "Class %u", code);
  return buffer;
}

bool valid_text_name(std::string_view name) {
  if (name.empty()) return true;
  if (name.size() > kMaxNameLength) return false;
  size_t label = 0;
  for (char c : name) {
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
    } else if (++label > kMaxLabelLength) {
      return false;
    }
  }
  return label != 0;
}

}  // namespace norvane
