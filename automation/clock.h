#pragma once
// The current local date and time on the automation date scale.

namespace automation {

class Clock {
 public:
  virtual ~Clock() = default;
  // Now in the system's local time zone, as a date value with its time of day.
  virtual double Now() const = 0;
};

class SystemClock : public Clock {
 public:
  double Now() const override;
};

// A clock that tests set by hand.
class ManualClock : public Clock {
 public:
  explicit ManualClock(double now) : now_(now) {}
  double Now() const override { return now_; }
  void Set(double now) { now_ = now; }

 private:
  double now_;
};

}  // namespace automation
