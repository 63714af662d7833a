#pragma once
// The root of every object the platform layer can create or hand around.

namespace automation {

class Unknown {
 public:
  virtual ~Unknown() = default;
};

}  // namespace automation
