// The persistent-object base: Assign copies state from another object, or fails with the
// runtime's assignment error for a source the class does not support.
#pragma once

#include "rtl/Exception.h"

namespace netlib {

class TPersistent {
 public:
  virtual ~TPersistent() = default;
  // The base rule: every source is unsupported (EConvertError "Cannot assign a X to a Y").
  virtual void Assign(const TPersistent* Source);
  virtual const char* ClassName() const { return "TPersistent"; }

 protected:
  [[noreturn]] void AssignError(const TPersistent* Source) const;
};

}  // namespace netlib
