#pragma once
// A TCP port on 127.0.0.1 that was just bound and released: a driver that connects to it
// is refused by the kernel with a reset, a real refusal without any server.

namespace pupdate::testing {

int closedPort();

} // namespace pupdate::testing
