// The skip warning. It goes to file descriptor 2 itself rather than through
// sys.stderr, so it reaches the host even when the imported code has replaced
// or closed sys.stderr.
#include <unistd.h>

#include <cerrno>
#include <string>

#include "inspect/internal.hpp"

namespace orvan::inspect {
namespace {

void write_all(int fd, std::string_view data) noexcept {
    while (!data.empty()) {
        ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;  // closed or full: nowhere left to say so
        data.remove_prefix(static_cast<std::size_t>(written));
    }
}

}  // namespace

void write_skip_warning(std::string_view module, std::string_view error) {
    std::string line = "orvan: skipping module '";
    line.append(module).append("': ").append(error).append("\n");
    // One write for the whole line, so that other writers to the same pipe
    // do not split it.
    write_all(2, line);
}

}  // namespace orvan::inspect
