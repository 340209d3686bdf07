#include "Text.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

CText& CText::operator=(const char* text) {
  m_bytes = text ? text : "";
  return *this;
}

CText& CText::operator+=(const char* text) {
  if (text) m_bytes += text;
  return *this;
}

CText& CText::operator+=(const CText& text) {
  m_bytes += text.m_bytes;
  return *this;
}

CText operator+(const CText& a, const CText& b) {
  CText result = a;
  result += b;
  return result;
}

CText operator+(const CText& a, const char* b) {
  CText result = a;
  result += b;
  return result;
}

int CText::FindLast(char character, UINT codePage) const {
  int last = -1;
  const int length = GetLength();
  for (int i = 0; i < length; ++i) {
    const BYTE byte = static_cast<BYTE>(m_bytes[static_cast<size_t>(i)]);
    if (IsDBCSLeadByteEx(codePage, byte) && i + 1 < length) {
      ++i;  // the trail byte belongs to this character
      continue;
    }
    if (m_bytes[static_cast<size_t>(i)] == character) last = i;
  }
  return last;
}

CText CText::Prefix(int n) const {
  CText result;
  if (n > 0) result.m_bytes = m_bytes.substr(0, static_cast<size_t>(n));
  return result;
}

CText CText::FormatText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  CText result;
  if (length > 0) {
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    result.m_bytes.assign(buffer.data(), static_cast<size_t>(length));
  }
  va_end(args);
  return result;
}
