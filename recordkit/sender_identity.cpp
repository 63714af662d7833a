#include "recordkit/sender_identity.h"

namespace recordkit {

std::string DescribeSender(const SenderIdentity& sender) {
  if (!sender.known) return "unknown sender";
  std::string text;
  if (sender.hasCredentials) {
    text = "uid=" + std::to_string(sender.uid) + " gid=" + std::to_string(sender.gid) +
           " pid=" + std::to_string(sender.pid);
  }
  if (!sender.subject.empty()) text += (text.empty() ? "" : " ") + std::string("subject=") + sender.subject;
  return text.empty() ? "unknown sender" : text;
}

}  // namespace recordkit
