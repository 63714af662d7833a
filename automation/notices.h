#pragma once
// Operator notices: what a message box told the operator, here written to standard
// error (the service journal) without blocking. Tests record them.

#include <string>
#include <vector>

namespace automation {

class NoticeSink {
 public:
  virtual ~NoticeSink() = default;
  virtual void Show(const std::string& text) = 0;
};

class StderrNotices : public NoticeSink {
 public:
  void Show(const std::string& text) override;
};

class RecordedNotices : public NoticeSink {
 public:
  void Show(const std::string& text) override { shown.push_back(text); }
  std::vector<std::string> shown;
};

}  // namespace automation
