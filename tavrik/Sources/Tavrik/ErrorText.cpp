#include "Tavrik/ErrorText.h"

#include "Dovezode/Error.h"

#include "platform/error.h"

namespace tavrik {

std::string textualDescription(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const Dovezode::Error& error) {
        return error.textualDescription();
    } catch (const platform::PlatformError& error) {
        return error.description();
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "unknown failure";
    }
}

std::string localizedDescription(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const Dovezode::Error& error) {
        return error.genericLocalizedDescription();
    } catch (const platform::PlatformError& error) {
        return error.localizedDescription();
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "unknown failure";
    }
}

} // namespace tavrik
