// Builds the program's language file from the per-language sources.
//
// Usage: zorcam_make_language_file OUTPUT INPUT...
// Each input is a UTF-8 text file holding one "[Section]" of "KEY=text"
// lines. The output is their concatenation as UTF-16LE with a byte-order
// mark and CRLF line ends, the form the program's profile reader and text
// editors on every platform understand. The output is written to a
// temporary file and renamed, so a failed run never leaves half a file.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "win32/text.h"

namespace {

void Usage(std::ostream& out) {
  out << "usage: zorcam_make_language_file OUTPUT INPUT...\n"
         "Joins UTF-8 language sections into one UTF-16LE language file.\n";
}

bool ReadUtf8(const std::string& path, std::wstring& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::cerr << path << ": cannot read\n";
    return false;
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();
  std::string s = bytes.str();
  if (s.starts_with("\xEF\xBB\xBF")) s.erase(0, 3);
  text = win32::FromUtf8(s);
  if (text.find(L'\uFFFD') != std::wstring::npos) {
    std::cerr << path << ": not valid UTF-8\n";
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    Usage(std::cout);
    return 0;
  }
  if (argc < 3) {
    Usage(std::cerr);
    return 2;
  }
  std::wstring all;
  for (int i = 2; i < argc; ++i) {
    std::wstring text;
    if (!ReadUtf8(argv[i], text)) return 1;
    std::wstring crlf;
    for (wchar_t c : text) {
      if (c == L'\r') continue;
      if (c == L'\n') crlf += L'\r';
      crlf += c;
    }
    if (!crlf.empty() && crlf.back() != L'\n') crlf += L"\r\n";
    if (!all.empty()) all += L"\r\n";
    all += crlf;
  }
  std::filesystem::path out = argv[1];
  std::filesystem::path tmp = out;
  tmp += ".tmp";
  std::filesystem::create_directories(out.parent_path());
  {
    std::ofstream file(tmp, std::ios::binary | std::ios::trunc);
    file << "\xFF\xFE" << win32::ToUtf16LE(all);
    if (!file.flush()) {
      std::cerr << tmp << ": cannot write\n";
      return 1;
    }
  }
  std::error_code ec;
  std::filesystem::rename(tmp, out, ec);
  if (ec) {
    std::cerr << out << ": " << ec.message() << "\n";
    return 1;
  }
  return 0;
}
