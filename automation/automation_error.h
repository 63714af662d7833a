#pragma once
// Errors that carry an automation error number and its description end to end.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kj { class Exception; }

namespace automation {

// Error numbers the code raises by name.
namespace err {
constexpr int32_t kInvalidProcedureCall = 5;
constexpr int32_t kOverflow = 6;
constexpr int32_t kOutOfMemory = 7;
constexpr int32_t kSubscriptOutOfRange = 9;
constexpr int32_t kTypeMismatch = 13;
constexpr int32_t kBadFileNameOrNumber = 52;
constexpr int32_t kTooManyFiles = 67;
constexpr int32_t kFileNotFound = 53;
constexpr int32_t kDeviceIOError = 57;
constexpr int32_t kDiskFull = 61;
constexpr int32_t kPermissionDenied = 70;
constexpr int32_t kPathFileAccessError = 75;
constexpr int32_t kPathNotFound = 76;
constexpr int32_t kObjectNotSet = 91;
constexpr int32_t kInvalidUseOfNull = 94;
constexpr int32_t kCantCreateObject = 429;
constexpr int32_t kNotSupported = 438;
constexpr int32_t kNamedArgumentNotFound = 448;
constexpr int32_t kWrongArgumentCount = 450;
constexpr int32_t kAutomationError = 440;
}  // namespace err

// The runtime's standard description of an error number.
std::string StandardDescription(int32_t number);

class AutomationError : public std::runtime_error {
 public:
  // Carries the standard description of `number`.
  explicit AutomationError(int32_t number);
  AutomationError(int32_t number, std::string description);

  int32_t number() const { return number_; }
  const std::string& description() const { return description_; }

  // An AutomationError that crossed kj's promise machinery arrives as a kj::Exception
  // whose text is what() of the original; this recovers number and description.
  // Any other exception becomes error 440 with the exception's own text.
  static AutomationError FromKjException(const kj::Exception& e);

  // The error that the exception being handled carries; call it only inside a catch
  // block. An AutomationError as it is, a kj::Exception through FromKjException,
  // std::bad_alloc as 7, any other exception as 440 (with its own text if it has one).
  static AutomationError FromCurrentException();

 private:
  int32_t number_;
  std::string description_;
};

// Maps an errno value from a failed file operation to the runtime's file error: a
// file or folder that may not be written is 75, no free descriptor 67.
int32_t FileErrorNumber(int errnoValue);

}  // namespace automation
