// The logger the application hands to the core: both levels into the log file, warnings marked
// "ATTENZIONE ", and on standard error every warning and, with the debug switch on, every debug
// line.
//
// Threading: the logger's functions may be called from any thread; so must the two sinks.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "core/base/runtime.h"

namespace quendra {

using TextSink = std::function<void(const std::string&)>;

// True exactly when QUENDRA_DEBUG is "1".
bool debugSwitch(const std::optional<std::string>& quendraDebug);

Logger makeAppLogger(TextSink logFile, TextSink standardError, bool debug);

}  // namespace quendra
