#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/process/child_process.hpp"
#include "tests/support/process_lines.hpp"

namespace tarnel::testing {

// An X server of its own for a test: Xvfb (one 1280x900 screen, 24-bit) on a
// display it picks itself, stopped with this object. It listens only on its
// abstract socket, which belongs to the network namespace it runs in: no TCP
// port and no socket file under /tmp/.X11-unix.
class VirtualDisplay {
public:
    using Launcher = std::function<ChildProcess(const ChildProcess::Options&)>;

    // Starts the server through `launch` (a namespace's launch puts its
    // sockets in that namespace); none when it does not come up.
    static std::optional<VirtualDisplay> start(const Launcher& launch = &ChildProcess::spawn) {
        ChildProcess::Options options;
        options.executable = "/usr/bin/Xvfb";
        options.arguments = {"-displayfd", "1", "-screen", "0", "1280x900x24",
                             "-nolisten",  "tcp", "-nolisten", "unix", "-noreset"};
        options.output = ChildProcess::Redirect::pipe();
        options.error = ChildProcess::Redirect::null();
        ChildProcess server = launch(options);
        ProcessLines output(server);
        if (!output.readUntil([](const std::vector<std::string>& lines) { return !lines.empty(); })) {
            server.stop(5.0, 5.0);
            return std::nullopt;
        }
        return VirtualDisplay(std::move(server), ":" + output.lines().front());
    }

    VirtualDisplay(VirtualDisplay&&) = default;
    VirtualDisplay& operator=(VirtualDisplay&&) = default;
    ~VirtualDisplay() {
        if (server_) server_->stop(5.0, 5.0);
    }

    // ":<number>", for DISPLAY.
    [[nodiscard]] const std::string& display() const noexcept { return display_; }

private:
    VirtualDisplay(ChildProcess server, std::string display)
        : server_(std::move(server)), display_(std::move(display)) {}

    std::optional<ChildProcess> server_;
    std::string display_;
};

}  // namespace tarnel::testing
