#pragma once
// The texts of a failure as the events report them.

#include <exception>
#include <string>

namespace tavrik {

// The error value written out: an engine error's case name and payload, a
// platform error's full description.
std::string textualDescription(const std::exception_ptr& failure);
// The platform's user-facing message: a platform error's localized description,
// the generic text for an engine error.
std::string localizedDescription(const std::exception_ptr& failure);

} // namespace tavrik
