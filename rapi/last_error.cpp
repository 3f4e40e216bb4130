#include "rapi/last_error.h"

#include <atomic>

namespace rapilink {

namespace {

std::atomic<DWORD> g_lastError{0};

}  // namespace

DWORD LastError() { return g_lastError; }

void SetLastError(DWORD error) { g_lastError = error; }

}  // namespace rapilink
