// The error mode around the new launcher's start (platform.h), on Windows.
#include "platform.h"

#include <windows.h>

namespace updater::engine {

FailCriticalErrors::FailCriticalErrors() noexcept : previous_(GetErrorMode())
{
    SetErrorMode(previous_ | SEM_FAILCRITICALERRORS);
}

FailCriticalErrors::~FailCriticalErrors() { SetErrorMode(previous_); }

}  // namespace updater::engine
