// kzhost as a child process for tests. The control socket is off unless the arguments configure
// it, so tests running side by side never compete for its port.
#pragma once

#include "support/child_process.h"

namespace kztest {

class KzhostProcess : public ChildProcess {
public:
    explicit KzhostProcess(std::vector<std::string> args) {
        args.insert(args.begin(), {KZHOST_BIN, "--set", "kzhost.control.port=0"});
        Start(std::move(args));
    }
};

} // namespace kztest
