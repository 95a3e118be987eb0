#pragma once

#include <memory>
#include <string>

namespace platform {

// Base of every object that is created by class name or checked for its kind at run time.
// `className()` answers the name under which the class is known to the class registry.
class Object : public std::enable_shared_from_this<Object> {
 public:
  virtual ~Object() = default;
  virtual std::string className() const = 0;
};

}  // namespace platform
