// Root of the framework: CObject, CCmdTarget with its message tables, and the
// exception classes (CException, CSimpleException, CMemoryException,
// CNotSupportedException, CResourceException, CUserException).
#pragma once

#include <windows.h>

class CObject {
 public:
  virtual ~CObject() = default;
};

// Message tables

class CCmdTarget;

using AnyHandler = void (CCmdTarget::*)();
using ResultHandler = LRESULT (CCmdTarget::*)(UINT, WPARAM, LPARAM);

struct MessageEntry {
  UINT message;  // 0 ends a table
  UINT code;     // WM_COMMAND only: the notification code
  UINT firstId;  // WM_COMMAND only: the range of control ids
  UINT lastId;
  AnyHandler handler;           // void Handler(): commands, WM_PAINT
  ResultHandler resultHandler;  // LRESULT Handler(UINT, WPARAM, LPARAM): the rest
};

struct MessageTable {
  const MessageTable* base;
  const MessageEntry* entries;
};

template <class T>
MessageEntry CommandEntry(UINT id, void (T::*handler)()) {
  return {WM_COMMAND, BN_CLICKED, id, id, static_cast<AnyHandler>(handler), nullptr};
}

template <class T>
MessageEntry PaintEntry(void (T::*handler)()) {
  return {WM_PAINT, 0, 0, 0, static_cast<AnyHandler>(handler), nullptr};
}

template <class T>
MessageEntry MessageResultEntry(UINT message, LRESULT (T::*handler)(UINT, WPARAM, LPARAM)) {
  return {message, 0, 0, 0, nullptr, static_cast<ResultHandler>(handler)};
}

inline MessageEntry EndOfTable() { return {0, 0, 0, 0, nullptr, nullptr}; }

class CCmdTarget : public CObject {
 public:
  virtual const MessageTable* GetMessageTable() const { return &s_messageTable; }
  static const MessageTable s_messageTable;
};

// Exceptions

class CException : public CObject {
 public:
  virtual const char* GetErrorMessage() const = 0;
  // The message box type used when a window procedure reports the exception.
  virtual UINT GetReportType() const { return MB_ICONSTOP; }
  void Report() const;
};

class CSimpleException : public CException {};

class CMemoryException : public CSimpleException {
 public:
  const char* GetErrorMessage() const override { return "Out of memory."; }
  UINT GetReportType() const override { return MB_SYSTEMMODAL | MB_ICONEXCLAMATION; }
};

class CNotSupportedException : public CSimpleException {
 public:
  const char* GetErrorMessage() const override { return "An unsupported operation was attempted."; }
};

class CResourceException : public CSimpleException {
 public:
  const char* GetErrorMessage() const override { return "A required resource was unavailable."; }
};

// A stop the user has already been told about; never reported again.
class CUserException : public CSimpleException {
 public:
  const char* GetErrorMessage() const override { return ""; }
};
