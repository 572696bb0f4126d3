// How a failure travels: a Status (domain, code, message, and whether a retry
// can ever succeed) or an Expected<T> that holds either a value or the Status
// of why there is none.
//
// A default-constructed Status is success. Every failure has a non-empty
// domain; its code is the domain's own (an errno value in kPosixDomain, a
// keychain result code in kKeychainDomain, -1 where the domain has no codes).
//
// A failure is *permanent* when repeating the same call cannot succeed
// without someone changing something first: a full disk, a denied
// permission, a read-only file system, a refused certificate, a wrong
// password. Mark it where it arises; code that retries (the network retry
// policy) never asks about a permanent failure.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "foundation/InternalInconsistency.h"

namespace quorvel {

inline constexpr const char* kPosixDomain = "posix";
inline constexpr const char* kKeychainDomain = "keychain";
inline constexpr const char* kPropertyListDomain = "propertyList";
inline constexpr const char* kArchiveDomain = "archive";
inline constexpr const char* kFormatDomain = "format";

// errno values that no retry can fix: a full disk or quota (ENOSPC, EDQUOT,
// EFBIG), a denied permission (EACCES, EPERM), a read-only file system
// (EROFS). Everything else may be a passing state of a network share and is
// left to the retry policy.
bool IsPermanentErrno(int errorNumber);

enum class Permanence { kTransient, kPermanent };

class Status {
 public:
  // Success.
  Status() = default;
  // A failure. `domain` must not be empty.
  Status(std::string domain, int code, std::string message, Permanence permanence = Permanence::kTransient)
      : domain_(std::move(domain)),
        code_(code),
        message_(std::move(message)),
        permanent_(permanence == Permanence::kPermanent) {}

  // "<what>: <strerror text>" in kPosixDomain, permanent when
  // IsPermanentErrno says so. `what` may be empty (just the system's text).
  static Status posix(int errorNumber, const std::string& what);
  // A failure of a decoder or parser: the input is wrong and stays wrong.
  static Status invalid(const char* domain, std::string message) {
    return Status(domain, -1, std::move(message), Permanence::kPermanent);
  }

  bool ok() const { return domain_.empty(); }
  const std::string& domain() const { return domain_; }
  int code() const { return code_; }
  const std::string& message() const { return message_; }
  bool isPermanent() const { return permanent_; }

  // The same failure with "<context>: " in front of its message.
  Status withContext(const std::string& context) const {
    Status copy = *this;
    if (!ok()) copy.message_ = context + ": " + message_;
    return copy;
  }

 private:
  std::string domain_;
  int code_ = 0;
  std::string message_;
  bool permanent_ = false;
};

// A value or the Status that says why there is none. Reads like
// std::optional<T> (operator bool, *, ->, has_value(), value_or()), so a
// caller that only cares whether a value came needs no change.
template <typename T>
class Expected {
 public:
  Expected(T value) : value_(std::move(value)) {}  // NOLINT: implicit by design
  // `failure` must be a failure; a success without a value is a programming error.
  Expected(Status failure) : status_(std::move(failure)) {  // NOLINT: implicit by design
    if (status_.ok()) throw InternalInconsistency("Expected made from a success without a value");
  }

  bool has_value() const { return value_.has_value(); }
  explicit operator bool() const { return value_.has_value(); }
  T& operator*() & { return *value_; }
  const T& operator*() const& { return *value_; }
  T&& operator*() && { return std::move(*value_); }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }
  // The value; InternalInconsistency with the failure's message when there is none.
  T& value() & {
    if (!value_) throw InternalInconsistency("no value: " + status_.message());
    return *value_;
  }
  const T& value() const& {
    if (!value_) throw InternalInconsistency("no value: " + status_.message());
    return *value_;
  }
  template <typename U>
  T value_or(U&& fallback) const& {
    return value_ ? *value_ : static_cast<T>(std::forward<U>(fallback));
  }
  // Success when there is a value, else the failure.
  const Status& status() const { return status_; }
  // Code that keeps optionals takes the value and drops the reason.
  operator std::optional<T>() const& { return value_; }  // NOLINT: implicit by design
  operator std::optional<T>() && { return std::move(value_); }  // NOLINT: implicit by design

 private:
  std::optional<T> value_;
  Status status_;
};

}  // namespace quorvel
