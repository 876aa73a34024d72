#pragma once
// The I/O context behind the main queue, for the pieces of platform_core that
// deliver on the main queue (signal sources).

#include <asio/io_context.hpp>

namespace platform::detail {

asio::io_context& mainIoContext();

} // namespace platform::detail
