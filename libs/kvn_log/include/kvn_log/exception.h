// The exception family thrown inside the packet, stream, image-format and
// file layers and turned into result codes at run boundaries.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "kvn_log/errors.h"
#include "kvn_log/log.h"

class KvnException : public std::exception {};

class KvnCommonException : public KvnException {
 public:
  static constexpr std::size_t kMessageSize = 256;

  // The message carries "from <file>:<line> - " only while the threshold is
  // debug or trace.
  KvnCommonException(const kvn_log::Location& where, const std::string& text);
  KvnCommonException(const kvn_log::Location& where, std::uint32_t code);
  KvnCommonException(const kvn_log::Location& where, std::uint32_t code, const std::string& text);

  // printf-style text with code KVN_E_EXCEPTION; the prefix is "<file>(<line>) - ".
  static KvnCommonException formatted(const kvn_log::Location& where, const char* format, ...)
      __attribute__((format(printf, 2, 3)));

  // printf-style text with a given code; the message is built as by the
  // (location, code, text) constructor.
  static KvnCommonException withCode(const kvn_log::Location& where, std::uint32_t code,
                                     const char* format, ...) __attribute__((format(printf, 3, 4)));

  const char* what() const noexcept override { return message; }

  std::uint32_t code;
  const char* file;
  std::int32_t line;
  char message[kMessageSize];

 private:
  void setMessage(const char* text);
};

// Encoding or decoding errors of the packet format.
class KvnNetPacketException : public KvnCommonException {
 public:
  using KvnCommonException::KvnCommonException;
};

// A backup that the box refuses.
class KvnNotPermittedException : public KvnCommonException {
 public:
  using KvnCommonException::KvnCommonException;
};

// File-access errors. fileError is the file device's own error number
// (0 when it had none), kept apart from the result code.
class KvnQFileException : public KvnCommonException {
 public:
  using KvnCommonException::KvnCommonException;

  int fileError = 0;
};

#define KVN_THROW_F(...) throw KvnCommonException::formatted(KVN_HERE, __VA_ARGS__)
