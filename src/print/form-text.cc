#include "print/form-text.h"

#include "probe/utf16.h"

namespace qst {

bool AppendJsonString(std::string_view text, std::string* out) {
  bool exact = true;
  out->push_back('"');
  while (!text.empty()) {
    // Most names are plain ASCII: taken a run at a time.
    std::size_t plain = 0;
    while (plain < text.size()) {
      unsigned char c = static_cast<unsigned char>(text[plain]);
      if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') break;
      ++plain;
    }
    out->append(text.substr(0, plain));
    text.remove_prefix(plain);
    if (text.empty()) break;
    std::size_t length = Utf8SequenceLength(text);
    unsigned char c = static_cast<unsigned char>(text[0]);
    if (length == 0) {
      out->append("\xEF\xBF\xBD");
      exact = false;
      length = 1;
    } else if (c == '"' || c == '\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(c));
    } else if (c < 0x20 || c == 0x7F) {
      out->append("\\u00").push_back(kHexLower[c >> 4]);
      out->push_back(kHexLower[c & 15]);
    } else {
      out->append(text.substr(0, length));
    }
    text.remove_prefix(length);
  }
  out->push_back('"');
  return exact;
}

void AppendHex(std::string_view bytes, std::string* out) {
  for (unsigned char c : bytes) {
    out->push_back(kHexLower[c >> 4]);
    out->push_back(kHexLower[c & 15]);
  }
}

void AppendJsonStringOrNull(bool known, std::string_view text, std::string* out) {
  if (known)
    AppendJsonString(text, out);
  else
    out->append("null");
}

void AppendJsonTime(const RenderedTimestamp& t, bool known, std::string* out,
                    bool may_precede_1601) {
  out->append("{\"utc\":");
  if (!known || !t.converted) {
    out->append("null");
  } else {
    out->push_back('"');
    AppendIsoUtc(t, out);
    out->push_back('"');
  }
  out->append(",\"filetime\":");
  if (may_precede_1601)
    AppendNumber(static_cast<std::int64_t>(t.raw), out);
  else
    AppendNumber(t.raw, out);
  out->push_back('}');
}

void AppendJsonTimeOrNull(bool known, const RenderedTimestamp& t, std::string* out) {
  if (known)
    AppendJsonTime(t, true, out);
  else
    out->append("null");
}

void AppendCsvField(std::string_view text, std::string* out) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
    out->append(text);
    return;
  }
  out->push_back('"');
  for (char c : text) {
    if (c == '"') out->push_back('"');
    out->push_back(c);
  }
  out->push_back('"');
}

void AppendCsvName(std::string_view name, std::string* out) {
  // Programs that read CSV end a text at a NUL (sqlite3 cuts the path
  // there): it is written as the text layouts write it.
  if (name.find('\0') != std::string_view::npos) {
    std::string shown;
    for (char c : name) {
      if (c == '\0')
        shown += "<00>";
      else
        shown += c;
    }
    AppendCsvName(shown, out);
    return;
  }
  const std::size_t first = name.find_first_not_of('\'');
  if (first == std::string_view::npos ||
      std::string_view("=+-@\t\r").find(name[first]) == std::string_view::npos) {
    AppendCsvField(name, out);
    return;
  }
  AppendCsvField("'" + std::string(name), out);
}

void AppendCsvTime(const RenderedTimestamp& t, bool known, std::string* out) {
  out->push_back(',');
  if (known) AppendIsoUtc(t, out);
}

void AppendUnixTime(FILETIME t, std::string* out) {
  std::uint64_t ticks = t >= kUnixEpochTicks ? t - kUnixEpochTicks : kUnixEpochTicks - t;
  if (t < kUnixEpochTicks) out->push_back('-');
  AppendNumber(ticks / 10000000, out);
  char fraction[8];
  std::uint64_t rest = ticks % 10000000;
  for (int i = 6; i >= 0; --i, rest /= 10) fraction[i] = static_cast<char>('0' + rest % 10);
  out->push_back('.');
  out->append(fraction, 7);
}

void AppendBodyName(std::string_view name, std::string* out) {
  for (char ch : name) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '|' || c < 0x20 || c == 0x7F) {
      out->append("\\x").push_back(kHexLower[c >> 4]);
      out->push_back(kHexLower[c & 15]);
    } else {
      out->push_back(ch);
    }
  }
}

void AppendJsonNameAndHex(std::string_view key, std::string_view name, std::string* out) {
  if (AppendJsonString(name, out)) return;
  out->append(",\"").append(key).append("_hex\":\"");
  AppendHex(name, out);
  out->push_back('"');
}

std::string EventText(std::string_view name) {
  if (name.size() <= kEventNameBytes) return std::string(name);
  std::size_t end = kEventNameBytes;
  while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
  return std::string(name.substr(0, end)) + " [cut]";
}

void AppendEventName(std::string_view key, std::string_view name, std::string* out) {
  if (name.size() <= kEventNameBytes) {
    AppendJsonNameAndHex(key, name, out);
    return;
  }
  AppendJsonString(EventText(name), out);
  out->append(",\"").append(key).append("_hex_parts\":[");
  for (std::size_t at = 0; at < name.size(); at += kEventNameBytes) {
    out->append(at == 0 ? "\"" : ",\"");
    AppendHex(name.substr(at, kEventNameBytes), out);
    out->push_back('"');
  }
  out->push_back(']');
}

std::size_t CodedCharacterAt(std::string_view s, unsigned* code) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  if (s.size() >= 2 && byte(0) == 0xD8 && byte(1) == 0x9C) {
    *code = 0x061C;
    return 2;
  }
  if (s.size() >= 2 && byte(0) == 0xC2 && byte(1) >= 0x80 && byte(1) <= 0x9F) {
    *code = byte(1);
    return 2;
  }
  if (s.size() < 3 || byte(0) != 0xE2 || (byte(1) & 0xC0) != 0x80 || (byte(2) & 0xC0) != 0x80)
    return 0;
  const unsigned c = 0x2000 | (byte(1) & 0x3F) << 6 | (byte(2) & 0x3F);
  if (c == 0x200E || c == 0x200F || c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) ||
      (c >= 0x2066 && c <= 0x2069)) {
    *code = c;
    return 3;
  }
  return 0;
}

std::size_t TextCodeAt(std::string_view text, std::string* bytes) {
  auto hex = [&](std::size_t from, std::size_t digits, unsigned* value) {
    *value = 0;
    for (std::size_t i = from; i < from + digits; ++i) {
      const char c = text[i];
      if (!(c >= '0' && c <= '9') && !(c >= 'A' && c <= 'F')) return false;
      *value = *value << 4 | static_cast<unsigned>(c <= '9' ? c - '0' : c - 'A' + 10);
    }
    return true;
  };
  unsigned code = 0;
  if (text.size() >= 4 && text[0] == '<' && text[3] == '>' && hex(1, 2, &code) && code < 0x80) {
    bytes->assign(1, static_cast<char>(code));
    return 4;
  }
  if (text.size() < 8 || text.substr(0, 3) != "<U+" || text[7] != '>' || !hex(3, 4, &code))
    return 0;
  // Only the marks are written so; their UTF-8 is two bytes or three.
  std::string utf8;
  if (code < 0x800) {
    utf8 = {static_cast<char>(0xC0 | code >> 6), static_cast<char>(0x80 | (code & 0x3F))};
  } else {
    utf8 = {static_cast<char>(0xE0 | code >> 12), static_cast<char>(0x80 | (code >> 6 & 0x3F)),
            static_cast<char>(0x80 | (code & 0x3F))};
  }
  unsigned mark = 0;
  if (code < 0x80 || CodedCharacterAt(utf8, &mark) != utf8.size()) return 0;
  *bytes = std::move(utf8);
  return 8;
}

std::string PathFromText(std::string_view text) {
  std::string path;
  std::string bytes;
  for (std::size_t i = 0; i < text.size();) {
    if (const std::size_t length = text[i] == '<' ? TextCodeAt(text.substr(i), &bytes) : 0) {
      path += bytes;
      i += length;
    } else {
      path += text[i++];
    }
  }
  return path;
}

void AppendEventTime(const RenderedTimestamp& t, std::string* out) {
  // A time with no date (2^63 or more) has no datetime to give.
  out->append("{\"datetime\":");
  if (t.converted) {
    out->push_back('"');
    AppendIsoUtc(t, out);
    out->push_back('"');
  } else {
    out->append("null");
  }
  out->append(",\"timestamp\":");
  AppendNumber(
      static_cast<std::int64_t>(t.raw / 10) - static_cast<std::int64_t>(kUnixEpochTicks / 10), out);
}

}  // namespace qst
