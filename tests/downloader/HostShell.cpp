// The host's commands for the downloader's tests under Wine (tests/HostCommand.h).
#include "tests/HostCommand.h"

namespace krvtest {
int HostCommandStatus(const std::string& command) { return RunHostCommand(command); }
}  // namespace krvtest
