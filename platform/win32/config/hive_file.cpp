#include "win32/config/hive_file.h"

#include <cwctype>

#include "win32/config/registry.h"
#include "win32/text.h"

namespace win32::reg {
namespace {

const char kHex[] = "0123456789abcdef";

void AppendHexByte(std::string& out, BYTE b) {
  out.push_back(kHex[b >> 4]);
  out.push_back(kHex[b & 0xF]);
}

// Quoted UTF-8 string with \\, \" and \xHH; for control characters.
void AppendQuoted(std::string& out, std::wstring_view text) {
  out.push_back('"');
  for (wchar_t c : text) {
    if (c == L'\\' || c == L'"') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      AppendHexByte(out, static_cast<BYTE>(c));
      out.push_back(';');
    } else {
      out += ToUtf8(std::wstring_view(&c, 1));
    }
  }
  out.push_back('"');
}

void AppendHexList(std::string& out, const std::vector<BYTE>& data) {
  for (size_t i = 0; i < data.size(); ++i) {
    if (i) out.push_back(',');
    AppendHexByte(out, data[i]);
  }
}

// The text of a REG_SZ value when its bytes are exactly "UTF-16LE text
// without zero units, then only zero bytes" and the text survives a round
// trip; the number of bytes is returned through `size`.
std::optional<std::wstring> StringForm(const std::vector<BYTE>& data) {
  if (data.size() % 2 != 0) return std::nullopt;
  size_t end = 0;
  while (end + 1 < data.size() && (data[end] | data[end + 1]) != 0) end += 2;
  for (size_t i = end; i < data.size(); ++i)
    if (data[i] != 0) return std::nullopt;
  std::string_view bytes(reinterpret_cast<const char*>(data.data()), end);
  std::wstring text = FromUtf16LE(bytes);
  if (ToUtf16LE(text) != bytes) return std::nullopt;  // unpaired surrogates
  return text;
}

void AppendValue(std::string& out, const Value& v) {
  if (v.name.empty()) {
    out.push_back('@');
  } else {
    AppendQuoted(out, v.name);
  }
  out.push_back('=');
  if (v.type == REG_DWORD && v.data.size() == 4) {
    DWORD d = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<DWORD>(v.data[3]) << 24);
    out += "dword:";
    for (int shift = 28; shift >= 0; shift -= 4) out.push_back(kHex[(d >> shift) & 0xF]);
  } else if (v.type == REG_BINARY) {
    out += "hex:";
    AppendHexList(out, v.data);
  } else if (auto text = v.type == REG_SZ ? StringForm(v.data) : std::nullopt) {
    // Measured in UTF-16 bytes: characters outside the BMP take four.
    size_t natural = ToUtf16LE(*text).size() + 2;
    if (v.data.size() == natural) {
      out += "sz:";
    } else {
      out += "sz(" + std::to_string(v.data.size()) + "):";
    }
    AppendQuoted(out, *text);
  } else {
    out += "hex(" + std::to_string(v.type) + "):";
    AppendHexList(out, v.data);
  }
  out.push_back('\n');
}

// A small cursor over one line.
struct Cursor {
  std::string_view s;
  size_t i = 0;
  bool AtEnd() const { return i >= s.size(); }
  bool Eat(std::string_view prefix) {
    if (s.substr(i, prefix.size()) != prefix) return false;
    i += prefix.size();
    return true;
  }
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::wstring> ParseQuoted(Cursor& c) {
  if (!c.Eat("\"")) return std::nullopt;
  std::string utf8;
  std::wstring out;
  auto flush = [&] {
    out += FromUtf8(utf8);
    utf8.clear();
  };
  while (!c.AtEnd()) {
    char ch = c.s[c.i++];
    if (ch == '"') {
      flush();
      return out;
    }
    if (ch != '\\') {
      if (static_cast<unsigned char>(ch) < 0x20) return std::nullopt;
      utf8.push_back(ch);
      continue;
    }
    if (c.AtEnd()) return std::nullopt;
    char esc = c.s[c.i++];
    if (esc == '\\' || esc == '"') {
      utf8.push_back(esc);
    } else if (esc == 'x') {
      if (c.i + 3 > c.s.size()) return std::nullopt;
      int hi = HexDigit(c.s[c.i]), lo = HexDigit(c.s[c.i + 1]);
      if (hi < 0 || lo < 0 || c.s[c.i + 2] != ';') return std::nullopt;
      c.i += 3;
      flush();
      out.push_back(static_cast<wchar_t>(hi * 16 + lo));
    } else {
      return std::nullopt;
    }
  }
  return std::nullopt;  // no closing quote
}

std::optional<std::vector<BYTE>> ParseHexList(std::string_view s) {
  std::vector<BYTE> out;
  if (s.empty()) return out;
  size_t i = 0;
  while (true) {
    if (i + 2 > s.size()) return std::nullopt;
    int hi = HexDigit(s[i]), lo = HexDigit(s[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<BYTE>(hi * 16 + lo));
    i += 2;
    if (i == s.size()) return out;
    if (s[i] != ',') return std::nullopt;
    ++i;
  }
}

// A decimal number of at most 32 bits.
std::optional<unsigned long> ParseDecimal(std::string_view s) {
  if (s.empty() || s.size() > 10) return std::nullopt;
  unsigned long long v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<unsigned long long>(c - '0');
  }
  if (v > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<unsigned long>(v);
}

std::optional<Value> ParseValueLine(std::string_view line) {
  Cursor c{line};
  Value v;
  if (c.Eat("@")) {
    v.name.clear();
  } else {
    auto name = ParseQuoted(c);
    if (!name || name->empty()) return std::nullopt;
    v.name = *name;
  }
  if (!c.Eat("=")) return std::nullopt;
  std::string_view rest = line.substr(c.i);
  if (rest.starts_with("dword:")) {
    std::string_view digits = rest.substr(6);
    if (digits.size() != 8) return std::nullopt;
    DWORD d = 0;
    for (char ch : digits) {
      int h = HexDigit(ch);
      if (h < 0) return std::nullopt;
      d = (d << 4) | static_cast<DWORD>(h);
    }
    v.type = REG_DWORD;
    v.data = {static_cast<BYTE>(d), static_cast<BYTE>(d >> 8), static_cast<BYTE>(d >> 16),
              static_cast<BYTE>(d >> 24)};
    return v;
  }
  if (rest.starts_with("hex:")) {
    auto bytes = ParseHexList(rest.substr(4));
    if (!bytes) return std::nullopt;
    v.type = REG_BINARY;
    v.data = std::move(*bytes);
    return v;
  }
  if (rest.starts_with("hex(")) {
    size_t close = rest.find("):");
    if (close == std::string_view::npos) return std::nullopt;
    auto type = ParseDecimal(rest.substr(4, close - 4));
    auto bytes = ParseHexList(rest.substr(close + 2));
    if (!type || !bytes) return std::nullopt;
    v.type = static_cast<DWORD>(*type);
    v.data = std::move(*bytes);
    return v;
  }
  if (rest.starts_with("sz")) {
    Cursor sc{rest, 2};
    std::optional<unsigned long> size;
    if (sc.Eat("(")) {
      size_t close = rest.find("):", sc.i);
      if (close == std::string_view::npos) return std::nullopt;
      size = ParseDecimal(rest.substr(sc.i, close - sc.i));
      if (!size) return std::nullopt;
      sc.i = close + 2;
    } else if (!sc.Eat(":")) {
      return std::nullopt;
    }
    auto text = ParseQuoted(sc);
    if (!text || !sc.AtEnd()) return std::nullopt;
    if (text->find(L'\0') != std::wstring::npos) return std::nullopt;
    std::string bytes = ToUtf16LE(*text);
    bytes.append(2, '\0');
    if (size) {
      if (*size + 2 < bytes.size()) return std::nullopt;  // text does not fit
      bytes.resize(*size, '\0');
    }
    v.type = REG_SZ;
    v.data.assign(bytes.begin(), bytes.end());
    return v;
  }
  return std::nullopt;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

}  // namespace

Value* Key::Find(std::wstring_view name) {
  std::wstring folded = FoldCase(name);
  for (Value& v : values)
    if (FoldCase(v.name) == folded) return &v;
  return nullptr;
}

std::wstring FoldCase(std::wstring_view text) {
  std::wstring out(text);
  for (wchar_t& c : out) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return out;
}

Key* Hive::Find(std::wstring_view path) {
  auto it = keys.find(FoldCase(path));
  return it == keys.end() ? nullptr : &it->second;
}

std::pair<Key*, bool> Hive::Create(std::wstring_view path) {
  if (Key* existing = Find(path)) return {existing, false};
  // Parents first, so that every key's ancestors exist.
  for (size_t pos = path.find(L'\\'); pos != std::wstring_view::npos; pos = path.find(L'\\', pos + 1)) {
    std::wstring_view parent = path.substr(0, pos);
    if (!Find(parent)) keys.emplace(FoldCase(parent), Key{std::wstring(parent), {}});
  }
  auto [it, inserted] = keys.emplace(FoldCase(path), Key{std::wstring(path), {}});
  return {&it->second, inserted};
}

bool Hive::Delete(std::wstring_view path) {
  std::wstring folded = FoldCase(path);
  auto it = keys.find(folded);
  if (it == keys.end()) return false;
  std::wstring prefix = folded + L"\\";
  it = keys.erase(it);
  while (it != keys.end() && it->first.starts_with(prefix)) it = keys.erase(it);
  return true;
}

std::optional<std::wstring> NormalizeKeyPath(std::wstring_view path) {
  if (path.empty()) return std::wstring();
  if (path.front() == L'\\') return std::nullopt;
  if (path.back() == L'\\') path.remove_suffix(1);
  if (path.empty() || path.find(L"\\\\") != std::wstring_view::npos) return std::nullopt;
  if (path.size() > 255 * 8) return std::nullopt;
  return std::wstring(path);
}

std::wstring JoinKeyPath(std::wstring_view base, std::wstring_view sub) {
  if (base.empty()) return std::wstring(sub);
  if (sub.empty()) return std::wstring(base);
  return std::wstring(base) + L"\\" + std::wstring(sub);
}

std::string FormatHive(const Hive& hive) {
  std::string out = "; Zorcam registry hive: one [key] per section, its values below it.\n";
  for (const auto& [folded, key] : hive.keys) {
    out += "\n[";
    out += ToUtf8(key.path);
    out += "]\n";
    for (const Value& v : key.values) AppendValue(out, v);
  }
  return out;
}

std::optional<Hive> ParseHive(std::string_view text, std::string* error) {
  Hive hive;
  Key* current = nullptr;
  size_t lineNo = 0;
  auto fail = [&](const char* why) -> std::optional<Hive> {
    if (error) *error = "line " + std::to_string(lineNo) + ": " + why;
    return std::nullopt;
  };
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  while (!text.empty()) {
    ++lineNo;
    size_t nl = text.find('\n');
    std::string_view line = Trim(text.substr(0, nl));
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      if (line.back() != ']') return fail("section without ']'");
      std::wstring path = FromUtf8(line.substr(1, line.size() - 2));
      auto normal = NormalizeKeyPath(path);
      if (!normal || normal->empty() || *normal != path) return fail("bad key path");
      current = hive.Create(*normal).first;
      continue;
    }
    if (!current) return fail("value outside a key");
    auto value = ParseValueLine(line);
    if (!value) return fail("bad value line");
    if (Value* existing = current->Find(value->name)) {
      *existing = std::move(*value);
    } else {
      current->values.push_back(std::move(*value));
    }
  }
  return hive;
}

}  // namespace win32::reg
