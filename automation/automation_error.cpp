#include "automation/automation_error.h"

#include <cerrno>
#include <cstdlib>
#include <new>
#include <kj/exception.h>

namespace automation {

std::string StandardDescription(int32_t number) {
  switch (number) {
    case 5: return "Invalid procedure call or argument";
    case 6: return "Overflow";
    case 7: return "Out of memory";
    case 9: return "Subscript out of range";
    case 11: return "Division by zero";
    case 13: return "Type mismatch";
    case 52: return "Bad file name or number";
    case 53: return "File not found";
    case 57: return "Device I/O error";
    case 61: return "Disk full";
    case 67: return "Too many files";
    case 70: return "Permission denied";
    case 75: return "Path/File access error";
    case 76: return "Path not found";
    case 91: return "Object variable or With block variable not set";
    case 94: return "Invalid use of Null";
    case 429: return "Component can't create object";
    case 438: return "Object doesn't support this property or method";
    case 448: return "Named argument not found";
    case 450: return "Wrong number of arguments or invalid property assignment";
    default: return "Application-defined or object-defined error";
  }
}

namespace {
std::string Render(int32_t number, const std::string& description) {
  return "error " + std::to_string(number) + ": " + description;
}
}  // namespace

AutomationError::AutomationError(int32_t number)
    : AutomationError(number, StandardDescription(number)) {}

AutomationError::AutomationError(int32_t number, std::string description)
    : std::runtime_error(Render(number, description)),
      number_(number),
      description_(std::move(description)) {}

AutomationError AutomationError::FromKjException(const kj::Exception& e) {
  std::string text(e.getDescription().cStr());
  // kj prefixes the what() of a foreign exception; strip it to find ours.
  for (const char* prefix : {"std::exception: ", "remote exception: "}) {
    std::string p(prefix);
    while (text.rfind(p, 0) == 0) text.erase(0, p.size());
  }
  const std::string tag = "error ";
  if (text.rfind(tag, 0) == 0) {
    const char* start = text.c_str() + tag.size();
    char* end = nullptr;
    long number = std::strtol(start, &end, 10);
    if (end != start && end[0] == ':' && end[1] == ' ') {
      return AutomationError(static_cast<int32_t>(number), std::string(end + 2));
    }
  }
  return AutomationError(err::kAutomationError, text);
}

AutomationError AutomationError::FromCurrentException() {
  try {
    throw;
  } catch (const AutomationError& e) {
    return e;
  } catch (const kj::Exception& e) {
    return FromKjException(e);
  } catch (const std::bad_alloc&) {
    return AutomationError(err::kOutOfMemory);
  } catch (const std::exception& e) {
    return AutomationError(err::kAutomationError, e.what());
  } catch (...) {
    return AutomationError(err::kAutomationError);
  }
}

int32_t FileErrorNumber(int errnoValue) {
  switch (errnoValue) {
    case ENOENT: return err::kPathNotFound;
    case ENOTDIR: return err::kPathNotFound;
    // The runtime's answer to opening for append what may not be written; its 70
    // is for a file another program holds locked.
    case EACCES: case EPERM: case EROFS: return err::kPathFileAccessError;
    case EMFILE: case ENFILE: return err::kTooManyFiles;
    // EFBIG: the write went past the process's file-size limit, which the process
    // meets like a full disk.
    case ENOSPC: case EDQUOT: case EFBIG: return err::kDiskFull;
    case EISDIR: return err::kPathFileAccessError;
    case ENAMETOOLONG: return err::kBadFileNameOrNumber;
    default: return err::kDeviceIOError;
  }
}

}  // namespace automation
