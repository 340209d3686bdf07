// CText: a byte string in the ANSI code page, with the few operations the
// program needs (FindLast that respects double-byte characters, Prefix,
// FormatText).
#pragma once

#include <windows.h>

#include <string>

class CText {
 public:
  CText() = default;
  CText(const char* text) : m_bytes(text ? text : "") {}  // NOLINT: implicit like a C string

  CText& operator=(const char* text);
  CText& operator+=(const char* text);
  CText& operator+=(const CText& text);
  friend CText operator+(const CText& a, const CText& b);
  friend CText operator+(const CText& a, const char* b);

  bool operator==(const CText& other) const { return m_bytes == other.m_bytes; }
  bool operator!=(const CText& other) const { return m_bytes != other.m_bytes; }

  int GetLength() const { return static_cast<int>(m_bytes.size()); }
  bool IsEmpty() const { return m_bytes.empty(); }
  char operator[](int index) const { return m_bytes[static_cast<size_t>(index)]; }
  const char* GetText() const { return m_bytes.c_str(); }
  operator const char*() const { return m_bytes.c_str(); }  // NOLINT: for platform calls

  // Byte index of the last `character`, -1 when absent. A trail byte of a
  // double-byte character in `codePage` is never taken for the character.
  int FindLast(char character, UINT codePage = CP_ACP) const;
  // The first n bytes: empty for n < 0, the whole text for n >= length.
  CText Prefix(int n) const;

  static CText FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

 private:
  std::string m_bytes;
};
