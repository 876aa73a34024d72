#pragma once
// Errors raised by the platform: a domain, a numeric code, the user-facing
// message and the full description (what a log would show).

#include <cstdint>
#include <stdexcept>
#include <string>

namespace platform {

class PlatformError : public std::runtime_error {
public:
    PlatformError(std::string domain, int64_t code, std::string localizedDescription,
                  std::string description = {})
        : std::runtime_error(localizedDescription),
          domain_(std::move(domain)),
          code_(code),
          localizedDescription_(std::move(localizedDescription)),
          description_(description.empty() ? defaultDescription() : std::move(description)) {}

    const std::string& domain() const { return domain_; }
    int64_t code() const { return code_; }
    const std::string& localizedDescription() const { return localizedDescription_; }
    const std::string& description() const { return description_; }

private:
    std::string defaultDescription() const {
        return "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" +
               localizedDescription_ + "\"";
    }

    std::string domain_;
    int64_t code_;
    std::string localizedDescription_;
    std::string description_;
};

} // namespace platform
